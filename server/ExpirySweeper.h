#pragma once

#include "server/DropStore.h"
#include "server/RequestLog.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Removes expired drops' bytes: once at start, then every interval, on a thread of its own,
// until destroyed. Pages and lists treat a drop as gone from its time on; this frees the space.
class ExpirySweeper {
public:
    // With a bucket, also removes what stopped servers left there (see DropStore::sweepObjects),
    // `orphanAge` old, every `objectInterval`, starting at once on its thread.
    ExpirySweeper(DropStore& drops, RequestLog& log, std::chrono::seconds interval,
                  std::chrono::seconds objectInterval = std::chrono::hours(1), std::chrono::seconds orphanAge = std::chrono::hours(24));
    ~ExpirySweeper();
    ExpirySweeper(const ExpirySweeper&) = delete;
    ExpirySweeper& operator=(const ExpirySweeper&) = delete;

private:
    void run();
    void sweep();
    void sweepObjects();

    DropStore& m_drops;
    RequestLog& m_log;
    std::chrono::seconds m_interval;
    std::chrono::seconds m_objectInterval;
    std::chrono::seconds m_orphanAge;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};
