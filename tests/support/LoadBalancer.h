#pragma once

// A real load balancer in front of several service instances: haproxy from Debian, round robin
// per request, on a free loopback port, its config in a folder of its own under TMPDIR; stopped
// when this object goes. It appends each client's address to X-Forwarded-For, as balancers in
// front of the service do. No Qt, so benches can use it too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class LoadBalancer {
public:
    struct Outcome {
        std::unique_ptr<LoadBalancer> balancer; // none when it did not start
        bool missing = false; // haproxy is not installed: skip, with `why`
        std::string why;
    };

    static Outcome start(const std::vector<int>& backendPorts)
    {
        Outcome outcome;
        const char* program = "/usr/sbin/haproxy";
        if (::access(program, X_OK) != 0) {
            outcome.missing = true;
            outcome.why = "haproxy is not installed (Debian package haproxy)";
            return outcome;
        }
        const char* temporary = std::getenv("TMPDIR");
        std::string folder = std::string(temporary && *temporary ? temporary : "/tmp") + "/haproxy-XXXXXX";
        if (!::mkdtemp(folder.data())) {
            outcome.why = "cannot make a folder for haproxy under " + folder;
            return outcome;
        }
        const int port = freePort();
        std::ofstream config(folder + "/haproxy.cfg");
        config << "global\n    maxconn 4096\n"
               << "defaults\n    mode http\n    timeout connect 5s\n    timeout client 300s\n    timeout server 300s\n"
               << "    option forwardfor\n"
               << "    log stdout format raw local0 err\n"
               << "frontend parcly\n    bind 127.0.0.1:" << port << "\n    default_backend instances\n"
               << "backend instances\n    balance roundrobin\n";
        for (size_t i = 0; i < backendPorts.size(); ++i)
            config << "    server instance" << i << " 127.0.0.1:" << backendPorts[i] << "\n";
        config.close();

        const std::string configPath = folder + "/haproxy.cfg";
        std::vector<std::string> arguments = {program, "-db", "-f", configPath};
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (::posix_spawn(&pid, program, nullptr, nullptr, argv.data(), environ) != 0) {
            outcome.why = "cannot start haproxy";
            return outcome;
        }
        auto balancer = std::unique_ptr<LoadBalancer>(new LoadBalancer(pid, port, folder));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!accepts(port)) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                balancer->m_pid = -1;
                outcome.why = "haproxy exited at start (config " + configPath + ")";
                return outcome;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                outcome.why = "haproxy did not listen within 20 s";
                return outcome;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        outcome.balancer = std::move(balancer);
        return outcome;
    }

    ~LoadBalancer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    LoadBalancer(const LoadBalancer&) = delete;
    LoadBalancer& operator=(const LoadBalancer&) = delete;

    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    // A loopback port nothing listens on now, for a backend that must be named before it starts;
    // 0 when none could be had.
    static int freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        if (fd >= 0)
            ::close(fd);
        return bound ? ntohs(address.sin_port) : 0;
    }

private:
    LoadBalancer(pid_t pid, int port, std::string folder)
        : m_pid(pid)
        , m_port(port)
        , m_folder(std::move(folder))
    {
    }

    static bool accepts(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return connected;
    }

    pid_t m_pid;
    int m_port;
    std::string m_folder;
};
