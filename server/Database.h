#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

class DatabaseError : public std::runtime_error {
public:
    DatabaseError(const std::string& what, int code)
        : std::runtime_error(what)
        , m_code(code)
    {
    }
    // The SQLite extended result code.
    int code() const { return m_code; }
    bool isConstraintViolation() const;
    // The disk (or the quota) is full.
    bool isFull() const;

private:
    int m_code;
};

// One SQLite connection in WAL mode, shared by all request threads. Every use goes through a
// Session, which holds the connection's lock, so statements never interleave; the service's
// queries are short, and file I/O always happens outside a session.
class Database {
public:
    // Opens (or creates) the file and brings its schema up to date. Throws DatabaseError.
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    class Statement {
    public:
        Statement(sqlite3* connection, std::string_view sql);
        ~Statement();
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        // Parameters count from 1, as in SQL.
        Statement& bind(int index, std::string_view text);
        Statement& bind(int index, std::int64_t value);
        Statement& bind(int index, double value);
        // NULL when empty.
        Statement& bind(int index, std::optional<std::int64_t> value);
        // True while there is a row to read; false when done. Throws on errors.
        bool step();
        // Ready to run again with new values, as a loop of inserts does.
        void reset();
        std::string text(int column) const;
        std::int64_t integer(int column) const;
        double real(int column) const;
        std::optional<std::int64_t> optionalInteger(int column) const;

    private:
        sqlite3* m_connection;
        sqlite3_stmt* m_statement = nullptr;
    };

    class Session {
    public:
        explicit Session(Database& database)
            : m_lock(database.m_mutex)
            , m_connection(database.m_connection)
        {
        }
        Statement prepare(std::string_view sql) { return Statement(m_connection, sql); }
        void exec(const char* sql);

    private:
        std::unique_lock<std::mutex> m_lock;
        sqlite3* m_connection;
    };

    Session session() { return Session(*this); }

    // Commits on commit(); rolls back when left without it (an exception, an early return).
    class Transaction {
    public:
        explicit Transaction(Session& session);
        ~Transaction();
        void commit();

    private:
        Session& m_session;
        bool m_open = true;
    };

private:
    void migrate();

    std::mutex m_mutex;
    sqlite3* m_connection = nullptr;
};
