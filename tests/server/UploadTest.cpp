// Uploads: what the client sends comes back byte for byte, and nothing half-uploaded or refused
// is ever kept.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string randomBytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

int activeDrops(const RunningService& service, const Credentials& credentials)
{
    auto result = service.client().Get("/users/me", basicAuthorization(credentials));
    return result && result->status == 200 ? jsonObject(result->body).value("activeDrops").toInt(-1) : -1;
}

std::string uploadHeaders(const Credentials& credentials, size_t length, const std::string& extra = {})
{
    return "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " + toBase64(credentials.email + ":" + credentials.password)
        + "\r\nContent-Type: application/octet-stream\r\nx-parcly-filename: " + toBase64("cut.bin")
        + "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "\r\n";
}

TEST(Upload, RoundTripKeepsBytesTypeAndNameAndLinksOnThePublicOrigin)
{
    RunningService service([](ServerOptions& options) { options.publicUrl = "https://drops.parcly.test"; });
    const Credentials user = registerAccount(service);
    struct Case {
        std::string name;
        std::string contentType;
        std::string query;
        double density;
    };
    const std::vector<Case> cases = {
        {"Screenshot 2024-05-01 at 10.00.00.png", "image/png", "?pixel_density=2.0", 2.0},
        {"Résumé – ünïcode 日本.pdf", "application/pdf", "", 1.0},
        {"notes with  blanks .txt", "text/plain; charset=utf-8", "?pixel_density=1.5", 1.5},
        {"??? >>>.txt", "text/plain", "", 1.0}, // "Pz8/ID4+...": both of Base64's symbols
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        const std::string bytes = randomBytes(300 * 1024 + seed, seed);
        ++seed;
        auto created = upload(service, user, {bytes, c.name, c.contentType, c.query});
        ASSERT_TRUE(created);
        ASSERT_EQ(created->status, 201) << created->body;
        EXPECT_EQ(created->get_header_value("Content-Type"), "application/json");
        const QJsonObject drop = jsonObject(created->body);
        const std::string code = drop.value("code").toString().toStdString();
        EXPECT_EQ(drop.value("title").toString().toStdString(), c.name);
        EXPECT_EQ(drop.value("type").toString().toStdString(), c.contentType);
        EXPECT_EQ(drop.value("size").toDouble(), static_cast<double>(bytes.size()));
        EXPECT_EQ(drop.value("pixelDensity").toDouble(), c.density);
        EXPECT_EQ(drop.value("shortlink").toString().toStdString(), "https://drops.parcly.test/" + code);

        auto raw = service.client().Get("/" + code + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->status, 200);
        EXPECT_TRUE(raw->body == bytes) << c.name << ": the stored bytes differ from those sent";
        EXPECT_EQ(raw->get_header_value("Content-Type"), c.contentType);
        const std::string head = responseHead(service.port(), "/" + code + "/raw");
        const std::string encodedName = QUrl::toPercentEncoding(QString::fromStdString(c.name)).toStdString();
        EXPECT_NE(head.find("filename*=UTF-8''" + encodedName + "\r\n"), std::string::npos) << head;
    }
    EXPECT_EQ(activeDrops(service, user), 4);
}

// The share of the file's pages in the page cache, from 0 to 1.
double cachedShare(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const auto size = static_cast<size_t>(std::filesystem::file_size(file));
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    const size_t pages = (size + 4095) / 4096;
    std::vector<unsigned char> resident(pages);
    const bool known = mapped != MAP_FAILED && ::mincore(mapped, size, resident.data()) == 0;
    if (mapped != MAP_FAILED)
        ::munmap(mapped, size);
    return known ? static_cast<double>(std::count_if(resident.begin(), resident.end(), [](unsigned char page) { return page & 1; })) / pages
                 : 1.0;
}

