#include "server/ExpirySweeper.h"

#include "server/TokenSigner.h"

#include <exception>
#include <string>

ExpirySweeper::ExpirySweeper(DropStore& drops, RequestLog& log, std::chrono::seconds interval)
    : m_drops(drops)
    , m_log(log)
    , m_interval(interval)
{
    sweep();
    m_thread = std::thread([this] { run(); });
}

ExpirySweeper::~ExpirySweeper()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ExpirySweeper::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, m_interval, [this] { return m_stopping; })) {
        lock.unlock();
        sweep();
        lock.lock();
    }
}

void ExpirySweeper::sweep()
{
    try {
        const size_t removed = m_drops.sweepExpired(TokenSigner::now());
        if (removed > 0)
            m_log.note("removed " + std::to_string(removed) + (removed == 1 ? " expired drop" : " expired drops"));
    } catch (const std::exception& error) {
        // Tried again at the next sweep; until then the drops are gone for everyone but the disk.
        m_log.note(std::string("cannot remove expired drops: ") + error.what());
    }
}
