#pragma once

#include "server/database/Connection.h"

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

class DatabaseError : public std::runtime_error {
public:
    DatabaseError(const std::string& what, database::Failure failure = database::Failure::Other)
        : std::runtime_error(what)
        , m_failure(failure)
    {
    }
    bool isConstraintViolation() const { return m_failure == database::Failure::Constraint; }
    // The disk (or the quota) is full.
    bool isFull() const { return m_failure == database::Failure::Full; }

private:
    database::Failure m_failure;
};

// The service's accounts and drops, in a SQLite file or on a PostgreSQL server.
//
// SQLite: the file in WAL mode, one connection that writes and a few that only read, so that
// sign-ins and page views never queue behind an upload's commit or each other. PostgreSQL: a small
// pool of connections that each do both, shared by any number of server instances.
//
// Every use goes through a Session, which holds one connection's lock, so statements on a
// connection never interleave; the service's queries are short, and file I/O always happens
// outside a session. Each connection keeps its statements prepared: the same SQL text is compiled
// once. Statements are written with `?` (or `?N`) placeholders for both engines.
class Database {
public:
    enum class Engine { Sqlite, Postgresql };

    // Opens (or creates) the SQLite file and brings its schema up to date. Throws DatabaseError.
    explicit Database(const std::filesystem::path& file, unsigned readers = 4);
    struct Postgresql {
        std::string conninfo; // a libpq connection string or URI
        unsigned connections = 6;
    };
    // Connects to the server and brings the schema up to date. Throws DatabaseError.
    explicit Database(const Postgresql& server);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    Engine engine() const { return m_engine; }
    // Whether other server instances may be using the same database at the same time.
    bool sharedBetweenInstances() const { return m_engine == Engine::Postgresql; }

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
        Statement(database::Connection& connection, database::Cursor* cursor)
            : m_connection(connection)
            , m_cursor(cursor)
        {
        }

        database::Connection& m_connection;
        database::Cursor* m_cursor;
    };

    class Session {
    public:
        Statement prepare(std::string_view sql);
        void exec(const char* sql);

    private:
        friend class Database;
        Session(std::unique_lock<std::mutex> lock, database::Connection& connection)
            : m_lock(std::move(lock))
            , m_connection(&connection)
        {
        }

        std::unique_lock<std::mutex> m_lock;
        database::Connection* m_connection;
    };

    // A connection that writes; also for reads that must see a write of the same session.
    Session session();
    // A connection for reads only (on SQLite, queries on it fail to write), any free one. Sees
    // every commit made before it was taken.
    Session reader();

    // Commits on commit(); rolls back when left without it (an exception, an early return).
    class Transaction {
    public:
        explicit Transaction(Session& session);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Session& m_session;
        bool m_open = true;
    };

    // Inside a transaction, lets one statement fail without failing the rest: PostgreSQL would
    // refuse every later statement of the transaction, SQLite undoes only the failed one anyway.
    class Savepoint {
    public:
        explicit Savepoint(Session& session);
        ~Savepoint();
        Savepoint(const Savepoint&) = delete;
        Savepoint& operator=(const Savepoint&) = delete;
        // Keeps what was done since; without it, it is undone.
        void release();

    private:
        Session& m_session;
        bool m_needed;
        bool m_open = true;
    };

private:
    static Session take(const std::vector<std::unique_ptr<database::Connection>>& pool, std::atomic<unsigned>& next);

    Engine m_engine;
    // SQLite: the one connection that writes. PostgreSQL: every connection.
    std::vector<std::unique_ptr<database::Connection>> m_writers;
    std::vector<std::unique_ptr<database::Connection>> m_readers;
    std::atomic<unsigned> m_nextWriter = 0;
    std::atomic<unsigned> m_nextReader = 0;
};
