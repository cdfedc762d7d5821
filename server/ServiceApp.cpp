#include "server/ServiceApp.h"

#include "server/AccountStore.h"
#include "server/ApiRoutes.h"
#include "server/Authenticator.h"
#include "server/ClientAddress.h"
#include "server/Database.h"
#include "server/DropObjects.h"
#include "server/DropRoutes.h"
#include "server/DropStore.h"
#include "server/ExpirySweeper.h"
#include "server/HealthMonitor.h"
#include "server/HttpServer.h"
#include "server/Pages.h"
#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/ServiceContext.h"
#include "server/TokenSigner.h"
#include "server/UploadRoute.h"
#include "server/WebRoutes.h"
#include "server/database/SigningSecret.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kListenBacklog = 511;

void refuseNoSuchEndpoint(httplib::Response& response)
{
    reply::error(response, 404, "Request.NoSuchEndpoint", "There is no such endpoint");
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string hostForUrl(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Only SO_REUSEADDR: SO_REUSEPORT would let a second server bind the same port and silently
// take half of the requests. Returns the socket and its port, or -1.
int listenOn(const std::string& host, int port, int& boundPort)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses) != 0)
        return -1;
    int fd = -1;
    for (const addrinfo* address = addresses; address && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0)
            continue;
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::bind(fd, address->ai_addr, address->ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            ::close(fd);
            fd = -1;
            continue;
        }
        boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    ::freeaddrinfo(addresses);
    return fd;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Descriptors kept for the database, the log, the lock and listening socket, and the engine.
constexpr rlim_t kDescriptorHeadroom = 64;

// Raises the soft descriptor limit to the hard one and sizes the connection caps to fit what it
// allows: each connection holds its socket and, while it uploads or is served a file, one file.
// Caps above the limit would have the engine fail accept() over and over instead of waiting.
// Behind a balancer every connection comes from the balancer: the engine's cap per address would
// cap them all, so it is lifted (the per-address limits the routes apply use the forwarded client).
void fitConnectionsToDescriptors(HttpServer::Limits& limits, RequestLog& log, bool behindProxy)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t usable = limit.rlim_cur > kDescriptorHeadroom * 2 ? limit.rlim_cur - kDescriptorHeadroom : kDescriptorHeadroom;
    limits.maximumConnections = static_cast<unsigned>(std::min<rlim_t>(limits.maximumConnections, usable / 2));
    limits.maximumConnectionsPerAddress = behindProxy
        ? limits.maximumConnections
        : std::max(1u, std::min(limits.maximumConnectionsPerAddress, limits.maximumConnections / 4));
    log.note("descriptors: limit " + std::to_string(limit.rlim_cur) + ", at most " + std::to_string(limits.maximumConnections)
             + " connections, " + std::to_string(limits.maximumConnectionsPerAddress) + " per address");
}

} // namespace

