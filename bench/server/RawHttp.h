#pragma once

// What the service benches share: HTTP/1.1 over plain loopback sockets, so the client costs as
// little as it can, and the medians they report.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A connection to 127.0.0.1:`port`, from `from` (another loopback address) when given; the bench
// ends when none can be had.
inline int connectTo(int port, const char* from = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && from) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
            std::perror("bench: bind");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "bench: cannot connect to 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        std::exit(1);
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

inline bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads one response (head and Content-Length body) from `pending` and the socket. Its status, or 0.
inline int readResponse(int fd, std::string& pending, std::string* body = nullptr)
{
    char buffer[64 * 1024];
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return 0;
        pending.append(buffer, static_cast<size_t>(n));
    }
    std::string head = pending.substr(0, end);
    for (char& c : head)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t lengthAt = head.find("content-length:");
    const size_t length = lengthAt == std::string::npos ? 0 : std::strtoull(head.c_str() + lengthAt + 15, nullptr, 10);
    while (pending.size() < end + 4 + length) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return 0;
        pending.append(buffer, static_cast<size_t>(n));
    }
    const int status = std::atoi(pending.c_str() + 9);
    if (body)
        body->assign(pending, end + 4, length);
    pending.erase(0, end + 4 + length);
    return status;
}

// One upload of `bytes` to POST /files, `chunk` sent over and over; the answer's status, or 0.
inline int upload(int port, const std::string& authorization, size_t bytes, std::string_view chunk)
{
    const int fd = connectTo(port);
    const std::string head = "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization
        + "\r\nx-parcly-filename: YmVuY2guYmlu\r\nContent-Type: application/octet-stream\r\n"
          "Connection: close\r\nContent-Length: "
        + std::to_string(bytes) + "\r\n\r\n";
    bool ok = writeAll(fd, head.data(), head.size());
    for (size_t sent = 0; ok && sent < bytes; sent += chunk.size())
        ok = writeAll(fd, chunk.data(), std::min(chunk.size(), bytes - sent));
    std::string pending;
    const int status = ok ? readResponse(fd, pending) : 0;
    ::close(fd);
    return status;
}

} // namespace bench
