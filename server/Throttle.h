#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// Limits costly attempts per key (a client address, an account): `burst` at once, then one
// per `interval`. Idle keys are forgotten, so memory stays bounded whatever clients send.
class Throttle {
public:
    using Clock = std::chrono::steady_clock;

    Throttle(unsigned burst, Clock::duration interval, size_t maximumKeys = 100000);

    // Takes one attempt from every key's allowance and answers zero, or, when any key has none
    // left, takes nothing and answers how long until each has one again.
    std::chrono::seconds take(const std::vector<std::string>& keys, Clock::time_point now = Clock::now());
    // Returns what take() took, for an attempt that turned out not to count (a right password).
    void giveBack(const std::vector<std::string>& keys);

private:
    struct Allowance {
        double attempts = 0;
        Clock::time_point updated;
    };
    double refilled(const Allowance& allowance, Clock::time_point now) const;
    void forgetIdle(Clock::time_point now);

    const double m_burst;
    const Clock::duration m_interval;
    const size_t m_maximumKeys;
    std::mutex m_mutex;
    std::unordered_map<std::string, Allowance> m_allowances;
};
