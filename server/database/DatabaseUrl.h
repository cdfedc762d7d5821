#pragma once

#include "server/Database.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace database {

// Where the service keeps its records, as --database names it: `sqlite:PATH`, or a libpq URI
// `postgresql://[USER@]HOST[:PORT]/NAME[?...]` (`postgres://` too). A password never goes on the
// command line, where any local user can read it: libpq takes it from PGPASSWORD or ~/.pgpass.
struct DatabaseUrl {
    Database::Engine engine = Database::Engine::Sqlite;
    std::filesystem::path file; // SQLite
    std::string conninfo; // PostgreSQL

    // Nothing, and why in `problem`, when malformed or holding a password.
    static std::optional<DatabaseUrl> parse(const std::string& text, std::string* problem = nullptr);
    static DatabaseUrl sqliteFile(const std::filesystem::path& file);

    // Opens the database and brings its schema up to date. Throws DatabaseError.
    std::unique_ptr<Database> open() const;
    // For the start-up line: the file, or the server without its options.
    std::string describe() const;
};

} // namespace database
