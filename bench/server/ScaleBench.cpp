// bench-scale: parcly-server as it runs when several instances share a PostgreSQL database and an
// S3 bucket. It starts PostgreSQL, a RADOS Gateway and the service processes itself, and measures:
// one large upload and parallel uploads through one instance against the same bytes written to
// the bucket directly from memory (multipart, the same part size; alternating rounds, medians);
// the instance's peak RSS during the large upload; authenticated GET /users/me per second at
// concurrency 16 through haproxy in front of one instance and in front of two; and how many
// statements the service sends PostgreSQL for one authenticated request and for one upload.
//
//   bench-scale [--single-mib N] [--parallel N] [--parallel-mib N] [--rounds N] [--auth-rounds N] [--seconds S]
#include "RawHttp.h"

#include "CephGateway.h"
#include "LoadBalancer.h"
#include "PostgresServer.h"
#include "server/Base64.h"
#include "server/DropObjects.h"
#include "server/UploadRoute.h"
#include "server/storage/S3Client.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;
using bench::Clock;
using bench::connectTo;
using bench::median;
using bench::readResponse;
using bench::secondsSince;
using bench::writeAll;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench-scale: %s\n", why.c_str());
    std::exit(1);
}

int request(int port, const std::string& text)
{
    const int fd = connectTo(port);
    std::string pending;
    const int status = writeAll(fd, text.data(), text.size()) ? readResponse(fd, pending) : 0;
    ::close(fd);
    return status;
}

