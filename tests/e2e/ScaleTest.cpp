// The service beyond one machine, as an operator runs it: two parcly-server processes with data
// folders of their own on one PostgreSQL and one bucket, behind haproxy; the command line and
// plain HTTP through the balancer; an instance killed mid-upload; and a SQLite service moved onto
// those backends with `parcly-server migrate`. PostgreSQL, the gateway and haproxy start once.
#include "CephGateway.h"
#include "LoadBalancer.h"
#include "PostgresServer.h"
#include "ServerHarness.h"

#include "platform/Defaults.h"
#include "server/storage/S3Client.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr const char* kBucket = "parcly-scale";

class Sha256 {
public:
    Sha256()
        : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free)
    {
        EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
    }
    void add(const char* data, size_t size) { EVP_DigestUpdate(m_context.get(), data, size); }
    std::string hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_DigestFinal_ex(m_context.get(), digest, &length);
        static const char* digits = "0123456789abcdef";
        std::string text;
        for (unsigned i = 0; i < length; ++i) {
            text += digits[digest[i] >> 4];
            text += digits[digest[i] & 15];
        }
        return text;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_context;
};

// Bytes that neither compress nor repeat within a part, the same for the same seed.
class PatternBytes {
public:
    explicit PatternBytes(std::uint64_t seed)
        : m_state(seed * 0x9E3779B97F4A7C15ull + 1)
    {
    }
    void fill(char* data, size_t size)
    {
        for (size_t i = 0; i < size; i += 8) {
            m_state ^= m_state << 13;
            m_state ^= m_state >> 7;
            m_state ^= m_state << 17;
            std::memcpy(data + i, &m_state, std::min<size_t>(8, size - i));
        }
    }
    std::string take(size_t size)
    {
        std::string bytes(size, '\0');
        fill(bytes.data(), size);
        return bytes;
    }

private:
    std::uint64_t m_state;
};

// Writes `size` pattern bytes to `path` a MiB at a time; their SHA-256.
std::string writePatternFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed)
{
    PatternBytes pattern(seed);
    Sha256 digest;
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(MiB);
    for (std::uint64_t written = 0; written < size; written += block.size()) {
        const size_t count = static_cast<size_t>(std::min<std::uint64_t>(block.size(), size - written));
        pattern.fill(block.data(), count);
        digest.add(block.data(), count);
        out.write(block.data(), static_cast<std::streamsize>(count));
    }
    EXPECT_TRUE(out.good()) << "cannot write " << path;
    return digest.hex();
}

std::string readAt(const std::filesystem::path& path, std::uint64_t offset, size_t length)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// The status and the SHA-256 of what GET `path` answered, never holding the body.
std::pair<int, std::string> digestOf(httplib::Client& client, const std::string& path)
{
    Sha256 digest;
    const auto result = client.Get(path, [&digest](const char* data, size_t size) {
        digest.add(data, size);
        return true;
    });
    return {result ? result->status : 0, digest.hex()};
}

httplib::Client clientFor(const std::string& url)
{
    httplib::Client client(url);
    client.set_connection_timeout(10s);
    client.set_read_timeout(60s);
    return client;
}

