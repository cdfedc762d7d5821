#include "server/HealthMonitor.h"

#include "server/Json.h"
#include "server/Replies.h"

#include <algorithm>
#include <exception>

HealthMonitor::HealthMonitor(std::vector<Probe> probes, RequestLog& log, std::chrono::milliseconds interval,
                             std::chrono::milliseconds probeLimit)
    : m_probes(std::move(probes))
    , m_log(log)
    , m_interval(interval)
    , m_probeLimit(probeLimit)
    , m_reasons(m_probes.size())
{
    probe();
    m_thread = std::thread([this] { run(); });
}

HealthMonitor::~HealthMonitor()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HealthMonitor::install(HttpServer& server)
{
    server.Get(kPath, [this](const httplib::Request&, httplib::Response& response) { answer(response); });
}

std::vector<std::string> HealthMonitor::failing() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> failing = m_failing;
    if (m_probing && std::chrono::steady_clock::now() - m_probeStarted > m_probeLimit
        && std::find(failing.begin(), failing.end(), m_probing->name) == failing.end())
        failing.push_back(m_probing->name);
    return failing;
}

void HealthMonitor::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, m_interval, [this] { return m_stopping; })) {
        lock.unlock();
        probe();
        lock.lock();
    }
}

void HealthMonitor::probe()
{
    std::vector<std::string> failing;
    for (size_t i = 0; i < m_probes.size(); ++i) {
        std::string reason;
        {
            std::lock_guard lock(m_mutex);
            m_probing = &m_probes[i];
            m_probeStarted = std::chrono::steady_clock::now();
        }
        try {
            m_probes[i].check();
        } catch (const std::exception& error) {
            reason = error.what();
            failing.push_back(m_probes[i].name);
        }
        // The details (which host, which error) go to the log, once per change, never to the answer.
        if (reason != m_reasons[i]) {
            m_log.note(reason.empty() ? "health: " + m_probes[i].name + " answers again"
                                      : "health: " + m_probes[i].name + " does not answer: " + reason);
            m_reasons[i] = reason;
        }
    }
    std::lock_guard lock(m_mutex);
    m_probing = nullptr;
    m_failing = std::move(failing);
}

void HealthMonitor::answer(httplib::Response& response) const
{
    const std::vector<std::string> failing = this->failing();
    if (failing.empty()) {
        reply::json(response, 200, json::write({{"status", "ok"}}));
        return;
    }
    std::string names;
    for (const std::string& name : failing)
        names += (names.empty() ? "" : " and ") + name;
    reply::json(response, 503, json::write({{"status", "unavailable"}, {"reason", names + " not answering"}}));
}