// Varied bytes, so nothing along the way can shortcut zeros.
std::string pattern()
{
    std::string bytes(kMiB, '\0');
    uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

// `count` jobs at once; the seconds until the last is done.
double together(int count, const std::function<void(int)>& job)
{
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(job, i);
    for (std::thread& thread : threads)
        thread.join();
    return secondsSince(start);
}

// One upload of `bytes` from memory through the service, answered 201, or the bench ends.
void upload(int port, const std::string& authorization, size_t bytes, const std::string& chunk)
{
    const int status = bench::upload(port, authorization, bytes, chunk);
    if (status != 201)
        fail("an upload of " + std::to_string(bytes) + " bytes was answered " + std::to_string(status));
}

// The same bytes straight into the bucket, appended a MiB at a time as the service does.
void writeDirect(S3Client& bucket, const std::string& key, size_t bytes, const std::string& chunk)
{
    auto object = bucket.beginUpload(key);
    for (size_t written = 0; written < bytes; written += chunk.size())
        object->append(std::string_view(chunk).substr(0, std::min(chunk.size(), bytes - written)));
    object->finish();
}

// Everything under `prefix`, so the gateway's in-memory store does not fill up between rounds.
void emptyBucket(S3Client& bucket, const std::string& prefix)
{
    for (;;) {
        const S3Client::ObjectPage page = bucket.listObjects(prefix);
        if (page.objects.empty())
            return;
        for (const S3Client::ObjectEntry& object : page.objects)
            bucket.deleteObject(object.key);
    }
}

// One parcly-server process on a free loopback port with its records in `database` and its
// bytes in `storage`.
class Instance {
public:
    Instance(const std::string& program, const std::filesystem::path& data, const std::string& database, const std::string& storage)
    {
        std::vector<std::string> arguments{program,      "--listen", "127.0.0.1:0", "--data", data.string(),
                                           "--database", database,   "--storage",   storage};
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0)
            fail("no pipe");
        m_child = ::fork();
        if (m_child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            // The request log is still written; only the terminal is spared.
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::close(out[0]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        const size_t colon = line.rfind(':');
        m_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        if (m_port <= 0)
            fail("the service did not start (" + line + "); run it by hand with the same options to see why");
    }
    ~Instance()
    {
        ::kill(m_child, SIGTERM);
        ::waitpid(m_child, nullptr, 0);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    int port() const { return m_port; }
    pid_t pid() const { return m_child; }

    // The peak resident memory so far (VmHWM), MiB.
    double peakRssMiB() const
    {
        std::ifstream status("/proc/" + std::to_string(m_child) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0)
                return std::atof(line.c_str() + 6) / 1024.0;
        }
        return -1;
    }

private:
    pid_t m_child = -1;
    int m_port = 0;
};

// User and system CPU time a process has used, seconds; 0 when it is gone.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command, which may hold blanks and ends at the last ')': state is the 3rd.
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15)
            ticks += std::atof(field.c_str());
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Requests per second of GET /users/me, each client on one kept-alive connection.
double authenticatedRate(int port, const std::string& authorization, int clients, double seconds)
{
    const std::string get = "GET /users/me HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization + "\r\n\r\n";
    std::atomic<long> answered = 0;
    std::atomic<bool> failed = false;
    const auto start = Clock::now();
    together(clients, [&](int) {
        int fd = connectTo(port);
        std::string pending;
        while (!failed && secondsSince(start) < seconds) {
            const int status = writeAll(fd, get.data(), get.size()) ? readResponse(fd, pending) : 0;
            if (status == 0) {
                // A kept-alive connection may be ended; a new one is part of the cost.
                ::close(fd);
                fd = connectTo(port);
                pending.clear();
                continue;
            }
            if (status != 200) {
                std::fprintf(stderr, "bench-scale: GET /users/me answered %d\n", status);
                failed = true;
            }
            ++answered;
        }
        ::close(fd);
    });
    if (failed)
        std::exit(1);
    return static_cast<double>(answered) / secondsSince(start);
}

// SQL on the PostgreSQL database `url` names; its first value.
std::string sql(const std::string& url, const std::string& statement)
{
    try {
        return PostgresServer::queryAt(url, statement);
    } catch (const std::exception& error) {
        fail(error.what());
    }
}

// Statements PostgreSQL runs for some work, read from its log with log_statement = all, which a
// reload turns on for sessions already open (each picks it up before its next statement).
class StatementCounter {
public:
    explicit StatementCounter(std::string databaseUrl)
        : m_url(std::move(databaseUrl))
        , m_log(std::filesystem::path(sql(m_url, "SHOW data_directory")).parent_path() / "server.log")
    {
    }

    // Runs `warmUp` (so every pooled session has seen the new setting), then `work` `times` times;
    // the statements logged per time, each of which it prints with its own count per time.
    double perTime(const char* name, const std::function<void()>& warmUp, const std::function<void()>& work, int times)
    {
        sql(m_url, "ALTER SYSTEM SET log_statement = 'all'");
        sql(m_url, "SELECT pg_reload_conf()");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        warmUp();
        // The service may still finish work of its own after answering.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto from = std::filesystem::file_size(m_log);
        for (int i = 0; i < times; ++i)
            work();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto to = std::filesystem::file_size(m_log);
        sql(m_url, "ALTER SYSTEM RESET log_statement");
        sql(m_url, "SELECT pg_reload_conf()");
        std::map<std::string, size_t> counts;
        const size_t total = countStatements(from, to, counts);
        std::printf("statements per %s:\n", name);
        for (const auto& [text, count] : counts)
            std::printf("  %5.2f  %s\n", static_cast<double>(count) / times, text.c_str());
        return static_cast<double>(total) / times;
    }

private:
    // Lines of the log between two offsets that record a statement: simple queries ("statement:")
    // and executions of prepared ones ("execute ...:"); parameters and continuation lines are not
    // counted.
    size_t countStatements(std::uintmax_t from, std::uintmax_t to, std::map<std::string, size_t>& counts) const
    {
        std::ifstream log(m_log);
        log.seekg(static_cast<std::streamoff>(from));
        std::string text(to - from, '\0');
        log.read(text.data(), static_cast<std::streamsize>(text.size()));
        size_t count = 0;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string_view line(text.data() + start, end - start);
            size_t textAt = std::string_view::npos;
            if (const size_t at = line.find("LOG:  statement: "); at != std::string_view::npos)
                textAt = at + 17;
            else if (const size_t named = line.find("LOG:  execute "); named != std::string_view::npos)
                textAt = line.find(": ", named + 14) + 2;
            if (textAt != std::string_view::npos && textAt <= line.size()) {
                ++counts[std::string(line.substr(textAt, 100))];
                ++count;
            }
            start = end + 1;
        }
        return count;
    }

    std::string m_url;
    std::filesystem::path m_log;
};

} // namespace