std::string fileText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One parcly-server process. Its output goes to files, so a busy log never blocks it on a pipe
// nobody drains.
class ServerInstance {
public:
    explicit ServerInstance(const QStringList& arguments)
        : m_folder(makeTemporaryFolder("instance-output"))
    {
        m_process.setStandardOutputFile(QString::fromStdString((m_folder / "stdout").string()));
        m_process.setStandardErrorFile(QString::fromStdString((m_folder / "stderr").string()));
        m_process.start(QStringLiteral(PARCLY_SERVER_PATH), arguments);
        const std::regex banner("parcly-server listening on (http://127\\.0\\.0\\.1:([0-9]+))\n");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline && m_process.state() != QProcess::NotRunning) {
            std::smatch match;
            const std::string printed = fileText(m_folder / "stdout");
            if (std::regex_search(printed, match, banner)) {
                m_url = match[1];
                m_port = std::stoi(match[2]);
                return;
            }
            m_process.waitForFinished(20);
        }
    }
    ~ServerInstance()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    bool listening() const { return m_port > 0; }
    int port() const { return m_port; }
    httplib::Client client() const { return clientFor(m_url); }
    std::string log() const { return fileText(m_folder / "stderr"); }

    bool waitForLog(const std::string& part, std::chrono::milliseconds timeout = 30s) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (log().find(part) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    size_t timesLogged(const std::string& part) const
    {
        const std::string text = log();
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    // As the machine going away would: no chance to finish or clean up anything.
    void killHard()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

private:
    std::filesystem::path m_folder;
    QProcess m_process;
    std::string m_url;
    int m_port = 0;
};

Credentials registerAt(const std::string& url, const std::string& email)
{
    const Credentials credentials{email, "scale pass " + email};
    const std::string body = QJsonDocument(QJsonObject{{"email", QString::fromStdString(credentials.email)},
                                                       {"password", QString::fromStdString(credentials.password)}})
                                 .toJson(QJsonDocument::Compact)
                                 .toStdString();
    const auto result = clientFor(url).Post("/account", body, "application/json");
    EXPECT_TRUE(result && result->status == 201) << "registering " << email << " at " << url;
    return credentials;
}

// The code of a drop uploaded to `url`, or empty.
std::string uploadTo(const std::string& url, const Credentials& account, const std::string& bytes, const std::string& name,
                     const std::string& query = {})
{
    httplib::Headers headers = basicAuthorization(account);
    headers.emplace("x-parcly-filename", toBase64(name));
    const auto result = clientFor(url).Post("/files" + query, headers, bytes, "application/octet-stream");
    EXPECT_TRUE(result && result->status == 201) << name << ": " << (result ? result->body : httplib::to_string(result.error()));
    return result && result->status == 201 ? jsonObject(result->body).value("code").toString().toStdString() : std::string();
}

// What an account sees of its drops on one server: the count it is told and the codes listed.
std::pair<qint64, std::set<std::string>> accountView(const std::string& url, const Credentials& account)
{
    httplib::Client client = clientFor(url);
    const auto me = client.Get("/users/me", basicAuthorization(account));
    const auto list = client.Get("/drops?limit=100", basicAuthorization(account));
    EXPECT_TRUE(me && me->status == 200 && list && list->status == 200) << url;
    std::set<std::string> codes;
    if (list) {
        for (const QJsonValue& drop : jsonObject(list->body).value("drops").toArray())
            codes.insert(drop.toObject().value("code").toString().toStdString());
    }
    return {me ? jsonObject(me->body).value("activeDrops").toInteger(-1) : -1, codes};
}

// GET /users/me sent from another loopback address (a client elsewhere), with an X-Forwarded-For
// of its own when given: the status line's code and the answer's head.
std::pair<int, std::string> signInFrom(int port, const std::string& address, const Credentials& account,
                                       const std::string& forwardedFor = {})
{
    RawConnection connection(port, address);
    connection.send("GET /users/me HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + basicAuthorization(account).begin()->second
                    + (forwardedFor.empty() ? "" : "\r\nX-Forwarded-For: " + forwardedFor) + "\r\nConnection: close\r\n\r\n");
    const std::string head = connection.receive("\r\n\r\n");
    const int status = head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
    return {status, head};
}

class ScaleTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string whyNot;
        s_postgres = PostgresServer::get(whyNot);
        if (!s_postgres) {
            s_skip = "no PostgreSQL 15 to start: " + whyNot;
            return;
        }
        s_gateway = new CephGateway::Outcome(CephGateway::start(PARCLY_CEPH_S3_SCRIPT));
        if (!s_gateway->gateway) {
            (s_gateway->packagesMissing ? s_skip : s_failure) = "Ceph's RADOS Gateway: " + s_gateway->why;
            return;
        }
        ::setenv("AWS_ACCESS_KEY_ID", s_gateway->gateway->accessKey.c_str(), 1);
        ::setenv("AWS_SECRET_ACCESS_KEY", s_gateway->gateway->secretKey.c_str(), 1);
        try {
            bucket("pair").createBucket();
        } catch (const std::exception& error) {
            s_failure = std::string("cannot make the test bucket: ") + error.what();
            return;
        }
        s_database = s_postgres->createDatabase();
        s_folder = makeTemporaryFolder("scale");
        for (int& port : s_ports)
            port = LoadBalancer::freePort();
        s_balancer = new LoadBalancer::Outcome(LoadBalancer::start({s_ports[0], s_ports[1]}));
        if (!s_balancer->balancer) {
            (s_balancer->missing ? s_skip : s_failure) = s_balancer->why;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            startInstance(i);
            if (!s_instances[i]->listening()) {
                s_failure = "instance " + std::to_string(i) + " did not start: " + s_instances[i]->log();
                return;
            }
        }
    }
    static void TearDownTestSuite()
    {
        for (auto& instance : s_instances)
            instance.reset();
        delete s_balancer;
        delete s_gateway;
    }
    void SetUp() override
    {
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
        ASSERT_TRUE(s_failure.empty()) << s_failure;
    }

    static S3Client bucket(const std::string& prefix)
    {
        const CephGateway& gateway = *s_gateway->gateway;
        S3Config config;
        config.location = {kBucket, prefix, gateway.endpoint, gateway.region, true};
        config.credentials = {gateway.accessKey, gateway.secretKey, {}};
        return S3Client(config);
    }
    static std::string storageUrl(const std::string& prefix)
    {
        const CephGateway& gateway = *s_gateway->gateway;
        return std::string("s3://") + kBucket + "/" + prefix + "?endpoint=" + gateway.endpoint + "&region=" + gateway.region
            + "&path-style=1";
    }
    static std::string balancerUrl() { return s_balancer->balancer->url(); }
    static ServerInstance& instance(int i) { return *s_instances[i]; }
    static std::string instanceUrl(int i) { return "http://127.0.0.1:" + std::to_string(s_ports[i]); }

    // Instance `i` on its own port and data folder, the shared database and bucket, short links
    // naming the balancer, whose connections carry the client's address. A running one is
    // stopped first.
    static void startInstance(int i, const QStringList& more = {})
    {
        s_instances[i].reset();
        const std::filesystem::path data = s_folder / ("instance" + std::to_string(i));
        s_instances[i] = std::make_unique<ServerInstance>(
            QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(s_ports[i]), "--data", QString::fromStdString(data.string()),
                        "--database", QString::fromStdString(s_database), "--storage", QString::fromStdString(storageUrl("pair")),
                        "--public-url", QString::fromStdString(balancerUrl()), "--trusted-proxy", "127.0.0.1", "--password-iterations",
                        "1000"}
            + more);
    }

    // The storage keys of the shared database's live drops.
    static std::set<std::string> liveStorageKeys()
    {
        const auto database = database::DatabaseUrl::parse(s_database).value().open();
        auto session = database->reader();
        auto query = session.prepare("SELECT storage_key FROM drops WHERE deleted_at IS NULL AND storage_key IS NOT NULL");
        std::set<std::string> keys;
        while (query.step())
            keys.insert(query.text(0));
        return keys;
    }
    static std::set<std::string> objectKeys(S3Client& client)
    {
        std::set<std::string> keys;
        std::optional<std::string> after;
        do {
            auto page = client.listObjects("drops/", after);
            for (const auto& object : page.objects)
                keys.insert(object.key);
            after = page.next;
        } while (after);
        return keys;
    }

    static inline PostgresServer* s_postgres = nullptr;
    static inline CephGateway::Outcome* s_gateway = nullptr;
    static inline LoadBalancer::Outcome* s_balancer = nullptr;
    static inline std::string s_database;
    static inline std::filesystem::path s_folder;
    static inline std::array<int, 2> s_ports{};
    static inline std::array<std::unique_ptr<ServerInstance>, 2> s_instances;
    static inline std::string s_skip;
    static inline std::string s_failure;
};

