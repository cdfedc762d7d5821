#pragma once

#include <sys/types.h>

// A minimal HTTP/1.1 sink in a child process: reads each request body with a large buffer,
// discards it, and answers 201 with a small JSON drop. It is fast enough that the client under
// test, not the server, sets the pace.
class SinkServer {
public:
    // Forks the sink; call before any threads exist.
    SinkServer();
    ~SinkServer();

    int port() const { return m_port; }

private:
    pid_t m_child = -1;
    int m_port = 0;
};
