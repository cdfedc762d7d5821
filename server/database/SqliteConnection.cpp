#include "server/database/SqliteConnection.h"

#include "server/Database.h"

#include <sqlite3.h>

namespace database {

namespace {

Failure failureOf(int code)
{
    switch (code & 0xFF) {
    case SQLITE_CONSTRAINT:
        return Failure::Constraint;
    case SQLITE_FULL:
        return Failure::Full;
    default:
        return Failure::Other;
    }
}

DatabaseError errorOf(sqlite3* connection, const std::string& what)
{
    return DatabaseError(what + ": " + sqlite3_errmsg(connection), failureOf(sqlite3_extended_errcode(connection)));
}

} // namespace

class SqliteConnection::Statement final : public Cursor {
public:
    Statement(sqlite3* connection, sqlite3_stmt* statement, bool cached)
        : m_connection(connection)
        , m_statement(statement)
        , m_cached(cached)
    {
    }
    ~Statement() override { sqlite3_finalize(m_statement); }

    void bindText(int index, std::string_view text) override
    {
        check(sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    void bindInteger(int index, std::int64_t value) override { check(sqlite3_bind_int64(m_statement, index, value)); }
    void bindReal(int index, double value) override { check(sqlite3_bind_double(m_statement, index, value)); }
    void bindNull(int index) override { check(sqlite3_bind_null(m_statement, index)); }

    bool step() override
    {
        const int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW)
            return true;
        if (result == SQLITE_DONE)
            return false;
        throw errorOf(m_connection, "statement failed");
    }
    void reset() override
    {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    std::string text(int column) const override
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        const int length = sqlite3_column_bytes(m_statement, column);
        return bytes ? std::string(bytes, static_cast<size_t>(length)) : std::string();
    }
    std::int64_t integer(int column) const override { return sqlite3_column_int64(m_statement, column); }
    double real(int column) const override { return sqlite3_column_double(m_statement, column); }
    bool isNull(int column) const override { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }

    bool cached() const { return m_cached; }
    bool inUse = false;

private:
    void check(int result)
    {
        if (result != SQLITE_OK)
            throw errorOf(m_connection, "cannot bind a value");
    }

    sqlite3* m_connection;
    sqlite3_stmt* m_statement;
    bool m_cached; // else a statement of its own, finalized when released
};

SqliteConnection::SqliteConnection(const std::filesystem::path& file, bool readOnly)
{
    // Each connection is only ever used under its own lock: SQLite's mutexes would be a second one.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(file.c_str(), &m_handle, flags, nullptr) != SQLITE_OK) {
        const DatabaseError error
            = m_handle ? errorOf(m_handle, "cannot open " + file.string()) : DatabaseError("cannot open " + file.string());
        sqlite3_close(m_handle);
        throw error;
    }
    sqlite3_extended_result_codes(m_handle, 1);
    // Another process (a backup, the sqlite3 shell) may hold the file briefly.
    sqlite3_busy_timeout(m_handle, 5000);
    if (readOnly && sqlite3_exec(m_handle, "PRAGMA query_only=1", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const DatabaseError error = errorOf(m_handle, "cannot open " + file.string());
        sqlite3_close(m_handle);
        throw error;
    }
}

SqliteConnection::~SqliteConnection()
{
    m_statements.clear();
    sqlite3_close(m_handle);
}

void SqliteConnection::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw DatabaseError(text, failureOf(sqlite3_extended_errcode(m_handle)));
    }
}

Cursor* SqliteConnection::prepare(std::string_view sql)
{
    auto found = m_statements.find(sql);
    if (found != m_statements.end() && !found->second->inUse) {
        found->second->inUse = true;
        return found->second.get();
    }
    sqlite3_stmt* compiled = nullptr;
    if (sqlite3_prepare_v3(m_handle, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &compiled, nullptr) != SQLITE_OK)
        throw errorOf(m_handle, "cannot prepare a statement");
    // The same text twice at once in one session: the second is a statement of its own.
    if (found != m_statements.end())
        return new Statement(m_handle, compiled, false);
    auto statement = std::make_unique<Statement>(m_handle, compiled, true);
    statement->inUse = true;
    return m_statements.emplace(std::string(sql), std::move(statement)).first->second.get();
}

void SqliteConnection::release(Cursor* cursor)
{
    auto* statement = static_cast<Statement*>(cursor);
    if (!statement->cached()) {
        delete statement;
        return;
    }
    // Reset at once: a statement left mid-read would hold its read snapshot open.
    statement->reset();
    statement->inUse = false;
}

} // namespace database
