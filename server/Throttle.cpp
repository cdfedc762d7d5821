#include "server/Throttle.h"

#include <algorithm>
#include <cmath>

Throttle::Throttle(unsigned burst, Clock::duration interval, size_t maximumKeys)
    : m_burst(std::max(burst, 1u))
    , m_interval(interval)
    , m_maximumKeys(maximumKeys)
{
}

double Throttle::refilled(const Allowance& allowance, Clock::time_point now) const
{
    const double intervals = std::chrono::duration<double>(now - allowance.updated) / m_interval;
    return std::min(m_burst, allowance.attempts + std::max(intervals, 0.0));
}

std::chrono::seconds Throttle::take(const std::vector<std::string>& keys, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    if (m_allowances.size() + keys.size() > m_maximumKeys)
        forgetIdle(now);

    double shortest = 1; // attempts still owed by the emptiest key
    for (const std::string& key : keys) {
        const auto found = m_allowances.find(key);
        if (found != m_allowances.end())
            shortest = std::min(shortest, refilled(found->second, now));
    }
    if (shortest < 1) {
        const auto wait = std::chrono::duration<double>(m_interval) * (1 - shortest);
        return std::chrono::seconds(std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(wait.count()))));
    }
    for (const std::string& key : keys) {
        const auto [entry, added] = m_allowances.try_emplace(key, Allowance{m_burst, now});
        entry->second.attempts = refilled(entry->second, now) - 1;
        entry->second.updated = now;
    }
    return std::chrono::seconds(0);
}

void Throttle::giveBack(const std::vector<std::string>& keys)
{
    std::lock_guard lock(m_mutex);
    for (const std::string& key : keys) {
        if (const auto found = m_allowances.find(key); found != m_allowances.end())
            found->second.attempts = std::min(m_burst, found->second.attempts + 1);
    }
}

void Throttle::forgetIdle(Clock::time_point now)
{
    // A key with its whole allowance back is the same as one never seen.
    std::erase_if(m_allowances, [&](const auto& entry) { return refilled(entry.second, now) >= m_burst; });
    // Still full: so many keys are being held back at once that keeping them would cost more
    // than the attempts they stand for.
    if (m_allowances.size() >= m_maximumKeys)
        m_allowances.clear();
}
