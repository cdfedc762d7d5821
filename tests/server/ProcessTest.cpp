// The parcly-server executable as a user or a script runs it: it says where it listens, serves,
// keeps its data across restarts, speaks TLS when asked, and stops cleanly.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class ServerProcess {
public:
    // `descriptors`, when given, is the soft and hard RLIMIT_NOFILE it starts with (as prlimit would).
    explicit ServerProcess(const std::vector<std::string>& arguments, rlim_t descriptors = 0)
    {
        m_stderrFile = makeTemporaryFolder("server-stderr") / "stderr";
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> argv{PARCLY_SERVER_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            if (descriptors > 0) {
                const rlimit limit{descriptors, descriptors};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::dup2(pipeEnds[1], STDOUT_FILENO);
            if (std::FILE* err = std::fopen(m_stderrFile.c_str(), "w"))
                ::dup2(::fileno(err), STDERR_FILENO);
            std::vector<char*> raw;
            for (std::string& argument : argv)
                raw.push_back(argument.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        m_stdout = pipeEnds[0];
    }

    ~ServerProcess()
    {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_stdout);
    }

    // Everything written on standard output until a line ends, the stream ends, or time is up.
    std::string readLine(std::chrono::milliseconds timeout = 10s)
    {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (line.empty() || line.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd readable{m_stdout, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c;
            if (::read(m_stdout, &c, 1) != 1)
                break;
            line += c;
        }
        return line;
    }

    // The port from "parcly-server listening on http(s)://127.0.0.1:PORT", or 0.
    int listeningPort(const std::string& scheme = "http")
    {
        const std::string line = readLine();
        std::smatch match;
        const std::regex pattern("^parcly-server listening on " + scheme + "://127\\.0\\.0\\.1:([0-9]+)\n$");
        return std::regex_match(line, match, pattern) ? std::stoi(match[1]) : 0;
    }

    // The exit code, or -1 when it did not exit normally in time.
    int waitForExit(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    int stop(int signal = SIGTERM)
    {
        ::kill(m_pid, signal);
        return waitForExit();
    }

    pid_t pid() const { return m_pid; }

    std::string errorOutput() const
    {
        std::ifstream in(m_stderrFile);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    bool m_exited = false;
    std::filesystem::path m_stderrFile;
};

std::vector<std::string> arguments(const std::filesystem::path& data, std::vector<std::string> more = {})
{
    std::vector<std::string> all{"--listen", "127.0.0.1:0", "--data", data.string(), "--password-iterations", "1000"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

httplib::Client clientFor(int port)
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5s);
    client.set_read_timeout(10s);
    return client;
}

TEST(ServerProcess, ListensOnAFreePortServesAndStopsCleanlyOnSignals)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        ServerProcess server(arguments(makeTemporaryFolder("process") / "data"));
        const int port = server.listeningPort();
        ASSERT_GT(port, 0) << server.errorOutput();

        auto home = clientFor(port).Get("/");
        ASSERT_TRUE(home);
        EXPECT_EQ(home->status, 200);
        auto registered = clientFor(port).Post("/account", R"({"email":"p@parcly.test","password":"pw"})", "application/json");
        ASSERT_TRUE(registered);
        EXPECT_EQ(registered->status, 201);

        EXPECT_EQ(server.stop(signal), 0) << "signal " << signal << "\n" << server.errorOutput();
        EXPECT_NE(server.errorOutput().find("POST /account 201"), std::string::npos) << server.errorOutput();
    }
}

TEST(ServerProcess, AccountsAndDropsSurviveARestart)
{
    const auto data = makeTemporaryFolder("process") / "data";
    const httplib::Headers auth{{"Authorization", "Basic " + toBase64("keep@parcly.test:kept password")}};
    std::string code;
    {
        ServerProcess server(arguments(data));
        const int port = server.listeningPort();
        ASSERT_GT(port, 0) << server.errorOutput();
        auto registered
            = clientFor(port).Post("/account", R"({"email":"keep@parcly.test","password":"kept password"})", "application/json");
        ASSERT_TRUE(registered && registered->status == 201);
        httplib::Headers headers = auth;
        headers.emplace("x-parcly-filename", toBase64("kept.txt"));
        auto created = clientFor(port).Post("/files", headers, "still here", "text/plain");
        ASSERT_TRUE(created && created->status == 201);
        code = jsonObject(created->body).value("code").toString().toStdString();
        ASSERT_EQ(server.stop(), 0);
    }
    ServerProcess restarted(arguments(data));
    const int port = restarted.listeningPort();
    ASSERT_GT(port, 0) << restarted.errorOutput();
    auto me = clientFor(port).Get("/users/me", auth);
    ASSERT_TRUE(me);
    EXPECT_EQ(me->status, 200);
    EXPECT_EQ(jsonObject(me->body).value("activeDrops").toInt(), 1);
    auto raw = clientFor(port).Get("/" + code + "/raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->body, "still here");
    EXPECT_EQ(restarted.stop(), 0);
}

// A self-signed certificate for 127.0.0.1, written as PEM files into `folder`.
void writeCertificate(const std::filesystem::path& folder)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    ASSERT_NE(key, nullptr);
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* alternativeName = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(certificate, alternativeName, -1);
    X509_EXTENSION_free(alternativeName);
    ASSERT_GT(X509_sign(certificate, key, EVP_sha256()), 0);

    std::FILE* certificateFile = std::fopen((folder / "cert.pem").c_str(), "w");
    std::FILE* keyFile = std::fopen((folder / "key.pem").c_str(), "w");
    ASSERT_TRUE(certificateFile && keyFile);
    PEM_write_X509(certificateFile, certificate);
    PEM_write_PrivateKey(keyFile, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(certificateFile);
    std::fclose(keyFile);
    X509_free(certificate);
    EVP_PKEY_free(key);
}

TEST(ServerProcess, ServesHttpsWithTheGivenCertificate)
{
    const auto folder = makeTemporaryFolder("tls");
    writeCertificate(folder);
    ServerProcess server(
        arguments(folder / "data", {"--tls-cert", (folder / "cert.pem").string(), "--tls-key", (folder / "key.pem").string()}));
    const int port = server.listeningPort("https");
    ASSERT_GT(port, 0) << server.errorOutput();

    httplib::SSLClient client("127.0.0.1", port);
    client.set_ca_cert_path((folder / "cert.pem").c_str());
    client.enable_server_certificate_verification(true);
    client.set_connection_timeout(5s);
    auto registered = client.Post("/account", R"({"email":"tls@parcly.test","password":"pw"})", "application/json");
    ASSERT_TRUE(registered) << httplib::to_string(registered.error());
    EXPECT_EQ(registered->status, 201);
    httplib::Headers headers{{"Authorization", "Basic " + toBase64("tls@parcly.test:pw")}, {"x-parcly-filename", toBase64("s.txt")}};
    auto created = client.Post("/files", headers, "secret", "text/plain");
    ASSERT_TRUE(created);
    EXPECT_EQ(jsonObject(created->body).value("shortlink").toString().toStdString().rfind("https://127.0.0.1:", 0), 0u);

    // Plain http on the same port gets nowhere.
    EXPECT_FALSE(clientFor(port).Get("/"));
    EXPECT_EQ(server.stop(), 0);
}

TEST(ServerProcess, MistakesAndConflictsFailWithAMessage)
{
    {
        ServerProcess help({"--help"});
        EXPECT_EQ(help.readLine().rfind("Usage: parcly-server", 0), 0u);
        EXPECT_EQ(help.waitForExit(), 0);
    }
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{{"--bogus"},
                                                                                       {"--listen", "nonsense"},
                                                                                       {"--listen", "127.0.0.1:70000"},
                                                                                       {"--max-upload-bytes", "-5"},
                                                                                       {"--max-expiry", "0"},
                                                                                       {"--max-expiry", "1h"},
                                                                                       {"--public-url", "ftp://x"},
                                                                                       {"--tls-cert", "/nowhere.pem"},
                                                                                       {"--data"}}) {
        ServerProcess server(wrong);
        EXPECT_EQ(server.waitForExit(), 2) << wrong.front();
        EXPECT_NE(server.errorOutput().find("parcly-server: "), std::string::npos) << wrong.front();
    }

    const auto data = makeTemporaryFolder("conflict") / "data";
    ServerProcess first(arguments(data));
    const int port = first.listeningPort();
    ASSERT_GT(port, 0) << first.errorOutput();

    ServerProcess sameFolder(arguments(data));
    EXPECT_EQ(sameFolder.waitForExit(), 1);
    EXPECT_NE(sameFolder.errorOutput().find("another parcly-server is using"), std::string::npos) << sameFolder.errorOutput();

    ServerProcess samePort({"--listen", "127.0.0.1:" + std::to_string(port), "--data", (data.parent_path() / "other").string()});
    EXPECT_EQ(samePort.waitForExit(), 1);
    EXPECT_NE(samePort.errorOutput().find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << samePort.errorOutput();

    EXPECT_EQ(first.stop(), 0);
}

// User and system CPU time of a process so far, from /proc.
std::chrono::duration<double> cpuTime(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat(std::istreambuf_iterator<char>(in), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            ticks += std::stol(field);
    }
    return std::chrono::duration<double>(static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)));
}

TEST(ServerProcess, AtTheDefaultDescriptorLimitManySlowClientsNeitherSpinNorFloodTheLog)
{
    // This test holds over a thousand sockets itself.
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 2048)
        GTEST_SKIP() << "the hard descriptor limit (" << own.rlim_max << ") is too low for 1,100 connections";
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);

    ServerProcess server(arguments(makeTemporaryFolder("descriptors")), 1024);
    const int port = server.listeningPort();
    ASSERT_GT(port, 0) << server.errorOutput();
    EXPECT_NE(server.errorOutput().find("descriptors: limit 1024, at most 480 connections, 120 per address"), std::string::npos)
        << server.errorOutput();

    // Slow bodies from eleven addresses, more than the connection cap allows.
    std::vector<std::unique_ptr<RawConnection>> slow;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 1100 && std::chrono::steady_clock::now() - started < 30s; ++i) {
        slow.push_back(std::make_unique<RawConnection>(port, "127.0.0." + std::to_string(2 + i % 11)));
        slow.back()->send("POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                          "Content-Length: 1000\r\n\r\n{");
    }
    EXPECT_EQ(slow.size(), 1100u);
    const auto before = cpuTime(server.pid());
    std::this_thread::sleep_for(5s);
    const double share = (cpuTime(server.pid()) - before).count() / 5.0;
    EXPECT_LT(share, 0.20) << "the server spent " << share * 100 << " % of a core with nothing to do";
    // The clients leave; an ordinary one is served again.
    slow.clear();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        auto home = clientFor(port).Get("/");
        served = home && home->status == 200;
        if (!served)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(server.stop(), 0);
    const std::string log = server.errorOutput();
    EXPECT_LT(log.size(), 1024u * 1024u);
    EXPECT_EQ(log.find("\n\n"), std::string::npos) << "no blank lines";
    EXPECT_EQ(log.find("Too many open files"), std::string::npos) << log.substr(0, 2000);
}

} // namespace
