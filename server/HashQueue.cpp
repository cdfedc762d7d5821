#include "server/HashQueue.h"

#include <algorithm>
#include <thread>

namespace {

unsigned defaultWorkers()
{
    return std::max(1u, std::thread::hardware_concurrency() / 2);
}

} // namespace

HashQueue::HashQueue(unsigned workers, size_t waiting)
    : m_workers(workers > 0 ? workers : defaultWorkers())
    , m_waitingLimit(waiting)
{
}

bool HashQueue::run(const std::function<void()>& work, std::chrono::seconds& retryAfter)
{
    std::unique_lock lock(m_mutex);
    if (m_running >= m_workers) {
        if (m_waiting >= m_waitingLimit) {
            const auto ahead = m_typical * static_cast<long>((m_waiting + m_running) / m_workers + 1);
            retryAfter = std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(ahead));
            return false;
        }
        ++m_waiting;
        m_free.wait(lock, [this] { return m_running < m_workers; });
        --m_waiting;
    }
    ++m_running;
    lock.unlock();

    const auto started = std::chrono::steady_clock::now();
    struct Done {
        HashQueue& queue;
        std::chrono::steady_clock::time_point started;
        ~Done()
        {
            {
                std::lock_guard lock(queue.m_mutex);
                --queue.m_running;
                queue.m_typical = (queue.m_typical * 3 + (std::chrono::steady_clock::now() - started)) / 4;
            }
            queue.m_free.notify_one();
        }
    } done{*this, started};
    work();
    return true;
}
