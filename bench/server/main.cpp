// bench-server: the reference service measured from outside. Ingest of one large upload and of
// parallel uploads into the real parcly-server, each beside the same client sending to a sink that
// reads 1 MiB at a time and discards (alternating rounds, medians); the server's peak RSS; and
// authenticated GET /users/me requests per second over kept-alive connections; the time of
// GET /drops?limit=10 for an account with 10,000 drops; and, with 2,000 slow bodies open at once
// from many loopback addresses, the server's memory and threads and how long an ordinary GET takes
// meanwhile. Beside them, what the disk under the data folder takes with no network, the bound of
// any service that syncs.
//
//   bench-server [--single-mib N] [--parallel N] [--parallel-mib N] [--rounds N] [--seconds N]
//                [--slow N] [--data DIR] [--server PATH]
#include "RawHttp.h"

#include "SinkServer.h"
#include "server/AccountStore.h"
#include "server/Base64.h"
#include "server/Database.h"
#include "server/UploadRoute.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
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
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
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

// Varied bytes, so nothing along the way can shortcut zeros.
std::vector<char> pattern()
{
    std::vector<char> bytes(kMiB);
    uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

// One upload of `bytes` from memory; the answer's status.
int upload(int port, const std::string& authorization, size_t bytes, const std::vector<char>& chunk)
{
    return bench::upload(port, authorization, bytes, std::string_view(chunk.data(), chunk.size()));
}

// `count` uploads at once, spread over the accounts (the service takes a few at once from each);
// the seconds until the last is answered, or -1 when one failed.
double uploadSeconds(int port, const std::vector<std::string>& authorizations, int count, size_t bytes, const std::vector<char>& chunk,
                     int expected)
{
    std::atomic<bool> failed = false;
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < count; ++i)
        clients.emplace_back([&, i] {
            const int status = upload(port, authorizations[static_cast<size_t>(i) % authorizations.size()], bytes, chunk);
            if (status != expected) {
                std::fprintf(stderr, "bench-server: upload answered %d\n", status);
                failed = true;
            }
        });
    for (std::thread& client : clients)
        client.join();
    return failed ? -1 : secondsSince(start);
}

// The real service as a child process, on a free loopback port.
class Service {
public:
    Service(const std::string& program, const std::filesystem::path& data, std::vector<std::string> extra = {})
    {
        int out[2];
        if (::pipe(out) != 0)
            std::exit(1);
        m_child = ::fork();
        if (m_child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            // The request log is still written, as in service; only the terminal is spared.
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::close(out[0]);
            std::vector<std::string> arguments{program, "--listen", "127.0.0.1:0", "--data", data.string()};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            std::perror(("bench-server: " + program).c_str());
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
        if (m_port <= 0) {
            std::fprintf(stderr, "bench-server: the service did not start (%s)\n", line.c_str());
            std::exit(1);
        }
    }
    ~Service()
    {
        ::kill(m_child, SIGTERM);
        ::waitpid(m_child, nullptr, 0);
    }
    int port() const { return m_port; }
    double peakRssMiB() const { return status("VmHWM:") / 1024.0; }
    double rssMiB() const { return status("VmRSS:") / 1024.0; }
    int threads() const { return static_cast<int>(status("Threads:")); }

    // A field of /proc/PID/status (kB for sizes), or -1.
    double status(const std::string& field) const
    {
        std::ifstream status("/proc/" + std::to_string(m_child) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field, 0) == 0)
                return std::atof(line.c_str() + field.size());
        }
        return -1;
    }

private:
    pid_t m_child = -1;
    int m_port = 0;
};

int request(int port, const std::string& text)
{
    const int fd = connectTo(port);
    std::string pending;
    const int status = writeAll(fd, text.data(), text.size()) ? readResponse(fd, pending) : 0;
    ::close(fd);
    return status;
}