ServiceApp::ServiceApp(ServerOptions options, RequestLog::Sink logSink)
    : m_options(std::move(options))
    , m_log(std::move(logSink))
{
    // A client hanging up mid-response must cost that response only, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    const std::filesystem::path& data = m_options.dataDirectory;
    std::error_code error;
    std::filesystem::create_directories(data, error);
    if (error)
        throw std::runtime_error("cannot create the data folder " + data.string() + ": " + error.message());
    ::chmod(data.c_str(), 0700);

    // Two servers on one folder would delete each other's uploads in progress at start.
    m_lockFd = ::open((data / "server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        throw systemError("cannot open " + (data / "server.lock").string());
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_lockFd);
        throw std::runtime_error("another parcly-server is using " + data.string());
    }

    int listeningSocket = -1;
    try {
        openDatabase();
        openStorage();
        m_accounts = std::make_unique<AccountStore>(*m_database, PasswordHasher(m_options.passwordIterations));
        const StorageUrl storage = m_options.storageUrl();
        m_drops = std::make_unique<DropStore>(*m_database, storage.kind == StorageUrl::Kind::File ? storage.path : data,
                                              DropStore::CodeSource(), m_objects.get());
        m_sweeper = std::make_unique<ExpirySweeper>(*m_drops, m_log, std::chrono::seconds(m_options.sweepIntervalSeconds),
                                                    std::chrono::seconds(m_options.objectSweepIntervalSeconds),
                                                    std::chrono::seconds(m_options.orphanAgeSeconds));
        m_authenticator = std::make_unique<Authenticator>(*m_accounts);

        listeningSocket = listenOn(m_options.listenHost, m_options.listenPort, m_port);
        if (listeningSocket < 0)
            throw std::runtime_error("cannot listen on " + hostForUrl(m_options.listenHost) + ":" + std::to_string(m_options.listenPort)
                                     + " (in use, or not an address of this machine)");

        std::string publicUrl = m_options.publicUrl.empty() ? listeningUrl() : m_options.publicUrl;
        m_pages
            = std::make_unique<Pages>(Pages::Site{publicUrl, m_options.clientVersion, m_options.clientDownloadUrl, m_options.liteVersion});
        m_context = std::make_unique<ServiceContext>(
            ServiceContext{m_options, publicUrl, *m_accounts, *m_drops, *m_tokens, *m_authenticator, *m_pages, m_log});
        configure();
        std::optional<HttpServer::Tls> tls;
        if (m_options.tls())
            tls = HttpServer::Tls{readFile(m_options.tlsCertificate), readFile(m_options.tlsKey)};
        try {
            m_server->start(listeningSocket, tls ? &*tls : nullptr);
        } catch (const std::runtime_error& error) {
            if (tls)
                throw std::runtime_error("cannot use the TLS certificate " + m_options.tlsCertificate.string() + " with the key "
                                         + m_options.tlsKey.string());
            throw;
        }
        // The engine owns the socket now.
        listeningSocket = -1;
    } catch (...) {
        m_server.reset();
        if (listeningSocket >= 0)
            ::close(listeningSocket);
        ::close(m_lockFd);
        throw;
    }
}

void ServiceApp::openStorage()
{
    StorageUrl url;
    try {
        url = m_options.storageUrl();
    } catch (const StorageUrlError& error) {
        throw BackendUnavailable(std::string("cannot use the storage: ") + error.what());
    }
    if (url.kind != StorageUrl::Kind::S3)
        return;
    try {
        m_bucket = std::make_unique<S3Client>(S3Config{url.s3, S3Credentials::fromEnvironment()});
        m_objects = std::make_unique<DropObjects>(*m_bucket);
        m_objects->probe();
    } catch (const std::exception& error) {
        throw BackendUnavailable("cannot use the storage s3://" + url.s3.bucket + " at " + url.s3.endpoint + ": " + error.what());
    }
}

void ServiceApp::openDatabase()
{
    database::DatabaseUrl url;
    try {
        url = m_options.databaseUrl();
        m_database = url.open();
    } catch (const std::exception& error) {
        throw DatabaseUnavailable(std::string("cannot use the database: ") + error.what());
    }
    // A server before this one kept the secret in the data folder: taken over so that the tokens
    // it issued stay valid. Instances sharing a server share its secret alone.
    std::optional<std::filesystem::path> earlierSecret;
    if (url.engine == Database::Engine::Sqlite)
        earlierSecret = m_options.dataDirectory / "secret.key";
    m_tokens = std::make_unique<TokenSigner>(database::loadOrCreateSigningSecret(*m_database, earlierSecret));
}