// The `parcly` command with a home of its own, talking to `serviceUrl`.
class CommandLine {
public:
    explicit CommandLine(const std::string& serviceUrl)
    {
        QDir().mkpath(m_home.path() + QStringLiteral("/tmp"));
        Defaults store(m_home.path() + QStringLiteral("/.config/parcly/Parcly Lite.conf"));
        store.setValue(QStringLiteral("parcly-api-url"), QString::fromStdString(serviceUrl));
        store.synchronize();
    }

    struct Run {
        int status = -1;
        QString out;
        std::string errors;
    };
    Run run(const QStringList& arguments, int timeoutMs = 60000)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("TMPDIR"), m_home.path() + QStringLiteral("/tmp"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(PARCLY_CLI_PATH), arguments);
        Run run;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            run.errors = "parcly " + arguments.join(' ').toStdString() + " did not end";
            return run;
        }
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
        run.errors = process.readAllStandardError().toStdString();
        return run;
    }

private:
    QTemporaryDir m_home;
};

std::string codeOf(const QString& shortlink)
{
    return QUrl(shortlink).path().mid(1).toStdString();
}

TEST_F(ScaleTest, TheCommandLinesFlowsWorkThroughTheBalancerWhicheverInstanceServes)
{
    const std::filesystem::path files = makeTemporaryFolder("scale-files");
    const std::filesystem::path small = files / "small.bin";
    const std::filesystem::path big = files / "big.bin";
    const std::uint64_t bigSize = 256 * MiB;
    const std::string smallDigest = writePatternFile(small, MiB, 1);
    const std::string bigDigest = writePatternFile(big, bigSize, 2);
    CommandLine parcly(balancerUrl());
    const auto uploadsLogged = [] { return instance(0).timesLogged(" POST /files 201 ") + instance(1).timesLogged(" POST /files 201 "); };
    const size_t uploadsBefore = uploadsLogged();

    // The first upload registers an account; the token one instance signs, the other accepts.
    const auto first = parcly.run({"upload", QString::fromStdString(small.string())});
    ASSERT_EQ(first.status, 0) << first.errors;
    const auto second = parcly.run({"upload", QString::fromStdString(big.string())}, 300000);
    ASSERT_EQ(second.status, 0) << second.errors;
    for (const QString& link : {first.out, second.out})
        EXPECT_TRUE(link.startsWith(QString::fromStdString(balancerUrl() + "/"))) << link.toStdString();
    const std::string smallCode = codeOf(first.out);
    const std::string bigCode = codeOf(second.out);

    const auto count = parcly.run({"drops"});
    EXPECT_EQ(count.status, 0) << count.errors;
    EXPECT_EQ(count.out, "2");
    const auto list = parcly.run({"drops", "list"});
    ASSERT_EQ(list.status, 0) << list.errors;
    const QStringList lines = list.out.split('\n');
    ASSERT_EQ(lines.size(), 2) << list.out.toStdString();
    EXPECT_EQ(lines[0].split('\t').value(0).toStdString(), bigCode);
    EXPECT_EQ(lines[0].split('\t').value(3), "big.bin");
    EXPECT_EQ(lines[0].split('\t').value(4), second.out);
    EXPECT_EQ(lines[1].split('\t').value(0).toStdString(), smallCode);

    // Pages and bytes from whichever instance the balancer picks: each is asked twice.
    httplib::Client web = clientFor(balancerUrl());
    for (int round = 0; round < 2; ++round) {
        const auto page = web.Get("/" + bigCode);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_NE(page->body.find("big.bin"), std::string::npos);
        EXPECT_EQ(digestOf(web, "/" + smallCode + "/raw"), std::make_pair(200, smallDigest));
        EXPECT_EQ(digestOf(web, "/" + bigCode + "/raw"), std::make_pair(200, bigDigest));
    }
    // Ranges at the start, across the bucket's 16 MiB part boundary, deep inside, and at the end.
    const std::pair<std::uint64_t, std::uint64_t> ranges[]
        = {{0, 99}, {16 * MiB - 50, 16 * MiB + 49}, {200 * MiB + 7, 200 * MiB + 70006}, {bigSize - 100, bigSize - 1}};
    for (const auto& [from, to] : ranges) {
        for (int round = 0; round < 2; ++round) {
            const auto part = web.Get("/" + bigCode + "/raw", {{"Range", "bytes=" + std::to_string(from) + "-" + std::to_string(to)}});
            ASSERT_TRUE(part);
            EXPECT_EQ(part->status, 206);
            EXPECT_TRUE(part->body == readAt(big, from, static_cast<size_t>(to - from + 1))) << from << "-" << to;
        }
    }
    // Only one instance received the big upload; both served its bytes.
    EXPECT_EQ(uploadsLogged() - uploadsBefore, 2u);
    for (int i = 0; i < 2; ++i)
        EXPECT_GE(instance(i).timesLogged(" GET /" + bigCode + "/raw 206 "), 1u) << "instance " << i;

    const auto removal = parcly.run({"delete", QString::fromStdString(smallCode)});
    EXPECT_EQ(removal.status, 0) << removal.errors;
    for (int round = 0; round < 2; ++round) {
        const auto gone = web.Get("/" + smallCode + "/raw");
        ASSERT_TRUE(gone);
        EXPECT_EQ(gone->status, 410);
    }
    const auto left = parcly.run({"drops"});
    EXPECT_EQ(left.out, "1") << left.errors;
    EXPECT_EQ(digestOf(web, "/" + bigCode + "/raw"), std::make_pair(200, bigDigest));
}

