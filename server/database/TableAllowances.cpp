#include "server/database/TableAllowances.h"

#include <algorithm>

namespace database {

namespace {

// Rows idle for this many takes are looked for and removed.
constexpr unsigned kForgetEvery = 256;

// Times are shared between machines: seconds since the epoch, not the steady clock of one.
double wallSeconds(Throttle::Clock::time_point now)
{
    const auto wall = std::chrono::system_clock::now().time_since_epoch() + (now - Throttle::Clock::now());
    return std::chrono::duration<double>(wall).count();
}

constexpr const char* kTake
    = "INSERT INTO throttle_allowances AS a (scope, key, attempts, updated_at) "
      "VALUES (?1, ?2, CAST(?3 AS DOUBLE PRECISION) - 1, CAST(?4 AS DOUBLE PRECISION)) "
      "ON CONFLICT (scope, key) DO UPDATE SET "
      "attempts = LEAST(CAST(?3 AS DOUBLE PRECISION), a.attempts + GREATEST(CAST(?4 AS DOUBLE PRECISION) - a.updated_at, 0) "
      "/ CAST(?5 AS DOUBLE PRECISION)) - 1, updated_at = CAST(?4 AS DOUBLE PRECISION) "
      "WHERE LEAST(CAST(?3 AS DOUBLE PRECISION), a.attempts + GREATEST(CAST(?4 AS DOUBLE PRECISION) - a.updated_at, 0) "
      "/ CAST(?5 AS DOUBLE PRECISION)) >= 1 "
      "RETURNING a.attempts";

} // namespace

TableAllowances::TableAllowances(Database& database, std::string scope, Throttle::Rate rate)
    : m_database(database)
    , m_scope(std::move(scope))
    , m_rate(rate)
    , m_intervalSeconds(std::chrono::duration<double>(rate.interval).count())
{
}

std::chrono::seconds TableAllowances::take(const std::vector<std::string>& keys, Throttle::Clock::time_point now)
{
    const double seconds = wallSeconds(now);
    // Always locked in the same order, so two attempts on the same keys never wait for each other.
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    {
        auto session = m_database.session();
        Database::Transaction transaction(session);
        bool allowed = true;
        for (const std::string& key : sorted) {
            auto take = session.prepare(kTake);
            take.bind(1, m_scope).bind(2, key).bind(3, m_rate.burst).bind(4, seconds).bind(5, m_intervalSeconds);
            if (!take.step()) {
                allowed = false;
                break;
            }
        }
        if (allowed) {
            transaction.commit();
            if (++m_takes % kForgetEvery == 0)
                forgetIdle(seconds);
            return std::chrono::seconds(0);
        }
    }
    return waitFor(sorted, seconds);
}

std::chrono::seconds TableAllowances::waitFor(const std::vector<std::string>& keys, double now)
{
    double shortest = 1;
    auto session = m_database.reader();
    for (const std::string& key : keys) {
        auto query = session.prepare("SELECT attempts, updated_at FROM throttle_allowances WHERE scope = ? AND key = ?");
        query.bind(1, m_scope).bind(2, key);
        if (query.step())
            shortest = std::min(shortest, m_rate.refilled(query.real(0), std::chrono::duration<double>(now - query.real(1))));
    }
    // Refilled meanwhile (another instance gave one back): one second, as the least ever asked.
    return m_rate.waitFor(std::min(shortest, 0.999));
}

void TableAllowances::giveBack(const std::vector<std::string>& keys)
{
    auto session = m_database.session();
    for (const std::string& key : keys) {
        session
            .prepare("UPDATE throttle_allowances SET attempts = LEAST(CAST(?3 AS DOUBLE PRECISION), attempts + 1) "
                     "WHERE scope = ?1 AND key = ?2")
            .bind(1, m_scope)
            .bind(2, key)
            .bind(3, m_rate.burst)
            .step();
    }
}

void TableAllowances::forgetIdle(double now)
{
    // A row idle for a whole burst's refill has every attempt back: the same as no row.
    const double idleSince = now - m_rate.burst * m_intervalSeconds;
    try {
        auto session = m_database.session();
        session.prepare("DELETE FROM throttle_allowances WHERE scope = ? AND updated_at < ?").bind(1, m_scope).bind(2, idleSince).step();
    } catch (const DatabaseError&) {
        // Tried again after the next takes; the rows only take room meanwhile.
    }
}

} // namespace database
