#pragma once

#include "server/HttpServer.h"
#include "server/RequestLog.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// GET /healthz, for load balancers: 200 while the backends answer, 503 naming the one that does
// not. The backends are asked on a thread of its own every interval, never from a request, so a
// hung database costs no request thread and a balancer asking often costs the backends nothing.
// The answer says nothing else: no versions, no counts, no addresses.
class HealthMonitor {
public:
    struct Probe {
        std::string name; // "database", "storage": what the answer names
        std::function<void()> check; // throws when the backend does not answer
    };

    // Probes once before it returns, so the first answer is already true.
    HealthMonitor(std::vector<Probe> probes, RequestLog& log, std::chrono::milliseconds interval = std::chrono::seconds(2),
                  std::chrono::milliseconds probeLimit = kProbeLimit);
    ~HealthMonitor();
    HealthMonitor(const HealthMonitor&) = delete;
    HealthMonitor& operator=(const HealthMonitor&) = delete;

    static constexpr const char* kPath = "/healthz";
    void install(HttpServer& server);

    // The backends that did not answer at the last probe, and one that has not answered for
    // longer than a probe may take; empty when all did.
    std::vector<std::string> failing() const;

    // A backend that has not answered for this long counts as not answering, even before its
    // probe gives up (a database behind a silent network can keep a connection attempt waiting).
    static constexpr std::chrono::milliseconds kProbeLimit{10000};

private:
    void run();
    void probe();
    void answer(httplib::Response& response) const;

    const std::vector<Probe> m_probes;
    RequestLog& m_log;
    const std::chrono::milliseconds m_interval;
    const std::chrono::milliseconds m_probeLimit;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_failing;
    const Probe* m_probing = nullptr; // the probe in progress, since m_probeStarted
    std::chrono::steady_clock::time_point m_probeStarted;
    std::vector<std::string> m_reasons; // last logged, so a lasting failure is logged once
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};
