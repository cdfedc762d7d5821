#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// One line per request: time, client, method, path, status, response bytes, milliseconds.
// The path is logged without its query, and no header is, so no password or token reaches it.
class RequestLog {
public:
    using Sink = std::function<void(std::string_view line)>;

    // Lines go to `sink`, or to standard error when none is given.
    explicit RequestLog(Sink sink = {});

    // Marks the start of a request on the handling thread; the first call per request counts.
    void started(const httplib::Request& request);
    void finished(const httplib::Request& request, const httplib::Response& response);
    // Lines that are not about a request (startup, failures).
    void note(std::string_view message);

private:
    void write(std::string line);

    Sink m_sink;
    std::mutex m_mutex;
};
