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
    HealthMonitor(std::vector<Probe> probes, RequestLog& log, std::chrono::milliseconds interval = std::chrono::seconds(2));
    ~HealthMonitor();
    HealthMonitor(const HealthMonitor&) = delete;
    HealthMonitor& operator=(const HealthMonitor&) = delete;

    static constexpr const char* kPath = "/healthz";
    void install(HttpServer& server);

    // The backends that did not answer at the last probe; empty when all did.
    std::vector<std::string> failing() const;

private:
    void run();
    void probe();
    void answer(httplib::Response& response) const;

    const std::vector<Probe> m_probes;
    RequestLog& m_log;
    const std::chrono::milliseconds m_interval;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_failing;
    std::vector<std::string> m_reasons; // last logged, so a lasting failure is logged once
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};