// Guesses from one client, spread over both instances by the balancer, are counted in the shared
// database: each instance saw only five, and still both refuse the eleventh. The client is the
// address the balancer forwards, not the balancer: another client is not locked out.
TEST_F(ScaleTest, WrongPasswordsAreLimitedPerClientAcrossInstancesBehindTheBalancer)
{
    const Credentials owner = registerAt(balancerUrl(), "throttled@parcly.test");
    const Credentials stranger = registerAt(balancerUrl(), "stranger@parcly.test");
    const Credentials bystander = registerAt(balancerUrl(), "bystander@parcly.test");
    const Credentials guess{owner.email, "not the password"};
    const int balancer = s_balancer->balancer->port();
    const int a = s_ports[0];
    const int b = s_ports[1];
    // The owner signs in once, on the first instance, from their own address.
    EXPECT_EQ(signInFrom(a, "127.0.0.3", owner).first, 200);

    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(signInFrom(balancer, "127.0.0.2", guess).first, 401) << "guess " << i;
    for (int i = 0; i < 2; ++i) {
        EXPECT_GE(instance(i).timesLogged(" 127.0.0.2 GET /users/me 401 "), 1u) << "instance " << i;
        const auto [status, head] = signInFrom(balancer, "127.0.0.2", guess);
        EXPECT_EQ(status, 429) << head;
        EXPECT_NE(QString::fromStdString(head).toLower().indexOf("\r\nretry-after: "), -1) << head;
        EXPECT_EQ(signInFrom(balancer, "127.0.0.5", bystander).first, 200) << "a client that never guessed";
    }
    // An address the guessing client writes itself is not believed, through the balancer or not.
    EXPECT_EQ(signInFrom(balancer, "127.0.0.2", stranger, "203.0.113.9").first, 429);
    EXPECT_EQ(signInFrom(a, "127.0.0.2", stranger, "203.0.113.9").first, 429);

    // The second instance never checked the owner's password, so each of these is weighed: from
    // the guessing address, and from one the owner never used, the account is slowed down too...
    EXPECT_EQ(signInFrom(b, "127.0.0.2", owner).first, 429);
    EXPECT_EQ(signInFrom(b, "127.0.0.4", owner).first, 429);
    // ...but not from where the owner signed in before, which the first instance recorded.
    EXPECT_EQ(signInFrom(b, "127.0.0.3", owner).first, 200);
    EXPECT_EQ(signInFrom(a, "127.0.0.3", owner).first, 200);
}