int main(int argc, char** argv)
{
    size_t singleMiB = 1024, parallelMiB = 64;
    int parallel = 16, rounds = 3, authRounds = 7;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--single-mib")
            singleMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--parallel")
            parallel = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--parallel-mib")
            parallelMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--auth-rounds")
            authRounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--seconds")
            seconds = std::atof(argv[i + 1]);
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::string whyNot;
    PostgresServer* postgres = PostgresServer::get(whyNot);
    if (!postgres) {
        std::fprintf(stderr, "bench-scale: no PostgreSQL: %s\n", whyNot.c_str());
        return 77;
    }
    auto started = CephGateway::start(PARCLY_CEPH_S3_SCRIPT);
    if (!started.gateway) {
        std::fprintf(stderr, "bench-scale: no gateway: %s\n", started.why.c_str());
        return started.packagesMissing ? 77 : 1;
    }
    const CephGateway& gateway = *started.gateway;
    const std::string bucketName = "parcly-scale";
    S3Config config; // as the service makes it: signed bodies, the default part size
    config.location = {bucketName, "", gateway.endpoint, gateway.region, true};
    config.credentials = {gateway.accessKey, gateway.secretKey, {}};
    S3Client bucket(config);
    bucket.createBucket();
    ::setenv("AWS_ACCESS_KEY_ID", gateway.accessKey.c_str(), 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", gateway.secretKey.c_str(), 1);
    const std::string storage = "s3://" + bucketName + "?endpoint=" + gateway.endpoint + "&region=" + gateway.region + "&path-style=1";
    const std::string database = postgres->createDatabase();

    std::string folder = (std::filesystem::temp_directory_path() / "bench-scale-XXXXXX").string();
    if (!::mkdtemp(folder.data()))
        fail("cannot make a temporary folder");
    const std::filesystem::path data = folder;
    Instance first(PARCLY_SERVER_PATH, data / "one", database, storage);
    Instance second(PARCLY_SERVER_PATH, data / "two", database, storage);
    std::printf("PostgreSQL %s; RADOS Gateway (memstore OSD) on %s; instances on ports %d and %d; parts of %zu MiB\n", database.c_str(),
                gateway.endpoint.c_str(), first.port(), second.port(), config.partSize / kMiB);

    // One account for every few parallel uploads: the service takes at most that many at once from each.
    constexpr int perAccount = static_cast<int>(UploadRoute::kUploadsPerAccount);
    const std::string password = "bench password";
    std::vector<std::string> authorizations;
    for (int i = 0; i < std::max(1, (parallel + perAccount - 1) / perAccount); ++i) {
        const std::string email = "scale" + std::to_string(i) + "@example.org";
        const std::string account = "{\"email\":\"" + email + "\",\"password\":\"" + password + "\"}";
        if (request(first.port(),
                    "POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                        + std::to_string(account.size()) + "\r\nConnection: close\r\n\r\n" + account)
            != 201)
            fail("cannot register " + email);
        authorizations.push_back("Basic " + base64::encode(email + ":" + password));
    }
    const std::string chunk = pattern();

    // The service's rate over the bucket's, in alternating rounds.
    const auto ingest = [&](const char* name, int count, size_t mib) {
        std::vector<double> directRates, serviceRates;
        const double total = static_cast<double>(count) * static_cast<double>(mib);
        for (int round = 0; round < rounds; ++round) {
            const double direct = together(count, [&](int i) { writeDirect(bucket, "direct/" + std::to_string(i), mib * kMiB, chunk); });
            emptyBucket(bucket, "direct/");
            const double service = together(count, [&](int i) {
                upload(first.port(), authorizations[static_cast<size_t>(i) % authorizations.size()], mib * kMiB, chunk);
            });
            emptyBucket(bucket, DropObjects::kKeyPrefix);
            directRates.push_back(total / direct);
            serviceRates.push_back(total / service);
            std::printf("%s round %d: bucket directly %.0f MiB/s (%.2f s), through the service %.0f MiB/s (%.2f s)\n", name, round + 1,
                        total / direct, direct, total / service, service);
            std::fflush(stdout);
        }
        const double ratio = median(serviceRates) / median(directRates);
        std::printf("%s median: bucket %.0f MiB/s, service %.0f MiB/s, ratio %.3f (target >= 0.8)\n", name, median(directRates),
                    median(serviceRates), ratio);
        return ratio;
    };
    const double single = ingest("single", 1, singleMiB);
    const double peakRss = first.peakRssMiB();
    std::printf("instance peak RSS during the %zu MiB uploads: %.1f MiB (target < 100)\n", singleMiB, peakRss);
    const double parallelRatio = ingest("parallel", parallel, parallelMiB);

    // haproxy in front of one instance and in front of both, so that both figures pay the proxy.
    auto one = LoadBalancer::start({first.port()});
    auto two = LoadBalancer::start({first.port(), second.port()});
    if (!one.balancer || !two.balancer) {
        std::fprintf(stderr, "bench-scale: no load balancer: %s\n", (one.balancer ? two.why : one.why).c_str());
        return one.missing || two.missing ? 77 : 1;
    }
    const std::string& authorization = authorizations.front();
    // Each instance checks the password once and remembers it has verified.
    authenticatedRate(two.balancer->port(), authorization, 4, 0.5);
    // The CPU the service side spends: the instances and their PostgreSQL sessions, which stay open
    // in their pools. Less swayed than the rates by whatever else the machine runs meanwhile.
    std::vector<pid_t> sessionPids;
    std::istringstream sessions(sql(database,
                                    "SELECT string_agg(pid::text, ' ') FROM pg_stat_activity "
                                    "WHERE datname = current_database() AND pid <> pg_backend_pid()"));
    for (pid_t session; sessions >> session;)
        sessionPids.push_back(session);
    struct Cpu {
        double instances = 0, database = 0, proxy = 0; // seconds
    };
    const auto cpuNow = [&](const LoadBalancer& proxy) {
        Cpu cpu{cpuSeconds(first.pid()) + cpuSeconds(second.pid()), 0, cpuSeconds(proxy.pid())};
        for (const pid_t pid : sessionPids)
            cpu.database += cpuSeconds(pid);
        return cpu;
    };
    // The rate, and microseconds of CPU per request on each side.
    struct Round {
        std::vector<double> rates, service, database, proxy;
    };
    const auto measure = [&](const LoadBalancer& proxy, Round& round) {
        const Cpu before = cpuNow(proxy);
        const double rate = authenticatedRate(proxy.port(), authorization, 16, seconds);
        const Cpu after = cpuNow(proxy);
        const double perRequest = 1e6 / (rate * seconds);
        round.rates.push_back(rate);
        round.service.push_back((after.instances - before.instances + after.database - before.database) * perRequest);
        round.database.push_back((after.database - before.database) * perRequest);
        round.proxy.push_back((after.proxy - before.proxy) * perRequest);
        return std::to_string(std::lround(rate)) + "/s, " + std::to_string(std::lround(round.service.back())) + " us of service CPU each ("
            + std::to_string(std::lround(round.database.back())) + " PostgreSQL), haproxy "
            + std::to_string(std::lround(round.proxy.back())) + " us";
    };
    Round with1, with2;
    for (int round = 0; round < authRounds; ++round) {
        const std::string one1 = measure(*one.balancer, with1);
        const std::string two2 = measure(*two.balancer, with2);
        std::printf("GET /users/me round %d at concurrency 16 through haproxy: one instance %s; two instances %s\n", round + 1,
                    one1.c_str(), two2.c_str());
        std::fflush(stdout);
    }
    const double rps1 = median(with1.rates), rps2 = median(with2.rates);
    std::printf("two instances reach %.3f of one (target >= 0.9; on %u cores a second instance adds no CPU); per request: service CPU "
                "%.0f us with one, %.0f us with two (PostgreSQL %.0f and %.0f), haproxy %.0f and %.0f us\n",
                rps2 / rps1, std::thread::hardware_concurrency(), median(with1.service), median(with2.service), median(with1.database),
                median(with2.database), median(with1.proxy), median(with2.proxy));

    StatementCounter statements(database);
    const std::string get
        = "GET /users/me HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization + "\r\nConnection: close\r\n\r\n";
    const auto authOnce = [&] {
        if (request(first.port(), get) != 200)
            fail("GET /users/me failed");
    };
    const double perAuth = statements.perTime(
        "authenticated GET /users/me",
        [&] {
            for (int i = 0; i < 50; ++i)
                authOnce();
        },
        authOnce, 100);
    const size_t smallUpload = 100 * 1024;
    const auto uploadOnce = [&] { upload(first.port(), authorization, smallUpload, chunk); };
    const double perUpload = statements.perTime(
        "100 KiB upload",
        [&] {
            for (int i = 0; i < 20; ++i)
                uploadOnce();
        },
        uploadOnce, 50);
    emptyBucket(bucket, DropObjects::kKeyPrefix);
    std::printf("statements sent to PostgreSQL (log_statement = all): %.2f per authenticated GET /users/me, %.2f per 100 KiB upload\n",
                perAuth, perUpload);

    std::printf("RESULT ingest_single_vs_bucket=%.3f ingest_parallel_vs_bucket=%.3f auth_rps_1=%.0f auth_rps_2=%.0f auth_scale_2_vs_1=%.3f "
                "cpu_us_per_auth_1=%.0f cpu_us_per_auth_2=%.0f peak_rss_mib_1gib=%.1f db_round_trips_per_auth=%.2f "
                "db_round_trips_per_upload=%.2f\n",
                single, parallelRatio, rps1, rps2, rps2 / rps1, median(with1.service), median(with2.service), peakRss, perAuth, perUpload);
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(data, ignored);
    return 0;
}
