#include "server/ServiceApp.h"

#include "server/AccountStore.h"
#include "server/ApiRoutes.h"
#include "server/Authenticator.h"
#include "server/Database.h"
#include "server/DropStore.h"
#include "server/Pages.h"
#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/ServiceContext.h"
#include "server/TokenSigner.h"
#include "server/UploadRoute.h"
#include "server/WebRoutes.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kMaximumIgnoredBody = 64 * 1024;

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string hostForUrl(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Only SO_REUSEADDR: httplib's default also sets SO_REUSEPORT, which would let a second server
// bind the same port and silently take half of the requests.
void socketOptions(int socket)
{
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

} // namespace

ServiceApp::ServiceApp(ServerOptions options, RequestLog::Sink logSink)
    : m_options(std::move(options)), m_log(std::move(logSink))
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

    try {
        m_tokens = std::make_unique<TokenSigner>(TokenSigner::loadOrCreateSecret(data / "secret.key"));
        m_database = std::make_unique<Database>(data / "parcly.db");
        m_accounts = std::make_unique<AccountStore>(*m_database, PasswordHasher(m_options.passwordIterations));
        m_drops = std::make_unique<DropStore>(*m_database, data);
        m_authenticator = std::make_unique<Authenticator>(*m_accounts);

        if (m_options.tls()) {
            m_server = std::make_unique<httplib::SSLServer>(m_options.tlsCertificate.c_str(), m_options.tlsKey.c_str());
            if (!m_server->is_valid())
                throw std::runtime_error("cannot use the TLS certificate " + m_options.tlsCertificate.string() + " with the key " +
                                         m_options.tlsKey.string());
        } else {
            m_server = std::make_unique<httplib::Server>();
        }
        m_server->set_socket_options(socketOptions);
        const std::string& host = m_options.listenHost;
        if (m_options.listenPort == 0)
            m_port = m_server->bind_to_any_port(host);
        else
            m_port = m_server->bind_to_port(host, m_options.listenPort) ? m_options.listenPort : -1;
        if (m_port <= 0)
            throw std::runtime_error("cannot listen on " + hostForUrl(host) + ":" + std::to_string(m_options.listenPort) +
                                     " (in use, or not an address of this machine)");

        std::string publicUrl = m_options.publicUrl.empty() ? listeningUrl() : m_options.publicUrl;
        m_pages = std::make_unique<Pages>(Pages::Site{publicUrl, m_options.clientVersion, m_options.clientDownloadUrl});
        m_context = std::make_unique<ServiceContext>(ServiceContext{m_options, publicUrl, *m_accounts, *m_drops, *m_tokens,
                                                                    *m_authenticator, *m_pages, m_log});
        configure();
    } catch (...) {
        ::close(m_lockFd);
        throw;
    }
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

void ServiceApp::configure()
{
    httplib::Server& server = *m_server;
    const unsigned threads = m_options.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Slow links pause; a stalled client still frees its thread in time.
    server.set_read_timeout(30);
    server.set_write_timeout(30);
    server.set_keep_alive_timeout(5);
    // Bodies are read through content readers with their own limits; this stops httplib itself
    // from buffering an oversized body for a route that has none.
    server.set_payload_max_length(static_cast<size_t>(m_options.maxUploadBytes));

    m_api = std::make_unique<ApiRoutes>(*m_context);
    m_upload = std::make_unique<UploadRoute>(*m_context);
    m_web = std::make_unique<WebRoutes>(*m_context);
    m_api->install(server);
    m_upload->install(server);
    m_web->install(server);

    // Whatever else arrives with a body: a short answer, without buffering the body.
    const auto noSuchEndpoint = [](const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
        if (!body::discard(request, reader, kMaximumIgnoredBody))
            reply::closeAfter(response);
        reply::error(response, 404, "Request.NoSuchEndpoint", "There is no such endpoint");
    };
    server.Post(".*", noSuchEndpoint);
    server.Put(".*", noSuchEndpoint);
    server.Patch(".*", noSuchEndpoint);
    server.Delete(".*", noSuchEndpoint);

    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        m_log.started(request);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_expect_100_continue_handler([this](const httplib::Request& request, httplib::Response& response) {
        m_log.started(request);
        if (request.method == "POST" && request.path == UploadRoute::kPath)
            return m_upload->expectContinue(request, response);
        return 100;
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& request, httplib::Response& response) {
        return m_web->errorPage(request, response);
    }));
    server.set_exception_handler([this](const httplib::Request& request, httplib::Response& response, std::exception_ptr failure) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
        }
        m_log.note("error in " + request.method + " " + request.path + ": " + what);
        reply::closeAfter(response);
        reply::error(response, 500, "Server.Internal", "The service failed to answer; please try again later");
    });
    server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        m_log.finished(request, response);
    });
}

void ServiceApp::run()
{
    {
        std::lock_guard lock(m_stateMutex);
        if (m_stopRequested)
            return;
        m_runEntered = true;
    }
    m_server->listen_after_bind();
    m_runReturned = true;
}

void ServiceApp::stop()
{
    {
        std::lock_guard lock(m_stateMutex);
        m_stopRequested = true;
        if (!m_runEntered)
            return;
    }
    // httplib ignores stop() until its accept loop has started.
    while (!m_server->is_running() && !m_runReturned)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->stop();
}
