#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

// Runs costly password hashing for registrations on a bounded number of workers with a bounded
// queue, so that a burst of them takes at most those cores and sign-ins (which hash on their own
// request's thread) are never queued behind it.
class HashQueue {
public:
    // workers 0: half the cores, at least one.
    HashQueue(unsigned workers, size_t waiting);

    // Runs `work` once a worker is free and answers true; false, without running it, when the
    // queue is full. `retryAfter` is then how long the queue ahead should take to clear.
    bool run(const std::function<void()>& work, std::chrono::seconds& retryAfter);
    unsigned workers() const { return m_workers; }

private:
    const unsigned m_workers;
    const size_t m_waitingLimit;
    std::mutex m_mutex;
    std::condition_variable m_free;
    unsigned m_running = 0;
    size_t m_waiting = 0;
    std::chrono::steady_clock::duration m_typical{std::chrono::milliseconds(200)}; // of one job, smoothed
};