TEST_F(ScaleTest, AnInstanceKilledMidUploadLosesNoConfirmedDropAndItsRestartSweepsWhatItLeft)
{
    const Credentials account = registerAt(balancerUrl(), "survivor@parcly.test");
    PatternBytes pattern(3);
    std::map<std::string, std::string> confirmed; // code -> bytes
    for (const auto& [to, size] : {std::pair{0, 20 * MiB + 5}, {0, 3000ull}, {1, 5000ull}}) {
        std::string bytes = pattern.take(size);
        const std::string code = uploadTo(instanceUrl(to), account, bytes, "kept.bin");
        ASSERT_FALSE(code.empty());
        confirmed[code] = std::move(bytes);
    }
    S3Client pair = bucket("pair");
    ASSERT_TRUE(pair.listMultipartUploads("drops/").empty());

    // 64 MiB announced to the first instance directly, never more than 40 sent: the upload cannot
    // finish. Killed once its first part is in the bucket.
    RawConnection cut(s_ports[0]);
    ASSERT_TRUE(cut.send("POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + basicAuthorization(account).begin()->second
                         + "\r\nx-parcly-filename: " + toBase64("cut.bin") + "\r\nContent-Type: application/octet-stream\r\n"
                         + "Content-Length: " + std::to_string(64 * MiB) + "\r\n\r\n"));
    std::jthread sender([&cut] {
        PatternBytes noise(4);
        for (int i = 0; i < 40; ++i) {
            if (!cut.send(noise.take(MiB)))
                return;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (pair.listMultipartUploads("drops/").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(pair.listMultipartUploads("drops/").size(), 1u) << "the upload never reached the bucket";
    instance(0).killHard();
    sender.join();
    cut.close();
    EXPECT_EQ(pair.listMultipartUploads("drops/").size(), 1u) << "nothing was left to sweep";

    // The survivor serves every confirmed drop, and knows nothing of the cut one.
    std::set<std::string> codes;
    for (const auto& [code, bytes] : confirmed) {
        codes.insert(code);
        const auto raw = clientFor(instanceUrl(1)).Get("/" + code + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_TRUE(raw->status == 200 && raw->body == bytes) << code << ": " << raw->status << ", " << raw->body.size() << " bytes";
    }
    EXPECT_EQ(accountView(instanceUrl(1), account), std::make_pair(qint64(3), codes));

    // Restarted on the same port, with a sweep that takes anything unclaimed at once.
    startInstance(0, {"--orphan-age", "0", "--object-sweep-interval", "1"});
    ASSERT_TRUE(instance(0).listening()) << instance(0).log();
    EXPECT_TRUE(instance(0).waitForLog("removed from the bucket what stopped servers left: 1 unfinished uploads")) << instance(0).log();
    EXPECT_TRUE(pair.listMultipartUploads("drops/").empty());
    EXPECT_EQ(objectKeys(pair), liveStorageKeys()) << "an object without its drop, or a drop without its object";

    for (int round = 0; round < 2; ++round) {
        for (const auto& [code, bytes] : confirmed) {
            const auto raw = clientFor(balancerUrl()).Get("/" + code + "/raw");
            ASSERT_TRUE(raw);
            EXPECT_TRUE(raw->status == 200 && raw->body == bytes) << code << ": " << raw->status;
        }
        EXPECT_EQ(accountView(balancerUrl(), account), std::make_pair(qint64(3), codes));
    }
    // An instance that takes unclaimed uploads at once would take the other instance's in flight.
    startInstance(0);
    ASSERT_TRUE(instance(0).listening()) << instance(0).log();
}

// Counts from the line `migrate` prints last.
struct MoveCounts {
    int accountsCopied = -1, accountsPresent = -1, dropsCopied = -1, dropsGone = -1, dropsPresent = -1, failed = -1;
    std::uint64_t bytes = 0;
};

MoveCounts movedCounts(const std::string& printed)
{
    static const std::regex line("accounts ([0-9]+) copied, ([0-9]+) there already; drops ([0-9]+) copied \\(([0-9]+) bytes, each "
                                 "checked\\), ([0-9]+) deleted or expired \\(rows only\\), ([0-9]+) there already, ([0-9]+) failed");
    std::smatch match;
    MoveCounts counts;
    if (!std::regex_search(printed, match, line))
        return counts;
    counts.accountsCopied = std::stoi(match[1]);
    counts.accountsPresent = std::stoi(match[2]);
    counts.dropsCopied = std::stoi(match[3]);
    counts.bytes = std::stoull(match[4]);
    counts.dropsGone = std::stoi(match[5]);
    counts.dropsPresent = std::stoi(match[6]);
    counts.failed = std::stoi(match[7]);
    return counts;
}

TEST_F(ScaleTest, MigrateMovesASqliteServiceOntoPostgresqlAndTheBucketResumingWhereItWasStopped)
{
    struct Made {
        std::string code;
        std::string bytes;
        bool gone = false;
    };
    constexpr int kDrops = 1000;
    std::vector<Made> made(kDrops);
    const std::filesystem::path data = makeTemporaryFolder("scale-source") / "data";
    std::vector<Credentials> accounts;
    {
        RunningService source(data, [&data](ServerOptions& options) { options.database = "sqlite:" + (data / "parcly.db").string(); });
        for (int i = 0; i < 4; ++i)
            accounts.push_back(registerAccount(source, "moved" + std::to_string(i) + "@parcly.test"));
        // Three accounts upload side by side; the fourth has no drops. Drop 0 expires in a second.
        std::vector<std::jthread> uploaders;
        for (int owner = 0; owner < 3; ++owner) {
            uploaders.emplace_back([&, owner] {
                PatternBytes pattern(100 + owner);
                for (int i = owner; i < kDrops; i += 3) {
                    const size_t size = i % 97 == 5 ? 300 * 1024 : 1 + (i * 7919) % 6000;
                    made[i].bytes = pattern.take(size);
                    made[i].code = uploadTo("http://127.0.0.1:" + std::to_string(source.port()), accounts[owner], made[i].bytes,
                                            "drop" + std::to_string(i) + ".bin", i == 0 ? "?expires_in=1" : "");
                }
            });
        }
        uploaders.clear();
        made[0].gone = true;
        for (int i = 13; i < kDrops; i += 25) {
            const auto removed = source.client().Delete("/drops/" + made[i].code, basicAuthorization(accounts[i % 3]));
            ASSERT_TRUE(removed && removed->status == 204) << i;
            made[i].gone = true;
        }
    }
    for (const Made& drop : made)
        ASSERT_FALSE(drop.code.empty());
    // Until drop 0, made before now, is past its expiry.
    const std::time_t uploaded = std::time(nullptr);
    while (std::time(nullptr) < uploaded + 1)
        std::this_thread::sleep_for(50ms);

    const std::string target = s_postgres->createDatabase();
    const QStringList move{"migrate",
                           "--from",
                           QString::fromStdString("sqlite:" + (data / "parcly.db").string()),
                           "--from-storage",
                           QString::fromStdString("file:" + data.string()),
                           "--to",
                           QString::fromStdString(target),
                           "--to-storage",
                           QString::fromStdString(storageUrl("moved"))};
    const auto runMove = [&move]() {
        QProcess migrate;
        migrate.start(QStringLiteral(PARCLY_SERVER_PATH), move);
        EXPECT_TRUE(migrate.waitForFinished(120000));
        return std::make_tuple(migrate.exitCode(), migrate.readAllStandardOutput().toStdString(),
                               migrate.readAllStandardError().toStdString());
    };

    // Stopped hard after its first page of drops.
    {
        QProcess interrupted;
        interrupted.start(QStringLiteral(PARCLY_SERVER_PATH), move);
        std::string progress;
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (progress.find("500 drops looked at") == std::string::npos && std::chrono::steady_clock::now() < deadline
               && interrupted.state() != QProcess::NotRunning) {
            interrupted.waitForReadyRead(100);
            progress += interrupted.readAllStandardError().toStdString();
        }
        interrupted.kill();
        interrupted.waitForFinished();
        ASSERT_NE(progress.find("500 drops looked at"), std::string::npos) << progress;
    }

    // Run again, it goes on where it stopped.
    const auto [resumed, resumedOut, resumedErrors] = runMove();
    EXPECT_EQ(resumed, 0) << resumedErrors;
    const MoveCounts counts = movedCounts(resumedOut);
    EXPECT_EQ(counts.failed, 0) << resumedOut << resumedErrors;
    EXPECT_GE(counts.dropsPresent, 500) << resumedOut;
    EXPECT_LT(counts.dropsPresent, kDrops) << resumedOut;
    EXPECT_EQ(counts.dropsPresent + counts.dropsCopied + counts.dropsGone, kDrops) << resumedOut;
    EXPECT_EQ(counts.accountsCopied + counts.accountsPresent, 4) << resumedOut;
    EXPECT_GE(counts.accountsCopied, 1) << "the account without drops is moved last";

    // A server on the new backends answers every old link as the old one did.
    ServerInstance moved({"--listen", "127.0.0.1:0", "--data", QString::fromStdString(makeTemporaryFolder("scale-moved").string()),
                          "--database", QString::fromStdString(target), "--storage", QString::fromStdString(storageUrl("moved")),
                          "--password-iterations", "1000"});
    ASSERT_TRUE(moved.listening()) << moved.log();
    httplib::Client client = moved.client();
    client.set_keep_alive(true);
    int wrong = 0;
    std::array<qint64, 4> live{};
    for (int i = 0; i < kDrops; ++i) {
        const auto raw = client.Get("/" + made[i].code + "/raw");
        const bool right = raw && (made[i].gone ? raw->status == 410 : raw->status == 200 && raw->body == made[i].bytes);
        if (!right && ++wrong <= 5)
            ADD_FAILURE() << "drop " << i << " (" << made[i].code << "): " << (raw ? raw->status : 0);
        if (!made[i].gone)
            ++live[i % 3];
    }
    EXPECT_EQ(wrong, 0);
    for (int i = 0; i < 4; ++i) {
        const auto me = client.Get("/users/me", basicAuthorization(accounts[i]));
        ASSERT_TRUE(me);
        EXPECT_EQ(me->status, 200) << accounts[i].email;
        EXPECT_EQ(jsonObject(me->body).value("activeDrops").toInteger(), live[i]) << accounts[i].email;
    }

    // A third run finds everything there.
    const auto [again, againOut, againErrors] = runMove();
    EXPECT_EQ(again, 0) << againErrors;
    EXPECT_NE(againOut.find("accounts 0 copied, 4 there already; drops 0 copied (0 bytes, each checked), 0 deleted or expired (rows only), "
                            "1000 there already, 0 failed"),
              std::string::npos)
        << againOut;
}

} // namespace