// Requests per second of GET /users/me, each client on one kept-alive connection.
double authenticatedRate(int port, const std::string& authorization, int clients, double seconds)
{
    const std::string get = "GET /users/me HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization + "\r\n\r\n";
    std::atomic<long> answered = 0;
    std::atomic<bool> failed = false;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&] {
            int fd = connectTo(port);
            std::string pending;
            while (secondsSince(start) < seconds) {
                if (!writeAll(fd, get.data(), get.size())) {
                    failed = true;
                    break;
                }
                const int status = readResponse(fd, pending);
                if (status == 0) {
                    // The service may end a kept-alive connection; a new one is part of the cost.
                    ::close(fd);
                    fd = connectTo(port);
                    pending.clear();
                    continue;
                }
                if (status != 200) {
                    failed = true;
                    break;
                }
                ++answered;
            }
            ::close(fd);
        });
    for (std::thread& thread : threads)
        thread.join();
    if (failed)
        std::fprintf(stderr, "bench-server: GET /users/me failed\n");
    return answered / secondsSince(start);
}

// For reference, the disk's own sequential write rate under the data folder, with no network and
// no page cache: `mib` MiB written from memory 8 MiB at a time with O_DIRECT, then fsync (buffered
// where the file system has no O_DIRECT, as tmpfs). A service that syncs what it stores before
// answering cannot ingest much faster than this, whatever its HTTP layer.
double diskRate(const std::filesystem::path& folder, size_t mib, const std::vector<char>& chunk)
{
    constexpr size_t block = 8 * kMiB;
    const std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::aligned_alloc(4096, block)), &std::free);
    for (size_t offset = 0; offset < block; offset += chunk.size())
        std::memcpy(buffer.get() + offset, chunk.data(), chunk.size());
    const std::filesystem::path path = folder / "disk-probe";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_DIRECT, 0600);
    if (fd < 0)
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    const auto start = Clock::now();
    bool ok = true;
    for (size_t written = 0; ok && written < mib * kMiB; written += block)
        ok = writeAll(fd, buffer.get(), std::min(block, mib * kMiB - written));
    ok = ok && ::fsync(fd) == 0;
    const double seconds = secondsSince(start);
    ::close(fd);
    std::filesystem::remove(path);
    return ok ? static_cast<double>(mib) / seconds : -1;
}

// An account with `count` drops, written straight into a new data folder's database (rows only:
// listing never reads the bytes), so that setting up takes a second rather than an upload each.
void prepareDrops(const std::filesystem::path& data, const std::string& email, const std::string& password, int count)
{
    std::filesystem::remove_all(data); // left by an earlier run with --data
    std::filesystem::create_directories(data);
    Database database(data / "parcly.db");
    AccountStore accounts(database, PasswordHasher(PasswordHasher::kMinimumIterations));
    accounts.create(email, password);
    const std::int64_t account = accounts.find(email)->id;
    auto session = database.session();
    Database::Transaction transaction(session);
    auto insert = session.prepare("INSERT INTO drops (code, account_id, title, content_type, size, pixel_density, created_at) "
                                  "VALUES (?, ?, ?, 'image/png', 123456, 2.0, ?)");
    const std::int64_t start = std::time(nullptr) - count;
    for (int i = 0; i < count; ++i) {
        char code[16];
        std::snprintf(code, sizeof code, "B%07d", i);
        insert.bind(1, std::string_view(code)).bind(2, account).bind(3, "Screenshot " + std::to_string(i) + ".png").bind(4, start + i);
        insert.step();
        insert.reset();
    }
    transaction.commit();
}

// Milliseconds of each of `count` GET `path` requests on one kept-alive connection, once the
// password has been checked (the first request pays the hash).
std::vector<double> requestTimes(int port, const std::string& authorization, const std::string& path, int count, size_t& listed)
{
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization + "\r\n\r\n";
    const int fd = connectTo(port);
    std::string pending, body;
    std::vector<double> times;
    for (int i = 0; i <= count; ++i) {
        const auto start = Clock::now();
        if (!writeAll(fd, get.data(), get.size()) || readResponse(fd, pending, &body) != 200) {
            std::fprintf(stderr, "bench-server: GET %s failed\n", path.c_str());
            std::exit(1);
        }
        if (i > 0)
            times.push_back(secondsSince(start) * 1000);
    }
    ::close(fd);
    listed = 0;
    for (size_t at = body.find("\"code\""); at != std::string::npos; at = body.find("\"code\"", at + 1))
        ++listed;
    return times;
}

