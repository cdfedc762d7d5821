#include "server/RequestLog.h"

#include "server/Text.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

std::string timestamp()
{
    return text::isoTime(std::time(nullptr));
}

} // namespace

RequestLog::RequestLog(Sink sink)
    : m_sink(std::move(sink))
{
}

void RequestLog::finished(const httplib::Request& request, const httplib::Response& response, std::chrono::milliseconds took)
{
    const size_t bytes = response.body.empty() ? response.content_length_ : response.body.size();
    std::string line = timestamp();
    line += ' ';
    line += request.remote_addr.empty() ? "-" : request.remote_addr;
    line += ' ';
    line += request.method.empty() ? "-" : text::printable(request.method);
    line += ' ';
    line += request.path.empty() ? "-" : text::printable(request.path);
    line += ' ' + std::to_string(response.status) + ' ' + std::to_string(bytes) + ' ' + std::to_string(took.count()) + "ms";
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
