#include "server/database/PostgresConnection.h"

#include "server/Database.h"

#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace database {

namespace {

// libpq's messages run over several lines (a hint indented below): one line for a log.
std::string trimmed(const char* message)
{
    std::string text;
    for (const char* c = message ? message : ""; *c; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (!space)
            text += *c;
        else if (!text.empty() && text.back() != ' ')
            text += ' ';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text.empty() ? "unknown error" : text;
}

Failure failureOf(const PGresult* result)
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state)
        return Failure::Other;
    const std::string_view code(state);
    // Class 23 is every integrity constraint, as SQLite's SQLITE_CONSTRAINT is; 53100 is disk_full.
    if (code.substr(0, 2) == "23")
        return Failure::Constraint;
    if (code == "53100")
        return Failure::Full;
    return Failure::Other;
}

// Takes the result; throws when it carries an error.
void check(PGconn* connection, PGresult* result, const std::string& what)
{
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return;
    const DatabaseError error(what + ": " + trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(connection)), failureOf(result));
    PQclear(result);
    throw error;
}

void ignoreNotice(void*, const char*) { }

} // namespace

std::string numberedPlaceholders(std::string_view sql)
{
    std::string out;
    out.reserve(sql.size() + 8);
    int highest = 0;
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // Through the closing quote; a doubled quote is one inside the text.
            size_t end = i + 1;
            while (end < sql.size()) {
                if (sql[end] == c && (end + 1 == sql.size() || sql[end + 1] != c))
                    break;
                end += sql[end] == c ? 2 : 1;
            }
            end = std::min(end + 1, sql.size());
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            const size_t end = std::min(sql.find('\n', i), sql.size());
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const size_t close = sql.find("*/", i + 2);
            const size_t end = close == std::string_view::npos ? sql.size() : close + 2;
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '?') {
            size_t end = i + 1;
            while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9')
                ++end;
            int number = highest + 1;
            if (end > i + 1)
                std::from_chars(sql.data() + i + 1, sql.data() + end, number);
            highest = std::max(highest, number);
            out += '$';
            out += std::to_string(number);
            i = end;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

class PostgresConnection::Statement final : public Cursor {
public:
    Statement(PGconn* connection, std::string name, int parameters, bool cached)
        : m_connection(connection)
        , m_name(std::move(name))
        , m_values(static_cast<size_t>(parameters))
        , m_cached(cached)
    {
    }
    ~Statement() override { PQclear(m_result); }

    void bindText(int index, std::string_view text) override { value(index) = std::string(text); }
    void bindInteger(int index, std::int64_t number) override { value(index) = std::to_string(number); }
    void bindReal(int index, double number) override
    {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.17g", number);
        value(index) = digits;
    }
    void bindNull(int index) override { value(index).reset(); }

    bool step() override
    {
        if (!m_result) {
            std::vector<const char*> values;
            values.reserve(m_values.size());
            for (const auto& value : m_values)
                values.push_back(value ? value->c_str() : nullptr);
            PGresult* result
                = PQexecPrepared(m_connection, m_name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0);
            check(m_connection, result, "statement failed");
            m_result = result;
            m_row = 0;
        } else {
            ++m_row;
        }
        return m_row < PQntuples(m_result);
    }
    void reset() override
    {
        PQclear(m_result);
        m_result = nullptr;
        for (auto& value : m_values)
            value.reset();
    }
    std::string text(int column) const override
    {
        return std::string(PQgetvalue(m_result, m_row, column), static_cast<size_t>(PQgetlength(m_result, m_row, column)));
    }
    std::int64_t integer(int column) const override { return std::strtoll(PQgetvalue(m_result, m_row, column), nullptr, 10); }
    double real(int column) const override { return std::strtod(PQgetvalue(m_result, m_row, column), nullptr); }
    bool isNull(int column) const override { return PQgetisnull(m_result, m_row, column) != 0; }

    bool cached() const { return m_cached; }
    bool inUse = false;

private:
    std::optional<std::string>& value(int index)
    {
        if (index < 1 || static_cast<size_t>(index) > m_values.size())
            throw DatabaseError("no parameter " + std::to_string(index) + " in the statement");
        return m_values[static_cast<size_t>(index) - 1];
    }

    PGconn* m_connection;
    std::string m_name;
    std::vector<std::optional<std::string>> m_values; // none: NULL
    bool m_cached;
    PGresult* m_result = nullptr;
    int m_row = 0;
};

PostgresConnection::PostgresConnection(const std::string& conninfo)
{
    m_handle = PQconnectdb(conninfo.c_str());
    if (!m_handle || PQstatus(m_handle) != CONNECTION_OK) {
        const std::string message = m_handle ? trimmed(PQerrorMessage(m_handle)) : "out of memory";
        PQfinish(m_handle);
        throw DatabaseError("cannot connect to PostgreSQL: " + message);
    }
    // "already exists, skipping" and the like would go to standard error unasked.
    PQsetNoticeProcessor(m_handle, ignoreNotice, nullptr);
}

PostgresConnection::~PostgresConnection()
{
    m_statements.clear();
    PQfinish(m_handle);
}

void PostgresConnection::recover()
{
    // Between statements the server has nothing to say but that it ended the session (a restart,
    // an administrator): anything waiting on the idle socket means a fresh session is needed,
    // found here (no wait) rather than by the next statement failing.
    pollfd socket{PQsocket(m_handle), POLLIN, 0};
    if (::poll(&socket, 1, 0) == 0 && PQstatus(m_handle) == CONNECTION_OK)
        return;
    // The server restarted or the network dropped us: what was prepared is gone with the session.
    m_statements.clear();
    PQreset(m_handle);
    if (PQstatus(m_handle) != CONNECTION_OK)
        throw DatabaseError("lost the connection to PostgreSQL: " + trimmed(PQerrorMessage(m_handle)));
}

void PostgresConnection::exec(const char* sql)
{
    check(m_handle, PQexec(m_handle, sql), "statement failed");
}

void PostgresConnection::commit()
{
    PGresult* result = PQexec(m_handle, "COMMIT");
    check(m_handle, result, "cannot commit");
    // COMMIT of a transaction a failed statement aborted succeeds, as a rollback.
    const bool rolledBack = std::string_view(PQcmdStatus(result)) == "ROLLBACK";
    PQclear(result);
    if (rolledBack)
        throw DatabaseError("the transaction was rolled back");
}

std::unique_ptr<PostgresConnection::Statement> PostgresConnection::compile(std::string_view sql, bool cached)
{
    const std::string name = "s" + std::to_string(++m_prepared);
    const std::string text = numberedPlaceholders(sql);
    check(m_handle, PQprepare(m_handle, name.c_str(), text.c_str(), 0, nullptr), "cannot prepare a statement");
    PGresult* description = PQdescribePrepared(m_handle, name.c_str());
    check(m_handle, description, "cannot prepare a statement");
    const int parameters = PQnparams(description);
    PQclear(description);
    return std::make_unique<Statement>(m_handle, name, parameters, cached);
}

Cursor* PostgresConnection::prepare(std::string_view sql)
{
    auto found = m_statements.find(sql);
    if (found != m_statements.end() && !found->second->inUse) {
        found->second->inUse = true;
        return found->second.get();
    }
    // The same text twice at once in one session: the second is a statement of its own (rare, so
    // its prepared name staying on the server until the connection closes costs nothing).
    if (found != m_statements.end())
        return compile(sql, false).release();
    auto statement = compile(sql, true);
    statement->inUse = true;
    return m_statements.emplace(std::string(sql), std::move(statement)).first->second.get();
}

void PostgresConnection::release(Cursor* cursor)
{
    auto* statement = static_cast<Statement*>(cursor);
    if (!statement->cached()) {
        delete statement;
        return;
    }
    statement->reset();
    statement->inUse = false;
}

} // namespace database
