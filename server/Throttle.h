#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Limits costly attempts per key (a client address, an account): `burst` at once, then one
// per `interval`. Idle keys are forgotten, so what is kept stays bounded whatever clients send.
class Throttle {
public:
    using Clock = std::chrono::steady_clock;

    struct Rate {
        Rate(unsigned burst, Clock::duration interval);
        // The attempts a key has `elapsed` after it had `attempts`.
        double refilled(double attempts, std::chrono::duration<double> elapsed) const;
        // How long until a key with `attempts` has one whole attempt again.
        std::chrono::seconds waitFor(double attempts) const;

        double burst;
        Clock::duration interval;
    };

    // Where the attempts left per key are kept: this process's memory, or a table that every
    // instance of the service shares.
    class Allowances {
    public:
        virtual ~Allowances() = default;
        virtual std::chrono::seconds take(const std::vector<std::string>& keys, Clock::time_point now) = 0;
        virtual void giveBack(const std::vector<std::string>& keys) = 0;
    };

    // Kept in this process's memory, at most `maximumKeys` of them.
    static std::unique_ptr<Allowances> inMemory(Rate rate, size_t maximumKeys = 100000);
    Throttle(unsigned burst, Clock::duration interval, size_t maximumKeys = 100000);
    explicit Throttle(std::unique_ptr<Allowances> allowances);
    ~Throttle();
    Throttle(const Throttle&) = delete;
    Throttle& operator=(const Throttle&) = delete;

    // Takes one attempt from every key's allowance and answers zero, or, when any key has none
    // left, takes nothing and answers how long until each has one again.
    std::chrono::seconds take(const std::vector<std::string>& keys, Clock::time_point now = Clock::now());
    // Returns what take() took, for an attempt that turned out not to count (a right password).
    void giveBack(const std::vector<std::string>& keys);

private:
    std::unique_ptr<Allowances> m_allowances;
};