struct SlowConnections {
    double rssMiB = -1;
    int threads = -1;
    double getMs = -1; // -1: not answered
};

// `count` registrations that send their head and a few bytes of a 16 KiB body, then stall, from
// 20 loopback addresses; then the service's memory and threads, and one ordinary GET's time.
SlowConnections slowConnections(const Service& service, int count)
{
    const std::string head = "POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Content-Length: 16384\r\n\r\n{\"email\":\"";
    std::vector<int> open;
    for (int i = 0; i < count; ++i) {
        const std::string from = "127.0.2." + std::to_string(1 + i % 20);
        const int fd = connectTo(service.port(), from.c_str());
        if (!writeAll(fd, head.data(), head.size())) {
            ::close(fd);
            break;
        }
        open.push_back(fd);
    }
    // The service takes what is queued in its backlog.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    SlowConnections result;
    result.rssMiB = service.rssMiB();
    result.threads = service.threads();
    const auto start = Clock::now();
    const int fd = connectTo(service.port(), "127.0.3.1");
    const timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string pending;
    if (writeAll(fd, get.data(), get.size()) && readResponse(fd, pending) == 200)
        result.getMs = secondsSince(start) * 1000;
    ::close(fd);
    std::printf("%zu slow bodies open: service RSS %.1f MiB, %d threads; GET / meanwhile %s\n", open.size(), result.rssMiB, result.threads,
                result.getMs < 0 ? "not answered" : (std::to_string(std::lround(result.getMs)) + " ms").c_str());
    for (const int slow : open)
        ::close(slow);
    return result;
}

void removeDrops(const std::filesystem::path& data)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(data / "drops", error))
        std::filesystem::remove(entry.path(), error);
}

} // namespace