// Bodies of a few MiB, declared and chunked, in pieces that never line up with the service's
// blocks, each ending in a tail of less than a page: stored byte for byte, and past the page cache.
TEST(Upload, LargeBodiesAreStoredExactlyAndStraightToTheDisk)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    const std::string declared = randomBytes(3 * 1024 * 1024 + 12'345, 21);
    const std::string streamed = randomBytes(2 * 1024 * 1024 + 777, 22);
    auto first = upload(service, user, {declared, "declared.bin"});
    httplib::Headers headers = basicAuthorization(user);
    headers.emplace("x-parcly-filename", toBase64("streamed.bin"));
    auto second = service.client().Post(
        "/files", headers,
        [&](size_t offset, httplib::DataSink& sink) {
            if (offset >= streamed.size()) {
                sink.done();
                return true;
            }
            return sink.write(streamed.data() + offset, std::min<size_t>(100'003, streamed.size() - offset));
        },
        "application/octet-stream");
    ASSERT_TRUE(first && first->status == 201);
    ASSERT_TRUE(second && second->status == 201);
    const auto fileOf = [&](const httplib::Result& created) {
        return service.dataDirectory() / "drops" / jsonObject(created->body).value("code").toString().toStdString();
    };
    EXPECT_TRUE(filesIn(service.dataDirectory() / "incoming").empty());

    // Where the data folder's file system takes direct I/O, nothing but a body's tail passes
    // through the page cache (until the drop is read).
    struct statfs disk { };
    ASSERT_EQ(::statfs(service.dataDirectory().c_str(), &disk), 0);
    const bool direct = takesDirectIo(service.dataDirectory()) && disk.f_type != TMPFS_MAGIC;
    if (direct) {
        EXPECT_LT(cachedShare(fileOf(first)), 0.01) << "the declared body went through the page cache";
        EXPECT_LT(cachedShare(fileOf(second)), 0.01) << "the chunked body went through the page cache";
    }

    for (const auto& [created, sent] : {std::pair{&first, &declared}, std::pair{&second, &streamed}}) {
        EXPECT_EQ(std::filesystem::file_size(fileOf(*created)), sent->size());
        auto raw = service.client().Get("/" + fileOf(*created).filename().string() + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_TRUE(raw->body == *sent) << "the stored bytes of " << sent->size() << " differ from those sent";
    }
    if (!direct)
        GTEST_SKIP() << "stored exactly, but " << service.dataDirectory() << " is on a file system without direct I/O";
}

TEST(Upload, OversizedUploadsAre413AndLeaveNothingBehind)
{
    RunningService service([](ServerOptions& options) { options.maxUploadBytes = 1000; });
    const Credentials user = registerAccount(service);

    // Declared length over the limit.
    auto declared = upload(service, user, {std::string(1001, 'x'), "big.bin"});
    ASSERT_TRUE(declared);
    EXPECT_EQ(declared->status, 413);
    EXPECT_EQ(declared->get_header_value("Content-Type"), "application/json");

    // No declared length (chunked): the limit holds while streaming.
    httplib::Headers headers = basicAuthorization(user);
    headers.emplace("x-parcly-filename", toBase64("chunked.bin"));
    auto chunked = service.client().Post(
        "/files", headers,
        [](size_t offset, httplib::DataSink& sink) {
            const std::string piece(500, 'y');
            if (offset >= 3000) {
                sink.done();
                return true;
            }
            return sink.write(piece.data(), piece.size());
        },
        "application/octet-stream");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(chunked->status, 413);

    // "Expect: 100-continue" is answered before a single byte of the body is sent.
    RawConnection early(service.port());
    ASSERT_TRUE(early.send(uploadHeaders(user, 50'000'000, "Expect: 100-continue\r\n")));
    const std::string answer = early.receive("\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;

    // Exactly at the limit is fine.
    auto fits = upload(service, user, {std::string(1000, 'z'), "fits.bin"});
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->status, 201);
    EXPECT_EQ(activeDrops(service, user), 1);
    EXPECT_EQ(filesIn(service.dataDirectory() / "drops").size(), 1u);
    EXPECT_TRUE(filesIn(service.dataDirectory() / "incoming").empty());
}

TEST(Upload, AnUnknownUserIsRefusedBeforeTheBodyIsSent)
{
    RunningService service;
    RawConnection connection(service.port());
    ASSERT_TRUE(connection.send(uploadHeaders({"ghost@parcly.test", "x"}, 10'000'000, "Expect: 100-continue\r\n")));
    const std::string answer = connection.receive("\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 401", 0), 0u) << answer;
    EXPECT_NE(answer.find("parcly-errorcode: Authentication.UnknownUser"), std::string::npos) << answer;
}

TEST(Upload, FileNameHeaderMustBeBase64OfUtf8ButMayHoldAnyCharacter)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    const auto post = [&](std::optional<std::string> nameHeader) {
        httplib::Headers headers = basicAuthorization(user);
        if (nameHeader)
            headers.emplace("x-parcly-filename", *nameHeader);
        return service.client().Post("/files", headers, "contents", "text/plain");
    };
    for (const auto& bad : std::vector<std::optional<std::string>>{
             std::nullopt, "", "%%%not base64%%%", "YWJj=", toBase64("\xff\xfe invalid utf-8"), toBase64(std::string(2000, 'n'))}) {
        auto result = post(bad);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400) << (bad ? *bad : "(no header)");
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    }
    EXPECT_EQ(activeDrops(service, user), 0);

    // Slashes, dots and NUL make a fine title and never a path.
    const std::string hostile = std::string("../../outside/evil\0name.txt", 27);
    auto stored = post(toBase64(hostile));
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->status, 201);
    const QJsonObject drop = jsonObject(stored->body);
    EXPECT_EQ(drop.value("title").toString().toStdString(), hostile);
    EXPECT_EQ(filesIn(service.dataDirectory() / "drops"), std::vector<std::string>{drop.value("code").toString().toStdString()});
    EXPECT_FALSE(std::filesystem::exists(service.dataDirectory().parent_path() / "outside"));
    EXPECT_FALSE(std::filesystem::exists(service.dataDirectory() / "outside"));
}

