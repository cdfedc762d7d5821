#pragma once

#include <filesystem>
#include <string>

// A real PostgreSQL 15 from Debian, started in a folder of its own under /tmp the first time a
// test asks for it and stopped when the test program ends. As root, the cluster runs as the
// `postgres` user, as PostgreSQL insists. Connections come from 127.0.0.1 as the superuser
// `parcly`, trusted without a password.
class PostgresServer {
public:
    // The running server, or null with the reason in `whyNot` when PostgreSQL is not installed
    // or would not start (the reason is the same on every later call).
    static PostgresServer* get(std::string& whyNot);

    // A new, empty database on the server: its libpq URI.
    std::string createDatabase();
    // Ends every session on the database `url` names, as a server restart would, and returns once
    // they are gone.
    void endSessions(const std::string& url);
    // Runs `sql` on the database `url` names; its first value. Throws with the server's message.
    static std::string queryAt(const std::string& url, const std::string& sql);

    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

private:
    PostgresServer() = default;
    std::string start();
    std::string query(const std::string& sql);

    std::filesystem::path m_folder;
    int m_port = 0;
    bool m_running = false;
    unsigned m_databases = 0;
};