ServiceApp::~ServiceApp()
{
    stop();
    // Destroying the server before the stores it calls into.
    m_server.reset();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::string ServiceApp::listeningUrl() const
{
    return std::string(m_options.tls() ? "https://" : "http://") + hostForUrl(m_options.listenHost) + ":" + std::to_string(m_port);
}

const std::string& ServiceApp::publicUrl() const
{
    return m_context->publicUrl;
}

std::vector<HealthMonitor::Probe> ServiceApp::healthProbes()
{
    return {
        {"database", [this] { m_database->reader().prepare("SELECT 1").step(); }},
        {"storage",
         [this] {
             if (m_objects)
                 m_objects->probe();
             else if (!m_drops->roomForUploads())
                 throw std::runtime_error("cannot read the folder " + m_drops->incomingDirectory().parent_path().string());
         }},
    };
}

void ServiceApp::configure()
{
    HttpServer::Limits limits;
    limits.bodyMinimumRate = m_options.bodyMinimumRate;
    limits.bodyWindow = std::chrono::seconds(m_options.bodyWindowSeconds);
    limits.shortBodyDeadline = std::chrono::seconds(m_options.shortBodyDeadlineSeconds);
    limits.engineThreads = std::max(1u, m_options.threads);
    fitConnectionsToDescriptors(limits, m_log, !m_options.trustedProxies.empty());
    m_server = std::make_unique<HttpServer>(limits, [this](const std::string& line) { m_log.note(line); });
    HttpServer& server = *m_server;
    server.setClientAddress(ClientAddress(m_options.trustedProxies));

    m_health = std::make_unique<HealthMonitor>(healthProbes(), m_log);
    m_health->install(server);
    m_api = std::make_unique<ApiRoutes>(*m_context);
    m_upload = std::make_unique<UploadRoute>(*m_context);
    m_dropRoutes = std::make_unique<DropRoutes>(*m_context);
    m_web = std::make_unique<WebRoutes>(*m_context);
    m_api->install(server);
    m_upload->install(server);
    m_dropRoutes->install(server);
    m_web->install(server);

    // Whatever else arrives is no endpoint, refused from its head (below).
    const auto noSuchEndpoint = [](const httplib::Request&, httplib::Response&, const httplib::ContentReader&) {};
    server.Post(".*", noSuchEndpoint);
    server.Put(".*", noSuchEndpoint);
    server.Patch(".*", noSuchEndpoint);
    server.Delete(".*", noSuchEndpoint);

    // Bodies are refused from their headers when they can be, before a byte of them is read: an
    // answer cannot be sent halfway through a body, and reading it all to answer is what a
    // hostile client wants.
    server.setEarlyAnswer([this](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "POST" && request.path == ApiRoutes::kAccountPath)
            return m_api->expectAccount(request, response);
        if (request.method == "POST" && request.path == WebRoutes::kDropListDeletePath)
            return WebRoutes::expectDropListDelete(request, response);
        if (request.method == "DELETE" && DropRoutes::isDropPath(request.path))
            return DropRoutes::expectDelete(request, response);
        refuseNoSuchEndpoint(response);
        return response.status;
    });
    server.setStatusPage([this](const httplib::Request& request, httplib::Response& response) { m_web->errorPage(request, response); });
    server.setFailure([this](const httplib::Request& request, httplib::Response& response, const std::string& what) {
        m_log.note("error in " + request.method + " " + request.path + ": " + what);
        reply::closeAfter(response);
        reply::error(response, 500, "Server.Internal", "The service failed to answer; please try again later");
    });
    server.setRefusal([](httplib::Response& response, int status, const std::string& code, const std::string& message) {
        reply::error(response, status, code, message);
    });
    server.setRequestFinished([this](const httplib::Request& request, const httplib::Response& response, std::chrono::milliseconds took) {
        m_log.finished(request, response, took);
    });
}

void ServiceApp::run()
{
    std::unique_lock lock(m_stateMutex);
    m_stopped.wait(lock, [this] { return m_stopRequested; });
    lock.unlock();
    m_server->stop();
}

void ServiceApp::stop()
{
    {
        std::lock_guard lock(m_stateMutex);
        m_stopRequested = true;
    }
    m_stopped.notify_all();
}