TEST(Upload, AConnectionCutMidUploadLeavesNoDropAndNoFile)
{
    RunningService service;
    const Credentials user = registerAccount(service);
    {
        RawConnection connection(service.port());
        ASSERT_TRUE(connection.send(uploadHeaders(user, 1'000'000)));
        ASSERT_TRUE(connection.send(randomBytes(200'000, 7)));
        // Let the server write what it got before the cut, so there is something to clean up.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(service.waitForLogLine("POST /files 400")) << "the server never noticed the cut";
    EXPECT_EQ(activeDrops(service, user), 0);
    EXPECT_TRUE(filesIn(service.dataDirectory() / "drops").empty());
    EXPECT_TRUE(filesIn(service.dataDirectory() / "incoming").empty());

    // The server is unharmed.
    EXPECT_EQ(upload(service, user, {"after the cut"})->status, 201);
}

// Uploads that arrive together are committed together; each answer still means its drop is
// stored, with its own bytes, as a restart shows.
TEST(Upload, ParallelUploadsAllLandWithDistinctCodes)
{
    const auto data = makeTemporaryFolder("parallel") / "data";
    constexpr int kThreads = 8;
    constexpr int kEach = 4;
    std::mutex mutex;
    std::map<std::string, std::string> stored; // code -> bytes
    std::vector<std::string> failures;
    {
        RunningService service(data);
        const Credentials user = registerAccount(service);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    const std::string bytes = randomBytes(64 * 1024, static_cast<unsigned>(t * 100 + i));
                    auto result = upload(service, user, {bytes, "parallel.bin"});
                    std::lock_guard lock(mutex);
                    if (!result || result->status != 201) {
                        failures.push_back(result ? std::to_string(result->status) + " " + result->body : "no response");
                        continue;
                    }
                    stored[jsonObject(result->body).value("code").toString().toStdString()] = bytes;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_TRUE(failures.empty()) << failures.front();
        EXPECT_EQ(stored.size(), static_cast<size_t>(kThreads * kEach));
        EXPECT_EQ(activeDrops(service, user), kThreads * kEach);
    }
    RunningService restarted(data);
    for (const auto& [code, bytes] : stored) {
        auto raw = restarted.client().Get("/" + code + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->status, 200) << code;
        EXPECT_TRUE(raw->body == bytes) << code << " came back with other bytes";
    }
    EXPECT_EQ(filesIn(data / "drops").size(), stored.size());
}

TEST(Upload, DropsSurviveARestartAndLeftoversOfACrashAreRemoved)
{
    const auto data = makeTemporaryFolder("restart") / "data";
    Credentials user;
    std::string code;
    {
        RunningService first(data);
        user = registerAccount(first);
        auto created = upload(first, user, {"kept across restarts", "kept.txt", "text/plain"});
        ASSERT_TRUE(created && created->status == 201);
        code = jsonObject(created->body).value("code").toString().toStdString();
    }
    // What a killed server may leave: a half-written upload, and contents whose row never came.
    std::ofstream(data / "incoming" / "upload-abc123") << "half an upload";
    std::ofstream(data / "drops" / "Orphan42") << "no row for this";

    RunningService second(data);
    auto raw = second.client().Get("/" + code + "/raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->status, 200);
    EXPECT_EQ(raw->body, "kept across restarts");
    EXPECT_EQ(activeDrops(second, user), 1);
    EXPECT_TRUE(filesIn(data / "incoming").empty());
    EXPECT_EQ(filesIn(data / "drops"), std::vector<std::string>{code});
}

// A real full disk: a small tmpfs under the data folder, filled up after the account is made.
// The upload fits in the store's write buffer, so nothing fails until the final flush.
TEST(Upload, AFullDiskAtTheFinalFlushAnswers507AndLeavesNothing)
{
    const auto data = makeTemporaryFolder("full") / "data";
    std::filesystem::create_directories(data);
    if (::mount("tmpfs", data.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
    struct Unmount {
        std::filesystem::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{data};

    Credentials user;
    {
        RunningService service(data);
        user = registerAccount(service);
        ASSERT_EQ(activeDrops(service, user), 0);
        {
            std::ofstream filler(data / "filler", std::ios::binary);
            const std::string block(64 * 1024, 'f');
            while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) { }
        }
        auto full = upload(service, user, {randomBytes(100 * 1024, 7), "full.bin"});
        ASSERT_TRUE(full);
        EXPECT_EQ(full->status, 507);
        EXPECT_EQ(full->get_header_value("parcly-errorcode"), "Upload.StorageFull");
        EXPECT_TRUE(filesIn(data / "incoming").empty());

        // Space again: the service goes on as before.
        std::filesystem::remove(data / "filler");
        auto stored = upload(service, user, {randomBytes(100 * 1024, 8), "fits.bin"});
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->status, 201);
        EXPECT_EQ(activeDrops(service, user), 1);
    }
}

// A tmpfs of `size` at a fresh folder, unmounted at the end; empty when it cannot be mounted.
struct SmallDisk {
    explicit SmallDisk(const char* size)
        : path(makeTemporaryFolder("small-disk") / "data")
    {
        std::filesystem::create_directories(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, (std::string("size=") + size + ",mode=0700").c_str()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            ::umount2(path.c_str(), MNT_DETACH);
    }
    // Writes a filler file until only about `leave` bytes are free (0: until the disk is full).
    void fill(std::uint64_t leave)
    {
        std::ofstream filler(path / ("filler" + std::to_string(fillers++)), std::ios::binary);
        const std::string block(16 * 1024, 'f');
        for (;;) {
            struct statvfs disk { };
            ::statvfs(path.c_str(), &disk);
            if (leave > 0 && static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize <= leave)
                return;
            if (!filler.write(block.data(), static_cast<std::streamsize>(block.size())) || !filler.flush())
                return;
        }
    }
    std::filesystem::path path;
    bool mounted = false;
    int fillers = 0;
};

// curl's status for an upload of `file`; `expect` false sends the body without waiting for 100.
std::string curlUpload(const RunningService& service, const Credentials& user, const std::filesystem::path& file, bool expect)
{
    const std::string command = "curl -s -o /dev/null -w '%{http_code}' -H 'Authorization: Basic "
        + toBase64(user.email + ":" + user.password) + "' -H 'x-parcly-filename: " + toBase64("big.bin") + "' -H '"
        + (expect ? "Expect: 100-continue" : "Expect:") + "' --data-binary @" + file.string()
        + " http://127.0.0.1:" + std::to_string(service.port()) + "/files";
    std::string output;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[64];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        ::pclose(pipe);
    }
    return output;
}

TEST(Upload, AFullDiskIsAnswered507WhateverTheSizeAndWhenever)
{
    SmallDisk disk("24m");
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
    if (std::system("curl --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed";
    const auto outside = makeTemporaryFolder("uploads");
    for (const auto& [name, size] : {std::pair{"20MB", 20'000'000}, std::pair{"5MiB", 5 * 1024 * 1024}})
        std::ofstream(outside / name, std::ios::binary) << randomBytes(size, 3);

    RunningService service(disk.path);
    const Credentials user = registerAccount(service);
    const Credentials other = registerAccount(service);

    // Two uploads start while there is room for each, not for both: the second fills the disk
    // mid-body and still gets its answer, having been read to its end.
    disk.fill(9 * 1024 * 1024);
    const std::string body(5 * 1024 * 1024, 'b');
    std::vector<std::unique_ptr<RawConnection>> racing;
    for (const Credentials& who : {user, other}) {
        racing.push_back(std::make_unique<RawConnection>(service.port()));
        ASSERT_TRUE(racing.back()->send("POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic "
                                        + toBase64(who.email + ":" + who.password) + "\r\nx-parcly-filename: " + toBase64("r.bin")
                                        + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
    }
    ASSERT_TRUE(racing[0]->send(body));
    EXPECT_EQ(racing[0]->receive("}").rfind("HTTP/1.1 201", 0), 0u);
    ASSERT_TRUE(racing[1]->send(body)) << "the rest of the body is read after the disk filled";
    const std::string late = racing[1]->receive("}");
    EXPECT_EQ(late.rfind("HTTP/1.1 507", 0), 0u) << late.substr(0, 300);
    EXPECT_NE(late.find("Upload.StorageFull"), std::string::npos);
    EXPECT_TRUE(service.waitForLogLine("upload failed: cannot write")) << "the disk filled mid-body, not at the head";

    // A few MB left: uploads larger than that are refused from their head, so curl gets the
    // answer with or without waiting for 100 Continue.
    disk.fill(3 * 1024 * 1024);
    for (const char* name : {"20MB", "5MiB"}) {
        for (const bool expect : {true, false})
            EXPECT_EQ(curlUpload(service, user, outside / name, expect), "507") << name << (expect ? " with" : " without") << " Expect";
    }
    EXPECT_TRUE(service.waitForLogLine("upload refused: 20000000 bytes announced"));

    disk.fill(0);
    auto registration = service.client().Post("/account", R"({"email":"late@parcly.test","password":"pw"})", "application/json");
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->status, 507);
    EXPECT_EQ(registration->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(registration->get_header_value("parcly-errorcode"), "Account.StorageFull");
    EXPECT_EQ(activeDrops(service, user), 1);
}

} // namespace
