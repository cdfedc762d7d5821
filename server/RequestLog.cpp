#include "server/RequestLog.h"

#include "server/Text.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// httplib handles a connection on one thread from request line to response, so a thread-local
// marks which request the start time belongs to.
struct Start {
    const httplib::Request* request = nullptr;
    std::chrono::steady_clock::time_point time;
};
thread_local Start t_start;

std::string timestamp()
{
    return text::isoTime(std::time(nullptr));
}

} // namespace

RequestLog::RequestLog(Sink sink)
    : m_sink(std::move(sink))
{
}

void RequestLog::started(const httplib::Request& request)
{
    if (t_start.request == &request)
        return;
    t_start = {&request, std::chrono::steady_clock::now()};
}

void RequestLog::finished(const httplib::Request& request, const httplib::Response& response)
{
    long long milliseconds = 0;
    if (t_start.request == &request)
        milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t_start.time).count();
    // The same address is reused by the connection's next request.
    t_start.request = nullptr;

    const size_t bytes = response.body.empty() ? response.content_length_ : response.body.size();
    std::string line = timestamp();
    line += ' ';
    line += request.remote_addr.empty() ? "-" : request.remote_addr;
    line += ' ';
    line += request.method.empty() ? "-" : text::printable(request.method);
    line += ' ';
    line += request.path.empty() ? "-" : text::printable(request.path);
    line += ' ' + std::to_string(response.status) + ' ' + std::to_string(bytes) + ' ' + std::to_string(milliseconds) + "ms";
    write(std::move(line));
}

void RequestLog::note(std::string_view message)
{
    write(timestamp() + " " + std::string(message));
}

void RequestLog::write(std::string line)
{
    std::lock_guard lock(m_mutex);
    if (m_sink) {
        m_sink(line);
        return;
    }
    line += '\n';
    // One write per line keeps lines whole when several processes share the terminal.
    const char* data = line.data();
    size_t size = line.size();
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}
