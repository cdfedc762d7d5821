#include "server/ExpirySweeper.h"

#include "server/TokenSigner.h"

#include <exception>
#include <string>

ExpirySweeper::ExpirySweeper(DropStore& drops, RequestLog& log, std::chrono::seconds interval, std::chrono::seconds objectInterval,
                             std::chrono::seconds orphanAge)
    : m_drops(drops)
    , m_log(log)
    , m_interval(interval)
    , m_objectInterval(objectInterval)
    , m_orphanAge(orphanAge)
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
    // Listing a bucket may take a while: never at start on the caller's thread.
    auto nextObjectSweep = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_drops.objects() && std::chrono::steady_clock::now() >= nextObjectSweep) {
            lock.unlock();
            sweepObjects();
            lock.lock();
            nextObjectSweep = std::chrono::steady_clock::now() + m_objectInterval;
        }
        const auto wait = m_drops.objects() ? std::min<std::chrono::steady_clock::duration>(m_interval, m_objectInterval) : m_interval;
        if (m_wake.wait_for(lock, wait, [this] { return m_stopping; }))
            return;
        lock.unlock();
        sweep();
        lock.lock();
    }
}

void ExpirySweeper::sweepObjects()
{
    try {
        const DropObjects::Swept swept = m_drops.sweepObjects(TokenSigner::now() - m_orphanAge.count());
        if (swept.uploads > 0 || swept.objects > 0)
            m_log.note("removed from the bucket what stopped servers left: " + std::to_string(swept.uploads) + " unfinished uploads, "
                       + std::to_string(swept.objects) + " objects without a drop");
    } catch (const std::exception& error) {
        m_log.note(std::string("cannot sweep the bucket: ") + error.what());
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
