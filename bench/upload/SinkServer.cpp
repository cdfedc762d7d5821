#include "SinkServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Finds a header's value in the raw header block, case-insensitively.
std::string headerValue(const std::string& headers, const std::string& lowerName)
{
    std::string lower = headers;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\r\n" + lowerName + ":");
    if (at == std::string::npos)
        return {};
    const size_t start = at + lowerName.size() + 3;
    const size_t end = headers.find("\r\n", start);
    std::string value = headers.substr(start, end - start);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

void serveConnection(int fd, size_t readBytes)
{
    std::vector<char> buffer(readBytes);
    std::string pending;
    for (;;) {
        size_t headerEnd;
        while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                return;
            pending.append(buffer.data(), size_t(n));
        }
        const std::string headers = pending.substr(0, headerEnd + 2);
        pending.erase(0, headerEnd + 4);
        long long remaining = std::atoll(headerValue(headers, "content-length").c_str());
        if (headerValue(headers, "expect") == "100-continue" && !writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
            return;
        const long long buffered = std::min<long long>(remaining, (long long)pending.size());
        pending.erase(0, size_t(buffered));
        remaining -= buffered;
        while (remaining > 0) {
            const ssize_t n = ::read(fd, buffer.data(), size_t(std::min<long long>(remaining, (long long)buffer.size())));
            if (n <= 0)
                return;
            remaining -= n;
        }
        const std::string body = R"({"code":"bench","title":"bench.bin","shortlink":"http://127.0.0.1/bench"})";
        if (!writeAll(fd,
                      "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size())
                          + "\r\n\r\n" + body))
            return;
    }
}

[[noreturn]] void runSink(int listener, size_t readBytes)
{
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread([fd, readBytes] {
            serveConnection(fd, readBytes);
            ::close(fd);
        }).detach();
    }
}

} // namespace

SinkServer::SinkServer(size_t readBytes)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("sink");
        std::exit(1);
    }
    m_port = ntohs(address.sin_port);
    m_child = ::fork();
    if (m_child == 0)
        runSink(listener, readBytes);
    ::close(listener);
}

SinkServer::~SinkServer()
{
    if (m_child > 0) {
        ::kill(m_child, SIGTERM);
        ::waitpid(m_child, nullptr, 0);
    }
}
