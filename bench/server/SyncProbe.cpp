// bench-sync: how many small uploads a second the disk under a folder lets a service store
// durably, with no network and no HTTP. Each simulated upload does what the service's store does:
// its bytes into a new file, a link under its final name, the file's fsync and that folder's fsync
// at the same time, then a row written into a journal file with fdatasync. The journal is made
// beforehand and written in place, as SQLite reuses its write-ahead log, so that its sync flushes
// data without a change of size. `--concurrency N` runs N of these loops at once, so
// the file system may share its journal commits between them as it does for the service.
//
//   bench-sync DIR [--concurrency N] [--seconds S] [--bytes B]
//
// Prints one number, uploads a second: the ceiling of any service that syncs like this.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool syncFolder(const std::filesystem::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-sync DIR [--concurrency N] [--seconds S] [--bytes B]\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    int concurrency = 1;
    double seconds = 3;
    size_t bytes = 100 * 1024;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--concurrency")
            concurrency = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (option == "--bytes")
            bytes = std::strtoull(argv[i + 1], nullptr, 10);
    }
    const std::filesystem::path incoming = root / "sync-probe-incoming";
    const std::filesystem::path stored = root / "sync-probe-stored";
    std::filesystem::create_directories(incoming);
    std::filesystem::create_directories(stored);
    constexpr size_t kJournalBytes = 4 * 1024 * 1024;
    const int journal = ::open((root / "sync-probe-journal").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::vector<char> zeros(kJournalBytes, 0);
    if (journal < 0 || !writeAll(journal, zeros.data(), zeros.size()) || ::fsync(journal) != 0) {
        std::perror("bench-sync: journal");
        return 1;
    }

    const std::vector<char> content(bytes, 'x');
    const std::string row(256, 'r');
    std::atomic<long> done = 0;
    std::atomic<size_t> rows = 0;
    std::atomic<bool> failed = false;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> workers;
    for (int worker = 0; worker < concurrency; ++worker)
        workers.emplace_back([&, worker] {
            for (long n = 0; Clock::now() < end && !failed; ++n) {
                const std::string name = std::to_string(worker) + "-" + std::to_string(n);
                const std::filesystem::path temporary = incoming / name;
                const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                bool ok = fd >= 0 && writeAll(fd, content.data(), content.size()) && ::link(temporary.c_str(), (stored / name).c_str()) == 0
                    && ::unlink(temporary.c_str()) == 0;
                bool folderSynced = false;
                if (ok) {
                    std::thread folder([&] { folderSynced = syncFolder(stored); });
                    ok = ::fsync(fd) == 0;
                    folder.join();
                }
                if (fd >= 0)
                    ::close(fd);
                if (!ok || !folderSynced
                    || ::pwrite(journal, row.data(), row.size(), static_cast<off_t>(rows++ * row.size() % kJournalBytes))
                        != static_cast<ssize_t>(row.size())
                    || ::fdatasync(journal) != 0) {
                    std::perror("bench-sync");
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(journal);
    std::error_code error;
    std::filesystem::remove_all(incoming, error);
    std::filesystem::remove_all(stored, error);
    std::filesystem::remove(root / "sync-probe-journal", error);
    if (failed)
        return 1;
    std::printf("%.0f\n", static_cast<double>(done) / elapsed);
    return 0;
}
