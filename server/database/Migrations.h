#pragma once

#include "server/Database.h"

#include <span>
#include <string_view>

namespace database {

// One step of an engine's schema, from migrations/ENGINE/NNNN_NAME.sql. Never edit one that has
// shipped: add the next.
struct Migration {
    int version;
    std::string_view name;
    std::string_view sql;
};

// The engine's steps in order, numbered from 1 without gaps; built into the binary.
std::span<const Migration> migrationsFor(Database::Engine engine);

// Applies the steps the database lacks, each in its own transaction, and records them in
// schema_migrations. On PostgreSQL, instances starting at once take turns (an advisory lock); a
// SQLite file from before steps were recorded is taken at its user_version. Throws DatabaseError,
// also for a database a newer server has moved on.
void migrate(Database& database);

} // namespace database
