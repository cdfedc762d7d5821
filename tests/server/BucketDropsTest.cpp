// The service keeping drops' bytes in a real S3-compatible bucket (Ceph's RADOS Gateway, started
// once for the program), its accounts in SQLite: uploads stream into objects, pages and /raw read
// them back (whole, ranged, with the same headers as files), deletion removes the object, and
// what a stopped server left in the bucket is swept.
#include "CephGateway.h"
#include "ServerHarness.h"

#include "server/storage/S3Client.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include <cstdlib>
#include <set>

namespace {

constexpr size_t MiB = 1024 * 1024;

std::string pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

std::string patternBytes(size_t count)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    return bytes;
}

class BucketDropsTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_outcome = new CephGateway::Outcome(CephGateway::start(PARCLY_CEPH_S3_SCRIPT));
        if (!s_outcome->gateway)
            return;
        const CephGateway& gateway = *s_outcome->gateway;
        ::setenv("AWS_ACCESS_KEY_ID", gateway.accessKey.c_str(), 1);
        ::setenv("AWS_SECRET_ACCESS_KEY", gateway.secretKey.c_str(), 1);
        try {
            bucket().createBucket();
        } catch (const std::exception& error) {
            s_outcome->why = std::string("cannot make the test bucket: ") + error.what();
            s_outcome->gateway.reset();
        }
    }
    static void TearDownTestSuite()
    {
        delete s_outcome;
        s_outcome = nullptr;
    }
    void SetUp() override
    {
        if (s_outcome->packagesMissing)
            GTEST_SKIP() << "Ceph's RADOS Gateway is not installed (scripts/install-deps): " << s_outcome->why;
        ASSERT_TRUE(s_outcome->gateway) << "the S3 gateway did not start: " << s_outcome->why;
    }

    static S3Client bucket()
    {
        const CephGateway& gateway = *s_outcome->gateway;
        S3Config config;
        config.location = {"parcly-drops", "service", gateway.endpoint, gateway.region, true};
        config.credentials = {gateway.accessKey, gateway.secretKey, {}};
        return S3Client(config);
    }
    static std::string storageUrl()
    {
        const CephGateway& gateway = *s_outcome->gateway;
        return "s3://parcly-drops/service?endpoint=" + gateway.endpoint + "&region=" + gateway.region + "&path-style=1";
    }
    static std::set<std::string> objectKeys()
    {
        std::set<std::string> keys;
        for (const auto& object : bucket().listObjects("drops/").objects)
            keys.insert(object.key);
        return keys;
    }

    static CephGateway::Outcome* s_outcome;
};
CephGateway::Outcome* BucketDropsTest::s_outcome = nullptr;

TEST_F(BucketDropsTest, UploadsServeRangesDeleteAndSweepThroughTheBucket)
{
    const std::filesystem::path data = makeTemporaryFolder("bucket") / "data";
    std::string code;
    std::string liveKey;
    const std::string big = patternBytes(20 * MiB + 123); // two parts of 16 MiB at most
    {
        RunningService service(data, [](ServerOptions& options) { options.storage = storageUrl(); });
        const Credentials account = registerAccount(service);

        const auto image = upload(service, account, {pngBytes(640, 480), "shot.png", "image/png"});
        ASSERT_TRUE(image);
        ASSERT_EQ(image->status, 201) << image->body;
        const auto large = upload(service, account, {big, "big.bin"});
        ASSERT_TRUE(large);
        ASSERT_EQ(large->status, 201) << large->body;
        code = jsonObject(large->body).value("code").toString().toStdString();
        const std::string imageCode = jsonObject(image->body).value("code").toString().toStdString();

        // In the bucket under keys of their own, and nothing in the data folder.
        EXPECT_EQ(objectKeys().size(), 2u);
        EXPECT_TRUE(filesIn(data / "drops").empty());

        // The image's size was taken from its first bytes on the way in.
        const auto page = service.client().Get("/" + imageCode);
        ASSERT_TRUE(page);
        EXPECT_NE(page->body.find("640"), std::string::npos);

        const auto whole = service.client().Get("/" + code + "/raw");
        ASSERT_TRUE(whole);
        EXPECT_EQ(whole->status, 200);
        EXPECT_TRUE(whole->body == big) << whole->body.size() << " bytes";
        EXPECT_EQ(whole->get_header_value("X-Content-Type-Options"), "nosniff");
        EXPECT_NE(whole->get_header_value("Content-Security-Policy").find("sandbox"), std::string::npos);
        EXPECT_NE(whole->get_header_value("Content-Disposition").find("big.bin"), std::string::npos);
        const auto range = service.client().Get("/" + code + "/raw", {{"Range", "bytes=16777200-16777299"}});
        ASSERT_TRUE(range);
        EXPECT_EQ(range->status, 206);
        EXPECT_EQ(range->body, big.substr(16777200, 100));

        // Deleted: the row first, then the object.
        const auto removed = service.client().Delete("/drops/" + imageCode, basicAuthorization(account));
        ASSERT_TRUE(removed);
        EXPECT_EQ(removed->status, 204);
        EXPECT_EQ(service.client().Get("/" + imageCode + "/raw")->status, 410);
        const std::set<std::string> left = objectKeys();
        ASSERT_EQ(left.size(), 1u);
        liveKey = *left.begin();

        const auto health = service.client().Get("/healthz");
        ASSERT_TRUE(health);
        EXPECT_EQ(health->status, 200);
    }

    // What a server stopped mid-way leaves: an object whose row was never written, and a
    // multipart upload never finished. Swept once old enough; the live drop's object stays.
    S3Client client = bucket();
    client.putObject("drops/0123456789abcdef0123456789abcdef", "orphan");
    const std::string unfinished = client.createMultipartUpload("drops/fedcba9876543210fedcba9876543210", "application/octet-stream");
    RunningService restarted(data, [](ServerOptions& options) {
        options.storage = storageUrl();
        options.orphanAgeSeconds = 0;
        options.objectSweepIntervalSeconds = 1;
    });
    EXPECT_TRUE(restarted.waitForLogLine("1 unfinished uploads, 1 objects without a drop", std::chrono::seconds(20)));
    EXPECT_EQ(objectKeys(), std::set<std::string>{liveKey});
    EXPECT_TRUE(client.listMultipartUploads("drops/").empty());
    const auto again = restarted.client().Get("/" + code + "/raw", {{"Range", "bytes=0-9"}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, big.substr(0, 10));
    (void)unfinished;
}

TEST_F(BucketDropsTest, AnUnreachableBucketStopsTheStartWithOneLine)
{
    ServerOptions options = testOptions(makeTemporaryFolder("nobucket") / "data");
    options.storage = "s3://parcly-drops?endpoint=http://127.0.0.1:9&region=default&path-style=1";
    try {
        ServiceApp app(options);
        FAIL() << "started without its bucket";
    } catch (const BackendUnavailable& error) {
        EXPECT_NE(std::string(error.what()).find("cannot use the storage s3://parcly-drops at http://127.0.0.1:9"), std::string::npos)
            << error.what();
    }
}

} // namespace