int main(int argc, char** argv)
{
    size_t singleMiB = 1024, parallelMiB = 64;
    int parallel = 16, rounds = 3, slowCount = 2000;
    constexpr int perAccount = static_cast<int>(UploadRoute::kUploadsPerAccount);
    double seconds = 3;
    std::filesystem::path data;
    std::string program = PARCLY_SERVER_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--single-mib")
            singleMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--parallel")
            parallel = std::atoi(argv[i + 1]);
        else if (option == "--parallel-mib")
            parallelMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (option == "--data")
            data = argv[i + 1];
        else if (option == "--slow")
            slowCount = std::atoi(argv[i + 1]);
        else if (option == "--server")
            program = argv[i + 1];
    }
    const bool ownData = data.empty();
    if (ownData) {
        std::string folder = (std::filesystem::temp_directory_path() / "bench-server-XXXXXX").string();
        if (!::mkdtemp(folder.data()))
            return 1;
        data = folder;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Thousands of connections at once, for the slow-client part.
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0) {
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }

    // Forked before any thread exists.
    const SinkServer sink(kMiB);
    std::optional<Service> running(std::in_place, program, data / "data");
    const Service& service = *running;
    std::printf("service on 127.0.0.1:%d, sink on 127.0.0.1:%d, data in %s\n", service.port(), sink.port(), data.c_str());

    // One account for every few parallel uploads: the service takes at most that many at once from each.
    std::vector<std::string> authorizations;
    const std::string password = "bench password";
    for (int i = 0; i < std::max(1, (parallel + perAccount - 1) / perAccount); ++i) {
        const std::string email = "bench" + std::to_string(i) + "@example.org";
        const std::string account = "{\"email\":\"" + email + "\",\"password\":\"" + password + "\"}";
        if (request(service.port(),
                    "POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                        + std::to_string(account.size()) + "\r\nConnection: close\r\n\r\n" + account)
            != 201) {
            std::fprintf(stderr, "bench-server: cannot register\n");
            return 1;
        }
        authorizations.push_back("Basic " + base64::encode(email + ":" + password));
    }
    const std::string& authorization = authorizations.front();
    const std::vector<char> chunk = pattern();

    struct Rates {
        double sink, service;
    };
    const auto ingest = [&](const char* name, int count, size_t mib) {
        std::vector<double> sinkRates, serverRates;
        const double total = static_cast<double>(count) * static_cast<double>(mib);
        for (int round = 0; round < rounds; ++round) {
            const double toSink = uploadSeconds(sink.port(), authorizations, count, mib * kMiB, chunk, 201);
            const double toServer = uploadSeconds(service.port(), authorizations, count, mib * kMiB, chunk, 201);
            removeDrops(data / "data");
            if (toSink <= 0 || toServer <= 0)
                std::exit(1);
            sinkRates.push_back(total / toSink);
            serverRates.push_back(total / toServer);
            std::printf("%s round %d: sink %.0f MiB/s (%.2f s), service %.0f MiB/s (%.2f s)\n", name, round + 1, total / toSink, toSink,
                        total / toServer, toServer);
            std::fflush(stdout);
        }
        const Rates rates{median(sinkRates), median(serverRates)};
        std::printf("%s median: sink %.0f MiB/s, service %.0f MiB/s, ratio %.3f (target >= 0.8)\n", name, rates.sink, rates.service,
                    rates.service / rates.sink);
        return rates;
    };
    const Rates single = ingest("single", 1, singleMiB);
    const Rates parallelRates = ingest("parallel", parallel, parallelMiB);

    std::vector<double> diskRates;
    for (int round = 0; round < rounds; ++round)
        diskRates.push_back(diskRate(data, singleMiB, chunk));
    const double disk = median(diskRates);
    std::printf("disk under the data folder alone (%zu MiB, direct writes, then fsync; no network): %.0f MiB/s\n", singleMiB, disk);
    std::printf("the disk alone is %.3f (single) and %.3f (parallel) of the sink here; the service reaches %.2f and %.2f of the disk\n",
                disk / single.sink, disk / parallelRates.sink, single.service / disk, parallelRates.service / disk);
    const double rps = authenticatedRate(service.port(), authorization, 16, seconds);
    std::printf("GET /users/me at concurrency 16, kept alive: %.0f requests/s (target >= 3000)\n", rps);
    const double rss = service.peakRssMiB();
    std::printf("service peak RSS %.1f MiB (target < 100)\n", rss);
    std::fflush(stdout);
    running.reset();

    constexpr int kListedDrops = 10'000;
    prepareDrops(data / "list-data", "bench0@example.org", password, kListedDrops);
    double listMs = 0;
    {
        const Service lister(program, data / "list-data");
        size_t listed = 0;
        const std::vector<double> first = requestTimes(lister.port(), authorization, "/drops?limit=10", 200, listed);
        listMs = median(first);
        std::printf("GET /drops?limit=10 of %d drops: median %.2f ms, slowest %.2f ms, %zu listed (target < 20 ms)\n", kListedDrops, listMs,
                    *std::max_element(first.begin(), first.end()), listed);
        const std::vector<double> deep = requestTimes(lister.port(), authorization, "/drops?limit=10&before=5000", 200, listed);
        std::printf("GET /drops?limit=10 from the middle: median %.2f ms, %zu listed\n", median(deep), listed);
    }

    // A service of its own, whose short body deadline outlasts the measurement: what is measured
    // is the cost of the slow bodies held, not of their being cut.
    SlowConnections slow;
    {
        const Service held(program, data / "slow", {"--short-body-deadline", "600"});
        slow = slowConnections(held, slowCount);
    }
    std::printf("%d slow bodies: targets RSS < 200 MiB, threads < 64, GET < 1000 ms\n", slowCount);
    // ratio_*: the service's median rate over the sink's; disk_ratio_*: over the disk's alone.
    std::printf("RESULT ratio_single=%.3f ratio_parallel=%.3f disk_ratio_single=%.3f disk_ratio_parallel=%.3f rss_mib=%.1f "
                "auth_rps=%.0f list_ms=%.2f slow_conn_rss_mib=%.1f slow_conn_threads=%d busy_get_ms=%.0f\n",
                single.service / single.sink, parallelRates.service / parallelRates.sink, single.service / disk,
                parallelRates.service / disk, rss, rps, listMs, slow.rssMiB, slow.threads, slow.getMs);
    std::fflush(stdout);
    if (ownData)
        std::filesystem::remove_all(data);
    return 0;
}
