// Clients that hold the service's resources by being slow or many: bodies that trickle or
// stall, uploads piled up by one account, a burst of registrations. Each is cut off or refused
// with a time to retry, and others are served meanwhile.
#include "ServerHarness.h"

#include "server/UploadRoute.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

void quickPace(ServerOptions& options)
{
    options.bodyMinimumRate = 1024;
    options.bodyWindowSeconds = 2;
    options.shortBodyDeadlineSeconds = 3;
}

std::string uploadHead(const Credentials& user, size_t length, const std::string& extra = {})
{
    return "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " + toBase64(user.email + ":" + user.password)
        + "\r\nx-parcly-filename: " + toBase64("slow.bin") + "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "\r\n";
}

size_t linesContaining(const RunningService& service, const std::string& part)
{
    const auto lines = service.logLines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

bool emptyWithin(const std::filesystem::path& folder, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!filesIn(folder).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    return filesIn(folder).empty();
}

TEST(Pace, TricklingAndStalledBodiesAreCutWithOneLineWhileOthersAreServed)
{
    RunningService service(quickPace);
    const Credentials user = registerAccount(service);

    // An upload that sends a byte a second, well under 1 KiB/s over the 2 s window.
    RawConnection trickle(service.port());
    ASSERT_TRUE(trickle.send(uploadHead(user, 100'000) + "start"));
    // A registration whose body comes fast enough but never ends: cut at the short deadline.
    RawConnection account(service.port(), "127.0.0.2");
    ASSERT_TRUE(account.send("POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Content-Length: 16384\r\n\r\n{\"email\":\"slow@example.org\",\"password\":\""));
    bool trickleOpen = true;
    bool accountOpen = true;
    for (int second = 0; second < 10 && (trickleOpen || accountOpen); ++second) {
        if (trickleOpen)
            trickleOpen = trickle.send("x") && !trickle.closedByPeer(1000ms);
        else
            std::this_thread::sleep_for(1s);
        // 3000 bytes a second for four seconds: never the whole 16 KiB.
        if (second < 4)
            accountOpen = account.send(std::string(3000, 'p'));
        else
            accountOpen = !account.closedByPeer(10ms);
        // Others are served meanwhile, uploads included.
        auto home = service.client().Get("/");
        ASSERT_TRUE(home);
        EXPECT_EQ(home->status, 200);
    }
    EXPECT_FALSE(trickleOpen);
    EXPECT_TRUE(trickle.closedByPeer(5s));
    EXPECT_TRUE(account.closedByPeer(5s));
    auto normal = upload(service, user, {"served meanwhile"});
    ASSERT_TRUE(normal);
    EXPECT_EQ(normal->status, 201);

    EXPECT_TRUE(service.waitForLogLine("closed a slow body: POST /files from 127.0.0.1, "));
    EXPECT_TRUE(service.waitForLogLine("under 1024 bytes/s"));
    EXPECT_TRUE(service.waitForLogLine("closed a slow body: POST /account from 127.0.0.2"));
    EXPECT_TRUE(service.waitForLogLine("not whole within 3 s"));
    // One line each: the cut is not reported again as an answer that was never sent.
    EXPECT_EQ(linesContaining(service, "closed a slow body"), 2u);
    EXPECT_EQ(linesContaining(service, "closed mid-body"), 0u);
    EXPECT_TRUE(emptyWithin(service.dataDirectory() / "incoming", 5s));
    EXPECT_EQ(filesIn(service.dataDirectory() / "drops").size(), 1u);
}

TEST(Pace, StalledUploadsAreLimitedPerAccountAndAddressAndLeaveNoPartialFiles)
{
    RunningService service(quickPace);
    const Credentials first = registerAccount(service);
    const Credentials second = registerAccount(service);
    const Credentials third = registerAccount(service);
    const std::string part(200'000, 's');
    const std::string expect = "Expect: 100-continue\r\n";

    // Eight uploads of each of two accounts from one address, each past its head (the 100 says
    // so), with part of its body sent.
    std::vector<std::unique_ptr<RawConnection>> stalled;
    for (const Credentials* user : {&first, &second}) {
        for (unsigned i = 0; i < UploadRoute::kUploadsPerAccount; ++i) {
            stalled.push_back(std::make_unique<RawConnection>(service.port()));
            ASSERT_TRUE(stalled.back()->send(uploadHead(*user, 1'000'000, expect)));
            const std::string goAhead = stalled.back()->receive("\r\n\r\n");
            ASSERT_EQ(goAhead.rfind("HTTP/1.1 100", 0), 0u) << goAhead;
            ASSERT_TRUE(stalled.back()->send(part));
        }
    }
    ASSERT_EQ(stalled.size(), UploadRoute::kUploadsPerAddress);
    // A ninth of the first account, even from elsewhere, and a first of a third account from the
    // same address are refused from their heads, with when to try again; the third account from
    // another address is let through.
    const auto headAnswer = [&](const Credentials& user, const std::string& from) {
        RawConnection connection(service.port(), from);
        connection.send(uploadHead(user, 1'000'000, expect));
        return connection.receive("\r\n\r\n");
    };
    for (const std::string& refused : {headAnswer(first, "127.0.0.2"), headAnswer(third, "127.0.0.1")}) {
        EXPECT_EQ(refused.rfind("HTTP/1.1 429", 0), 0u) << refused;
        EXPECT_NE(refused.find("Retry-After: "), std::string::npos) << refused;
    }
    const std::string elsewhere = headAnswer(third, "127.0.0.3");
    EXPECT_EQ(elsewhere.rfind("HTTP/1.1 100", 0), 0u) << elsewhere;

    // The partial files exist while the uploads stall, and go when they are cut.
    EXPECT_FALSE(filesIn(service.dataDirectory() / "incoming").empty());
    for (auto& connection : stalled)
        EXPECT_TRUE(connection->closedByPeer(15s));
    EXPECT_TRUE(emptyWithin(service.dataDirectory() / "incoming", 5s));
    EXPECT_TRUE(filesIn(service.dataDirectory() / "drops").empty());
    EXPECT_TRUE(service.waitForLogLine("closed a slow body: POST /files"));
    EXPECT_GE(linesContaining(service, "closed a slow body: POST /files"), UploadRoute::kUploadsPerAddress);

    // Their slots are free again.
    auto after = upload(service, first, {"after the stall"});
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 201);
}

TEST(Pace, ARegistrationBurstQueuesForItsWorkerAndASignInIsNotBehindIt)
{
    // The real hash cost, so that the burst is long enough to get in the way.
    RunningService service([](ServerOptions& options) {
        options.passwordIterations = PasswordHasher::kDefaultIterations;
        options.registrationQueue = 4;
    });
    const Credentials user = registerAccount(service);

    using Clock = std::chrono::steady_clock;
    struct Outcome {
        std::string head;
        Clock::time_point at;
    };
    std::mutex mutex;
    std::vector<Outcome> outcomes;
    std::atomic<int> busy{0};
    std::vector<std::thread> burst;
    for (int i = 0; i < 20; ++i) {
        burst.emplace_back([&, i] {
            RawConnection connection(service.port(), "127.0.0." + std::to_string(2 + i % 4));
            const std::string body = "{\"email\":\"burst" + std::to_string(i) + "@example.org\",\"password\":\"pass word\"}";
            connection.send("POST /account HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                            + std::to_string(body.size()) + "\r\n\r\n" + body);
            const std::string answer = connection.receive("\r\n\r\n", 60s);
            if (answer.rfind("HTTP/1.1 503", 0) == 0)
                ++busy;
            std::lock_guard lock(mutex);
            outcomes.push_back({answer, Clock::now()});
        });
    }
    // Once the queue is full, the owner of an account signs in.
    for (int wait = 0; wait < 600 && busy == 0; ++wait)
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(busy.load(), 0);
    auto me = service.client().Get("/users/me", basicAuthorization(user));
    const auto signedIn = Clock::now();
    for (auto& thread : burst)
        thread.join();
    ASSERT_TRUE(me);
    EXPECT_EQ(me->status, 200);

    Clock::time_point lastCreated{};
    int created = 0;
    for (const Outcome& outcome : outcomes) {
        if (outcome.head.rfind("HTTP/1.1 201", 0) == 0) {
            ++created;
            lastCreated = std::max(lastCreated, outcome.at);
        } else {
            EXPECT_EQ(outcome.head.rfind("HTTP/1.1 503", 0), 0u) << outcome.head;
            EXPECT_NE(outcome.head.find("Retry-After: "), std::string::npos) << outcome.head;
        }
    }
    // One worker and four waiting: the rest is refused, and the sign-in came before the queue cleared.
    EXPECT_GE(created, 2);
    EXPECT_LE(created, 20 - busy.load());
    EXPECT_GT(busy.load(), 0);
    EXPECT_LT(signedIn, lastCreated);
}

} // namespace
