#pragma once

#include "server/database/Connection.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct pg_conn;

namespace database {

// `?` placeholders as PostgreSQL numbers them: `?` becomes `$1`, `$2`... and `?N` becomes `$N`
// (a bare `?` after `?N` is N+1, as SQLite counts). Quoted text and comments are left alone.
std::string numberedPlaceholders(std::string_view sql);

// A connection to a PostgreSQL server through libpq. Each SQL text is prepared once on the server
// (and again after a reconnect); values travel as text, which the server converts to the types
// the statement expects.
class PostgresConnection final : public Connection {
public:
    // Throws DatabaseError naming the server when it cannot be reached or refuses us.
    explicit PostgresConnection(const std::string& conninfo);
    ~PostgresConnection() override;

    Cursor* prepare(std::string_view sql) override;
    void release(Cursor* cursor) override;
    void exec(const char* sql) override;
    void begin() override { exec("BEGIN"); }
    void commit() override;
    void rollback() override { exec("ROLLBACK"); }
    bool failureAbortsTransaction() const override { return true; }
    void recover() override;

    class Statement;

private:
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    std::unique_ptr<Statement> compile(std::string_view sql, bool cached);

    pg_conn* m_handle = nullptr;
    unsigned m_prepared = 0; // names the next statement prepared on the server
    std::unordered_map<std::string, std::unique_ptr<Statement>, TextHash, std::equal_to<>> m_statements;
};

} // namespace database
