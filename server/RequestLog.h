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

    // `took`: from the request's head to its answer.
    void finished(const httplib::Request& request, const httplib::Response& response, std::chrono::milliseconds took);
    // Lines that are not about a request (startup, failures).
    void note(std::string_view message);

private:
    void write(std::string line);

    Sink m_sink;
    std::mutex m_mutex;
};
