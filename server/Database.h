#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// The service's SQLite file in WAL mode: one connection that writes, and a few that only read, so
// that sign-ins and page views never queue behind an upload's commit or each other. Every use goes
// through a Session, which holds one connection's lock, so statements on a connection never
// interleave; the service's queries are short, and file I/O always happens outside a session.
// Each connection keeps its statements prepared: the same SQL text is compiled once.
class Database {
    struct Connection;

public:
    // Opens (or creates) the file and brings its schema up to date. Throws DatabaseError.
    explicit Database(const std::filesystem::path& file, unsigned readers = 4);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // A statement from its connection's cache, reset and unbound again when this is destroyed.
    class Statement {
    public:
        ~Statement();
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        // Parameters count from 1, as in SQL.
        Statement& bind(int index, std::string_view text);
        Statement& bind(int index, std::int64_t value);
        Statement& bind(int index, double value);
        // NULL when empty.
        Statement& bind(int index, std::optional<std::int64_t> value);
        Statement& bindNull(int index);
        // True while there is a row to read; false when done. Throws on errors.
        bool step();
        // Ready to run again with new values, as a loop of inserts does.
        void reset();
        std::string text(int column) const;
        std::int64_t integer(int column) const;
        double real(int column) const;
        std::optional<std::int64_t> optionalInteger(int column) const;
        bool isNull(int column) const;

    private:
        friend class Database;
        Statement(sqlite3* connection, sqlite3_stmt* statement, bool* inUse);

        sqlite3* m_connection;
        sqlite3_stmt* m_statement;
        bool* m_inUse; // the cache's mark; null for a statement of its own, finalized here
    };

    class Session {
    public:
        Statement prepare(std::string_view sql);
        void exec(const char* sql);

    private:
        friend class Database;
        Session(std::unique_lock<std::mutex> lock, Connection& connection)
            : m_lock(std::move(lock))
            , m_connection(&connection)
        {
        }

        std::unique_lock<std::mutex> m_lock;
        Connection* m_connection;
    };

    // The connection that writes; also for reads that must see a write of the same session.
    Session session();
    // A connection that only reads (queries on it fail to write), any free one. Sees every commit
    // made before it was taken.
    Session reader();

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

    std::unique_ptr<Connection> m_writer;
    std::vector<std::unique_ptr<Connection>> m_readers;
    std::atomic<unsigned> m_nextReader = 0;
};
