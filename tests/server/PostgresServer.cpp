#include "PostgresServer.h"

#include <libpq-fe.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

const std::filesystem::path kBinaries = "/usr/lib/postgresql/15/bin";

// A port no one listens on right now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::string tail(const std::filesystem::path& log)
{
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

} // namespace

PostgresServer* PostgresServer::get(std::string& whyNot)
{
    static std::string reason;
    static const std::unique_ptr<PostgresServer> server = [] {
        std::unique_ptr<PostgresServer> started(new PostgresServer);
        reason = started->start();
        return started;
    }();
    whyNot = reason;
    return reason.empty() ? server.get() : nullptr;
}

std::string PostgresServer::start()
{
    if (!std::filesystem::exists(kBinaries / "initdb") || !std::filesystem::exists(kBinaries / "pg_ctl"))
        return "PostgreSQL 15 is not installed (" + kBinaries.string() + "; Debian package postgresql-15)";
    // Under /tmp rather than the test's private TMPDIR, which the postgres user could not enter.
    char pattern[] = "/tmp/parcly-postgres-XXXXXX";
    if (!::mkdtemp(pattern))
        return "cannot make a folder for PostgreSQL under /tmp";
    m_folder = pattern;
    std::string runAs;
    if (::geteuid() == 0) {
        if (std::system(("chown postgres:postgres " + m_folder.string()).c_str()) != 0)
            return "running as root, and there is no postgres user to run PostgreSQL as";
        runAs = "runuser -u postgres -- ";
    }
    m_port = freePort();
    const std::string data = (m_folder / "data").string();
    // Written by the server itself, so apart from initdb's (written by this process's shell).
    const std::string log = (m_folder / "server.log").string();
    const std::string initdbLog = (m_folder / "initdb.log").string();
    const std::string initdb = runAs + (kBinaries / "initdb").string() + " -D " + data
        + " -A trust -U parcly -E UTF8 --locale=C --no-sync > " + initdbLog + " 2>&1";
    if (std::system(initdb.c_str()) != 0)
        return "initdb failed: " + tail(initdbLog);
    const std::string options = "-p " + std::to_string(m_port) + " -k " + m_folder.string()
        + " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200";
    const std::string start
        = runAs + (kBinaries / "pg_ctl").string() + " -D " + data + " -l " + log + " -o \"" + options + "\" -w start > /dev/null 2>&1";
    if (std::system(start.c_str()) != 0)
        return "PostgreSQL would not start: " + tail(log);
    m_running = true;
    return {};
}

PostgresServer::~PostgresServer()
{
    if (m_running) {
        const std::string runAs = ::geteuid() == 0 ? "runuser -u postgres -- " : "";
        const std::string stop
            = runAs + (kBinaries / "pg_ctl").string() + " -D " + (m_folder / "data").string() + " stop -m immediate > /dev/null 2>&1";
        if (std::system(stop.c_str()) != 0)
            std::fprintf(stderr, "PostgresServer: pg_ctl stop failed; %s is left behind\n", m_folder.c_str());
    }
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

// Runs `sql` on the server's maintenance database; its first value.
std::string PostgresServer::query(const std::string& sql)
{
    return queryAt("postgresql://parcly@127.0.0.1:" + std::to_string(m_port) + "/postgres", sql);
}

std::string PostgresServer::queryAt(const std::string& url, const std::string& sql)
{
    PGconn* connection = PQconnectdb(url.c_str());
    PGresult* result = PQstatus(connection) == CONNECTION_OK ? PQexec(connection, sql.c_str()) : nullptr;
    const bool done = result && (PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK);
    const std::string value = done && PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    const std::string error = PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
    if (!done)
        throw std::runtime_error(sql + ": " + error);
    return value;
}

std::string PostgresServer::createDatabase()
{
    const std::string name = "store_" + std::to_string(++m_databases);
    query("CREATE DATABASE " + name);
    return "postgresql://parcly@127.0.0.1:" + std::to_string(m_port) + "/" + name;
}

void PostgresServer::endSessions(const std::string& url)
{
    const std::string name = url.substr(url.rfind('/') + 1);
    query("SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = '" + name + "'");
    while (query("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = '" + name + "'") != "0")
        ::usleep(20000);
}
