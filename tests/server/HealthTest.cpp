// GET /healthz as a load balancer sees it: 200 while the backends answer, 503 naming the one that
// stopped, and 200 again once it is back; nothing in the answer but that.
#include "ServerHarness.h"

#include "server/HealthMonitor.h"

#include <gtest/gtest.h>

#include <QJsonObject>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

// The status of GET /healthz once it is `expected`, or the last one seen when it never gets there.
int waitForHealth(const RunningService& service, int expected, QJsonObject& body)
{
    int status = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto result = service.client().Get("/healthz");
        if (!result)
            return 0;
        status = result->status;
        body = jsonObject(result->body);
        if (status == expected)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return status;
}

TEST(Health, ReportsTheStorageGoneAndBackWithoutDetails)
{
    RunningService service;
    QJsonObject body;
    ASSERT_EQ(waitForHealth(service, 200, body), 200);
    EXPECT_EQ(body.value("status").toString(), "ok");
    EXPECT_EQ(body.keys().size(), 1);

    // The data folder taken away, as when its disk is unmounted.
    const std::filesystem::path data = service.dataDirectory();
    const std::filesystem::path away = data.string() + ".away";
    std::filesystem::rename(data, away);
    ASSERT_EQ(waitForHealth(service, 503, body), 503);
    EXPECT_EQ(body.value("status").toString(), "unavailable");
    EXPECT_EQ(body.value("reason").toString(), "storage not answering");
    EXPECT_TRUE(service.waitForLogLine("health: storage does not answer"));
    // The folder's name is for the operator's log, not for whoever asks.
    EXPECT_FALSE(body.value("reason").toString().contains(QString::fromStdString(data.filename().string())));

    std::filesystem::rename(away, data);
    ASSERT_EQ(waitForHealth(service, 200, body), 200);
    EXPECT_TRUE(service.waitForLogLine("health: storage answers again"));
}

} // namespace

namespace {

// A backend that stops answering without failing (a database behind a silent network): the
// probe hangs, and the answer must not stay "ok" meanwhile.
TEST(Health, ABackendWhoseProbeHangsCountsAsNotAnswering)
{
    std::mutex mutex;
    std::condition_variable released;
    bool hang = false;
    bool release = false;
    RequestLog log([](std::string_view) {});
    HealthMonitor monitor({{"database",
                            [&] {
                                std::unique_lock lock(mutex);
                                if (hang)
                                    released.wait(lock, [&] { return release; });
                            }},
                           {"storage", [] {}}},
                          log, std::chrono::milliseconds(20), std::chrono::milliseconds(200));
    EXPECT_TRUE(monitor.failing().empty());
    {
        std::lock_guard lock(mutex);
        hang = true;
    }
    bool reported = false;
    for (int attempt = 0; attempt < 200 && !reported; ++attempt) {
        reported = monitor.failing() == std::vector<std::string>{"database"};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(reported);
    {
        std::lock_guard lock(mutex);
        hang = false;
        release = true;
    }
    released.notify_all();
    bool recovered = false;
    for (int attempt = 0; attempt < 200 && !recovered; ++attempt) {
        recovered = monitor.failing().empty();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(recovered);
}

} // namespace
