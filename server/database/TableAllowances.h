#pragma once

#include "server/Database.h"
#include "server/Throttle.h"

#include <atomic>
#include <string>

namespace database {

// A throttle's allowances in a table every instance of the service shares, so that ten wrong
// passwords are ten in total however many instances they were spread over. Each key is one row,
// taken with an upsert that only succeeds while the row has a whole attempt; the keys of one
// attempt change in one transaction, all or none. PostgreSQL only (its LEAST and GREATEST).
class TableAllowances final : public Throttle::Allowances {
public:
    // `scope` tells this throttle's rows from other throttles'.
    TableAllowances(Database& database, std::string scope, Throttle::Rate rate);

    std::chrono::seconds take(const std::vector<std::string>& keys, Throttle::Clock::time_point now) override;
    void giveBack(const std::vector<std::string>& keys) override;

private:
    std::chrono::seconds waitFor(const std::vector<std::string>& keys, double now);
    void forgetIdle(double now);

    Database& m_database;
    const std::string m_scope;
    const Throttle::Rate m_rate;
    const double m_intervalSeconds;
    std::atomic<unsigned> m_takes = 0;
};

} // namespace database
