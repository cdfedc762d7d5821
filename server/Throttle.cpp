#include "server/Throttle.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace {

class MemoryAllowances final : public Throttle::Allowances {
public:
    MemoryAllowances(Throttle::Rate rate, size_t maximumKeys)
        : m_rate(rate)
        , m_maximumKeys(maximumKeys)
    {
    }

    std::chrono::seconds take(const std::vector<std::string>& keys, Throttle::Clock::time_point now) override
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
        if (shortest < 1)
            return m_rate.waitFor(shortest);
        for (const std::string& key : keys) {
            const auto [entry, added] = m_allowances.try_emplace(key, Allowance{m_rate.burst, now});
            entry->second.attempts = refilled(entry->second, now) - 1;
            entry->second.updated = now;
        }
        return std::chrono::seconds(0);
    }

    void giveBack(const std::vector<std::string>& keys) override
    {
        std::lock_guard lock(m_mutex);
        for (const std::string& key : keys) {
            if (const auto found = m_allowances.find(key); found != m_allowances.end())
                found->second.attempts = std::min(m_rate.burst, found->second.attempts + 1);
        }
    }

private:
    struct Allowance {
        double attempts = 0;
        Throttle::Clock::time_point updated;
    };

    double refilled(const Allowance& allowance, Throttle::Clock::time_point now) const
    {
        return m_rate.refilled(allowance.attempts, now - allowance.updated);
    }

    void forgetIdle(Throttle::Clock::time_point now)
    {
        // A key with its whole allowance back is the same as one never seen.
        std::erase_if(m_allowances, [&](const auto& entry) { return refilled(entry.second, now) >= m_rate.burst; });
        // Still full: so many keys are being held back at once that keeping them would cost more
        // than the attempts they stand for.
        if (m_allowances.size() >= m_maximumKeys)
            m_allowances.clear();
    }

    const Throttle::Rate m_rate;
    const size_t m_maximumKeys;
    std::mutex m_mutex;
    std::unordered_map<std::string, Allowance> m_allowances;
};

} // namespace

Throttle::Rate::Rate(unsigned burstAttempts, Clock::duration refillInterval)
    : burst(std::max(burstAttempts, 1u))
    , interval(refillInterval)
{
}

double Throttle::Rate::refilled(double attempts, std::chrono::duration<double> elapsed) const
{
    const double intervals = elapsed / interval;
    return std::min(burst, attempts + std::max(intervals, 0.0));
}

std::chrono::seconds Throttle::Rate::waitFor(double attempts) const
{
    const auto wait = std::chrono::duration<double>(interval) * (1 - attempts);
    return std::chrono::seconds(std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(wait.count()))));
}

std::unique_ptr<Throttle::Allowances> Throttle::inMemory(Rate rate, size_t maximumKeys)
{
    return std::make_unique<MemoryAllowances>(rate, maximumKeys);
}

Throttle::Throttle(unsigned burst, Clock::duration interval, size_t maximumKeys)
    : m_allowances(inMemory(Rate(burst, interval), maximumKeys))
{
}

Throttle::Throttle(std::unique_ptr<Allowances> allowances)
    : m_allowances(std::move(allowances))
{
}

Throttle::~Throttle() = default;

std::chrono::seconds Throttle::take(const std::vector<std::string>& keys, Clock::time_point now)
{
    return m_allowances->take(keys, now);
}

void Throttle::giveBack(const std::vector<std::string>& keys)
{
    m_allowances->giveBack(keys);
}
