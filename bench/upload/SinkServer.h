#pragma once

#include <sys/types.h>

#include <cstddef>

// A minimal HTTP/1.1 sink in a child process: reads each request body `readBytes` at a time,
// discards it, and answers 201 with a small JSON drop, each connection on a thread of its own.
// It is fast enough that the client under test, not the server, sets the pace.
class SinkServer {
public:
    // Forks the sink; call before any threads exist.
    explicit SinkServer(size_t readBytes = 4 * 1024 * 1024);
    ~SinkServer();

    int port() const { return m_port; }

private:
    pid_t m_child = -1;
    int m_port = 0;
};
