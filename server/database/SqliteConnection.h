#pragma once

#include "server/database/Connection.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;

namespace database {

// A connection to the service's SQLite file. The SQL texts are the service's own literals, a few
// dozen: the statement cache needs no bound.
class SqliteConnection final : public Connection {
public:
    // Throws DatabaseError.
    SqliteConnection(const std::filesystem::path& file, bool readOnly);
    ~SqliteConnection() override;

    Cursor* prepare(std::string_view sql) override;
    void release(Cursor* cursor) override;
    void exec(const char* sql) override;
    // Takes the write lock at once: a transaction that read first and then found the file
    // locked could only fail.
    void begin() override { exec("BEGIN IMMEDIATE"); }
    void commit() override { exec("COMMIT"); }
    void rollback() override { exec("ROLLBACK"); }
    bool failureAbortsTransaction() const override { return false; }

    class Statement;

private:
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    sqlite3* m_handle = nullptr;
    std::unordered_map<std::string, std::unique_ptr<Statement>, TextHash, std::equal_to<>> m_statements;
};

} // namespace database
