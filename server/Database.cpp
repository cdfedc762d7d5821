#include "server/Database.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DatabaseError errorOf(sqlite3* connection, const std::string& what)
{
    return DatabaseError(what + ": " + sqlite3_errmsg(connection), sqlite3_extended_errcode(connection));
}

// Each entry moves the schema one version up; never edit one that has shipped, add another.
constexpr const char* kMigrations[] = {
    R"(CREATE TABLE accounts (
           id INTEGER PRIMARY KEY,
           email TEXT NOT NULL UNIQUE COLLATE NOCASE,
           password_hash TEXT NOT NULL,
           created_at INTEGER NOT NULL
       );
       CREATE TABLE drops (
           id INTEGER PRIMARY KEY,
           code TEXT NOT NULL UNIQUE,
           account_id INTEGER NOT NULL REFERENCES accounts(id),
           title TEXT NOT NULL,
           content_type TEXT NOT NULL,
           size INTEGER NOT NULL,
           pixel_density REAL NOT NULL,
           created_at INTEGER NOT NULL
       );
       CREATE INDEX drops_by_account ON drops(account_id);)",
    // Where each account's owner signed in from, so guessing from elsewhere cannot lock them out.
    R"(CREATE TABLE sign_in_addresses (
           account_id INTEGER NOT NULL REFERENCES accounts(id),
           address TEXT NOT NULL,
           signed_in_at INTEGER NOT NULL,
           PRIMARY KEY (account_id, address)
       );)",
    // Drops that end: at a time set at upload, or when their owner deletes them. A row outlives
    // its bytes so that its page can say the drop is gone, and its code is never handed out again.
    // Listing walks an account's live rows newest first; the sweep walks those that expire.
    R"(ALTER TABLE drops ADD COLUMN expires_at INTEGER;
       ALTER TABLE drops ADD COLUMN deleted_at INTEGER;
       CREATE INDEX drops_live_by_account ON drops(account_id, id) WHERE deleted_at IS NULL;
       CREATE INDEX drops_expiring ON drops(expires_at) WHERE deleted_at IS NULL AND expires_at IS NOT NULL;)",
};

} // namespace

bool DatabaseError::isConstraintViolation() const
{
    return (m_code & 0xFF) == SQLITE_CONSTRAINT;
}

bool DatabaseError::isFull() const
{
    return (m_code & 0xFF) == SQLITE_FULL;
}

Database::Database(const std::filesystem::path& file)
{
    // Private to the server, also if the folder is ever opened up. SQLite gives its -wal and -shm
    // files the mode of the database file; ones left by an older run are narrowed as well.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string name = file.string() + suffix;
        const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (*suffix ? 0 : O_CREAT), 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::close(fd);
        }
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(file.c_str(), &m_connection, flags, nullptr) != SQLITE_OK) {
        const DatabaseError error = m_connection ? errorOf(m_connection, "cannot open " + file.string())
                                                 : DatabaseError("cannot open " + file.string(), SQLITE_NOMEM);
        sqlite3_close(m_connection);
        throw error;
    }
    sqlite3_extended_result_codes(m_connection, 1);
    // Another process (a backup, the sqlite3 shell) may hold the file briefly.
    sqlite3_busy_timeout(m_connection, 5000);
    try {
        {
            Session s(*this);
            s.exec("PRAGMA journal_mode=WAL");
            // A drop is only announced once its row is on disk.
            s.exec("PRAGMA synchronous=FULL");
            s.exec("PRAGMA foreign_keys=ON");
        }
        migrate();
    } catch (...) {
        sqlite3_close(m_connection);
        throw;
    }
}

Database::~Database()
{
    sqlite3_close(m_connection);
}

void Database::migrate()
{
    Session s(*this);
    std::int64_t version = 0;
    {
        Statement query = s.prepare("PRAGMA user_version");
        if (query.step())
            version = query.integer(0);
    }
    const auto known = static_cast<std::int64_t>(std::size(kMigrations));
    if (version > known)
        throw DatabaseError("the database was made by a newer parcly-server (schema " + std::to_string(version) + ")", SQLITE_ERROR);
    for (; version < known; ++version) {
        Transaction transaction(s);
        s.exec(kMigrations[version]);
        s.exec(("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
        transaction.commit();
    }
}

void Database::Session::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_connection, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw DatabaseError(text, sqlite3_extended_errcode(m_connection));
    }
}

Database::Transaction::Transaction(Session& session)
    : m_session(session)
{
    m_session.exec("BEGIN IMMEDIATE");
}

Database::Transaction::~Transaction()
{
    if (!m_open)
        return;
    try {
        m_session.exec("ROLLBACK");
    } catch (...) {
        // Nothing to add: the statement that failed already reported why.
    }
}

void Database::Transaction::commit()
{
    m_session.exec("COMMIT");
    m_open = false;
}

Database::Statement::Statement(sqlite3* connection, std::string_view sql)
    : m_connection(connection)
{
    if (sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr) != SQLITE_OK)
        throw errorOf(connection, "cannot prepare a statement");
}

Database::Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

Database::Statement& Database::Statement::bind(int index, std::string_view text)
{
    if (sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK)
        throw errorOf(m_connection, "cannot bind a value");
    return *this;
}

Database::Statement& Database::Statement::bind(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        throw errorOf(m_connection, "cannot bind a value");
    return *this;
}

Database::Statement& Database::Statement::bind(int index, double value)
{
    if (sqlite3_bind_double(m_statement, index, value) != SQLITE_OK)
        throw errorOf(m_connection, "cannot bind a value");
    return *this;
}

Database::Statement& Database::Statement::bind(int index, std::optional<std::int64_t> value)
{
    if (value)
        return bind(index, *value);
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK)
        throw errorOf(m_connection, "cannot bind a value");
    return *this;
}

bool Database::Statement::step()
{
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    throw errorOf(m_connection, "statement failed");
}

void Database::Statement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

std::string Database::Statement::text(int column) const
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    const int length = sqlite3_column_bytes(m_statement, column);
    return bytes ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}

std::int64_t Database::Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

double Database::Statement::real(int column) const
{
    return sqlite3_column_double(m_statement, column);
}

std::optional<std::int64_t> Database::Statement::optionalInteger(int column) const
{
    if (sqlite3_column_type(m_statement, column) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_int64(m_statement, column);
}
