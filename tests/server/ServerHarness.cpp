#include "ServerHarness.h"

#include "PostgresServer.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

std::filesystem::path makeTemporaryFolder(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

ServerOptions testOptions(const std::filesystem::path& dataDirectory)
{
    ServerOptions options;
    options.listenHost = "127.0.0.1";
    options.listenPort = 0;
    options.dataDirectory = dataDirectory;
    options.passwordIterations = PasswordHasher::kMinimumIterations;
    options.threads = 8;
    return options;
}

RunningService::RunningService(std::function<void(ServerOptions&)> adjust)
    : RunningService(makeTemporaryFolder("service") / "data", std::move(adjust))
{
}

// With PARCLY_TEST_SERVER_DATABASE=postgresql the services keep their records on a PostgreSQL of
// the test program's: one database per data folder, so a restarted service finds its records.
static bool onPostgresql()
{
    const char* engine = std::getenv("PARCLY_TEST_SERVER_DATABASE");
    return engine && std::string_view(engine) == "postgresql";
}

// Without a PostgreSQL to start, every case of the run is skipped with the reason.
class TestDatabaseCheck : public testing::Environment {
public:
    void SetUp() override
    {
        std::string whyNot;
        if (onPostgresql() && !PostgresServer::get(whyNot))
            GTEST_SKIP() << "PARCLY_TEST_SERVER_DATABASE=postgresql: " << whyNot;
    }
};
[[maybe_unused]] static testing::Environment* const kTestDatabaseCheck = testing::AddGlobalTestEnvironment(new TestDatabaseCheck);

static void useTestDatabase(ServerOptions& options)
{
    if (!onPostgresql() || !options.database.empty())
        return;
    static std::mutex mutex;
    static std::map<std::filesystem::path, std::string> databases;
    std::lock_guard lock(mutex);
    std::string& url = databases[options.dataDirectory];
    if (url.empty()) {
        std::string whyNot;
        PostgresServer* server = PostgresServer::get(whyNot);
        if (!server)
            throw std::runtime_error("PARCLY_TEST_SERVER_DATABASE=postgresql, but " + whyNot);
        url = server->createDatabase();
    }
    options.database = url;
}

RunningService::RunningService(const std::filesystem::path& dataDirectory, std::function<void(ServerOptions&)> adjust)
    : m_dataDirectory(dataDirectory)
{
    ServerOptions options = testOptions(dataDirectory);
    if (adjust)
        adjust(options);
    useTestDatabase(options);
    m_app = std::make_unique<ServiceApp>(options, [this](std::string_view line) {
        std::lock_guard lock(m_logMutex);
        m_log.emplace_back(line);
    });
    m_thread = std::thread([this] { m_app->run(); });
}

RunningService::~RunningService()
{
    m_app->stop();
    m_thread.join();
}

httplib::Client RunningService::client() const
{
    httplib::Client client("127.0.0.1", port());
    client.set_connection_timeout(std::chrono::seconds(5));
    client.set_read_timeout(std::chrono::seconds(10));
    return client;
}

std::vector<std::string> RunningService::logLines() const
{
    std::lock_guard lock(m_logMutex);
    return m_log;
}

bool RunningService::waitForLogLine(const std::string& part, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const std::string& line : logLines()) {
            if (line.find(part) != std::string::npos)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

Credentials registerAccount(const RunningService& service, const std::string& email, const std::string& password)
{
    static std::atomic<int> counter = 0;
    Credentials credentials{email.empty() ? "user" + std::to_string(++counter) + "@parcly.test" : email, password};
    const std::string body = QJsonDocument(QJsonObject{{"email", QString::fromStdString(credentials.email)},
                                                       {"password", QString::fromStdString(credentials.password)}})
                                 .toJson(QJsonDocument::Compact)
                                 .toStdString();
    auto result = service.client().Post("/account", body, "application/json");
    EXPECT_TRUE(result && result->status == 201) << "registering " << credentials.email;
    return credentials;
}

httplib::Headers basicAuthorization(const Credentials& credentials)
{
    return {{"Authorization", "Basic " + toBase64(credentials.email + ":" + credentials.password)}};
}

httplib::Result upload(const RunningService& service, const Credentials& credentials, const UploadRequest& request)
{
    httplib::Headers headers = basicAuthorization(credentials);
    headers.emplace("x-parcly-filename", toBase64(request.name));
    return service.client().Post(("/files" + request.query).c_str(), headers, request.bytes, request.contentType.c_str());
}

QJsonObject jsonObject(const std::string& body)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

std::string toBase64(const std::string& bytes)
{
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

std::vector<std::string> filesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    return names;
}

bool takesDirectIo(const std::filesystem::path& folder)
{
    const auto probe = folder / ".direct-io-probe";
    const int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

RawConnection::RawConnection(int port, const std::string& from)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && !from.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1
            || ::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
            throw std::runtime_error("cannot bind to " + from);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to the test server");
}

RawConnection::~RawConnection()
{
    close();
}

bool RawConnection::send(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string RawConnection::receive(const std::string& until, std::chrono::milliseconds timeout)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.find(until) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd readable{m_fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

bool RawConnection::closedByPeer(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{m_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        if (::recv(m_fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
}

void RawConnection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::string responseHead(int port, const std::string& path)
{
    RawConnection connection(port);
    connection.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::string response = connection.receive("\r\n\r\n");
    return response.substr(0, response.find("\r\n\r\n") + 2);
}
