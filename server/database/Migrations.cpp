#include "server/database/Migrations.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace database {

namespace {

// Any number of the service's own, the same for every instance.
constexpr const char* kLockMigrations = "SELECT pg_advisory_lock(7236512084935)";
constexpr const char* kUnlockMigrations = "SELECT pg_advisory_unlock(7236512084935)";

std::int64_t secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class AdvisoryLock {
public:
    explicit AdvisoryLock(Database::Session& session)
        : m_session(session)
    {
        m_session.exec(kLockMigrations);
    }
    ~AdvisoryLock()
    {
        try {
            m_session.exec(kUnlockMigrations);
        } catch (...) {
            // Ends with the connection anyway.
        }
    }
    AdvisoryLock(const AdvisoryLock&) = delete;
    AdvisoryLock& operator=(const AdvisoryLock&) = delete;

private:
    Database::Session& m_session;
};

void record(Database::Session& session, const Migration& migration, std::int64_t now)
{
    session.prepare("INSERT INTO schema_migrations (version, name, applied_at) VALUES (?, ?, ?)")
        .bind(1, std::int64_t(migration.version))
        .bind(2, migration.name)
        .bind(3, now)
        .step();
}

std::set<int> appliedVersions(Database::Session& session)
{
    std::set<int> versions;
    auto query = session.prepare("SELECT version FROM schema_migrations");
    while (query.step())
        versions.insert(static_cast<int>(query.integer(0)));
    return versions;
}

// Files made before steps were recorded kept their version in the header; also written on every
// step, so that an older server refuses a file it does not know.
std::int64_t sqliteUserVersion(Database::Session& session)
{
    auto query = session.prepare("PRAGMA user_version");
    return query.step() ? query.integer(0) : 0;
}

void refuseNewer(std::int64_t version, size_t known)
{
    if (version > static_cast<std::int64_t>(known))
        throw DatabaseError("the database was made by a newer parcly-server (schema " + std::to_string(version) + ")");
}

} // namespace

void migrate(Database& database)
{
    const bool sqlite = database.engine() == Database::Engine::Sqlite;
    const auto migrations = migrationsFor(database.engine());
    auto session = database.session();
    std::optional<AdvisoryLock> lock;
    if (!sqlite)
        lock.emplace(session);
    session.exec(
        "CREATE TABLE IF NOT EXISTS schema_migrations (version BIGINT PRIMARY KEY, name TEXT NOT NULL, applied_at BIGINT NOT NULL)");

    std::set<int> applied = appliedVersions(session);
    if (sqlite) {
        const std::int64_t version = sqliteUserVersion(session);
        refuseNewer(version, migrations.size());
        if (applied.empty() && version > 0) {
            Database::Transaction transaction(session);
            for (const Migration& migration : migrations.first(static_cast<size_t>(version)))
                record(session, migration, 0);
            transaction.commit();
            applied = appliedVersions(session);
        }
    }
    if (!applied.empty())
        refuseNewer(*applied.rbegin(), migrations.size());

    for (const Migration& migration : migrations) {
        if (applied.contains(migration.version))
            continue;
        Database::Transaction transaction(session);
        try {
            session.exec(std::string(migration.sql).c_str());
        } catch (const DatabaseError& error) {
            throw DatabaseError("cannot apply schema step " + std::to_string(migration.version) + " (" + std::string(migration.name)
                                + "): " + error.what());
        }
        record(session, migration, secondsNow());
        if (sqlite)
            session.exec(("PRAGMA user_version=" + std::to_string(migration.version)).c_str());
        transaction.commit();
    }
}

} // namespace database
