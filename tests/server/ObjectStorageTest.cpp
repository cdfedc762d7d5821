// The S3 client against a real RADOS Gateway (tests/support/ceph-s3), started once for the
// program, and the --storage URL parser.
#include "CephGateway.h"
#include "server/storage/S3Client.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>

namespace {

constexpr size_t MiB = 1024 * 1024;

class ObjectStorageTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_outcome = new CephGateway::Outcome(CephGateway::start(PARCLY_CEPH_S3_SCRIPT));
        if (s_outcome->gateway) {
            try {
                S3Client(config("parcly-tests")).createBucket();
            } catch (const std::exception& error) {
                s_outcome->why = std::string("cannot make the test bucket: ") + error.what();
                s_outcome->gateway.reset();
            }
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

    static S3Config config(const std::string& bucket, const std::string& prefix = {})
    {
        const CephGateway& gateway = *s_outcome->gateway;
        S3Config config;
        config.location = {bucket, prefix, gateway.endpoint, gateway.region, true};
        config.credentials = {gateway.accessKey, gateway.secretKey, {}};
        return config;
    }

    static CephGateway::Outcome* s_outcome;
};

CephGateway::Outcome* ObjectStorageTest::s_outcome = nullptr;

// Bytes that differ at every offset, made on demand so that the test itself never holds an object.
class PatternBytes {
public:
    static char at(std::uint64_t offset) { return static_cast<char>((offset * 2654435761u) >> 13); }
    static std::string range(std::uint64_t first, std::uint64_t count)
    {
        std::string bytes(count, '\0');
        for (std::uint64_t i = 0; i < count; ++i)
            bytes[i] = at(first + i);
        return bytes;
    }
};

class Sha256 {
public:
    Sha256() { EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr); }
    void add(std::string_view bytes) { EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size()); }
    // Ends the hashing; asked again, gives the same digest.
    const std::string& digest()
    {
        if (m_digest.empty()) {
            unsigned char out[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(m_context.get(), out, &length);
            m_digest.assign(reinterpret_cast<char*>(out), length);
        }
        return m_digest;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_context{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    std::string m_digest;
};

std::uint64_t statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field))
            return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return 0;
}

// Resets the peak resident size, so VmHWM then tells the most a step took.
bool resetPeakMemory()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

} // namespace

TEST_F(ObjectStorageTest, LargeObjectStreamsThroughBoundedMemoryAndReadsBackWhole)
{
    S3Client client(config("parcly-tests", "large"));
    const std::uint64_t objectSize = 40 * MiB + 12345; // three parts, the last a short one

    if (!resetPeakMemory())
        GTEST_SKIP() << "cannot reset the peak resident size (/proc/self/clear_refs)";
    const std::uint64_t residentBefore = statusKiB("VmRSS:");

    Sha256 written;
    auto upload = client.beginUpload("forty", "application/x-pattern");
    std::string piece;
    for (std::uint64_t offset = 0; offset < objectSize; offset += piece.size()) {
        piece = PatternBytes::range(offset, std::min<std::uint64_t>(MiB - 7, objectSize - offset));
        written.add(piece);
        upload->append(piece);
    }
    upload->finish();
    EXPECT_EQ(upload->size(), objectSize);
    const std::uint64_t uploadGrowthKiB = statusKiB("VmHWM:") - residentBefore;
    // One part buffered and libcurl's buffers; never the object.
    EXPECT_LT(uploadGrowthKiB * 1024, client.config().partSize + 8 * MiB) << "grew by " << uploadGrowthKiB << " KiB";
    RecordProperty("upload_peak_growth_kib", std::to_string(uploadGrowthKiB));
    EXPECT_TRUE(client.listMultipartUploads("forty").empty()) << "the completed upload is still in progress";

    ASSERT_EQ(client.objectSize("forty"), objectSize);

    resetPeakMemory();
    const std::uint64_t residentBeforeRead = statusKiB("VmRSS:");
    Sha256 read;
    std::uint64_t received = 0;
    EXPECT_TRUE(client.readObject("forty", [&](std::string_view bytes) {
        read.add(bytes);
        received += bytes.size();
        return true;
    }));
    EXPECT_EQ(received, objectSize);
    EXPECT_EQ(read.digest(), written.digest());
    const std::uint64_t readGrowthKiB = statusKiB("VmHWM:") - residentBeforeRead;
    EXPECT_LT(readGrowthKiB * 1024, 8 * MiB) << "grew by " << readGrowthKiB << " KiB";
    RecordProperty("read_peak_growth_kib", std::to_string(readGrowthKiB));

    // The same, pulled by a reader in blocks the size an HTTP engine asks for.
    auto reader = client.openObject("forty");
    Sha256 pulled;
    std::vector<char> block(64 * 1024);
    while (const size_t count = reader->read(block.data(), block.size()))
        pulled.add(std::string_view(block.data(), count));
    EXPECT_EQ(reader->position(), objectSize);
    EXPECT_EQ(pulled.digest(), written.digest());
    EXPECT_EQ(reader->read(block.data(), block.size()), 0u);

    // A reader whose consumer pauses for longer than the stall limit (a slow browser) is not
    // taken for a stalled transfer.
    S3Config impatient = client.config();
    impatient.stallTimeoutSeconds = 1;
    auto patient = S3Client(impatient).openObject("forty");
    ASSERT_GT(patient->read(block.data(), block.size()), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    Sha256 afterPause;
    afterPause.add(std::string_view(block.data(), patient->position()));
    while (const size_t count = patient->read(block.data(), block.size()))
        afterPause.add(std::string_view(block.data(), count));
    EXPECT_EQ(afterPause.digest(), written.digest());

    // A range across the first part's end, and a reader that stops early.
    const S3Client::ByteRange range{16 * MiB - 100, 16 * MiB + 99};
    std::string ranged;
    EXPECT_TRUE(client.readObject(
        "forty",
        [&](std::string_view bytes) {
            ranged += bytes;
            return true;
        },
        range));
    EXPECT_EQ(ranged, PatternBytes::range(range.first, 200));
    auto rangeReader = client.openObject("forty", range);
    std::string pulledRange;
    char few[7];
    while (const size_t count = rangeReader->read(few, sizeof few))
        pulledRange.append(few, count);
    EXPECT_EQ(pulledRange, ranged);
    std::uint64_t beforeStop = 0;
    EXPECT_FALSE(client.readObject("forty", [&](std::string_view bytes) {
        beforeStop += bytes.size();
        return false;
    }));
    EXPECT_LT(beforeStop, objectSize);

    try {
        client.readObject(
            "forty", [](std::string_view) { return true; }, S3Client::ByteRange{objectSize + 10, objectSize + 20});
        ADD_FAILURE() << "a range past the end was served";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.status(), 416) << error.what();
    }

    client.deleteObject("forty");
    EXPECT_EQ(client.objectSize("forty"), std::nullopt);
    try {
        client.readObject("forty", [](std::string_view) { return true; });
        ADD_FAILURE() << "a deleted object was served";
    } catch (const S3Error& error) {
        EXPECT_TRUE(error.notFound()) << error.what();
        EXPECT_EQ(error.code(), "NoSuchKey");
        EXPECT_NE(std::string(error.what()).find("GET large/forty"), std::string::npos) << error.what();
    }
    try {
        client.openObject("forty");
        ADD_FAILURE() << "a deleted object was opened";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.code(), "NoSuchKey") << error.what();
    }
    client.deleteObject("forty"); // gone already: no error
}

TEST_F(ObjectStorageTest, ListsByPrefixAndFindsAndAbortsInterruptedUploads)
{
    S3Config prefixed = config("parcly-tests", "tenant/drops");
    prefixed.partSize = 5 * MiB;
    S3Client client(prefixed);
    const auto now = static_cast<std::int64_t>(std::time(nullptr));

    // Small objects from several threads at once through one client; one with a key that needs
    // encoding, one through an ObjectUpload smaller than a part.
    const std::string oddKey = "a/ü mit Leer & ?=+%.txt";
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i)
        writers.emplace_back([&client, i] { client.putObject("a/" + std::to_string(i), std::string(100 + i, 'x'), "text/plain"); });
    for (auto& writer : writers)
        writer.join();
    client.putObject(oddKey, "odd");
    auto small = client.beginUpload("b/small");
    small->append("tiny");
    small->finish();

    std::set<std::string> keys;
    std::optional<std::string> next;
    int pages = 0;
    do {
        const auto page = client.listObjects("a/", next, 2);
        for (const auto& object : page.objects) {
            keys.insert(object.key);
            EXPECT_NEAR(object.lastModified, now, 300) << object.key;
            if (object.key == "a/3") {
                EXPECT_EQ(object.size, 103u);
            }
        }
        next = page.next;
        ++pages;
    } while (next);
    EXPECT_EQ(keys, (std::set<std::string>{"a/0", "a/1", "a/2", "a/3", oddKey}));
    EXPECT_EQ(pages, 3);
    std::string odd;
    client.readObject(oddKey, [&](std::string_view bytes) {
        odd += bytes;
        return true;
    });
    EXPECT_EQ(odd, "odd");

    // The same bucket addressed virtual-host style: bucket.localhost.
    S3Config virtualHost = prefixed;
    virtualHost.location.pathStyle = false;
    virtualHost.location.endpoint.replace(virtualHost.location.endpoint.find("127.0.0.1"), 9, "localhost");
    EXPECT_EQ(S3Client(virtualHost).objectSize("b/small"), 4u);

    // An upload whose writer died after its first part, and one dropped unfinished by its owner.
    const std::string uploadId = client.createMultipartUpload("c/interrupted", "application/octet-stream");
    client.uploadPart("c/interrupted", uploadId, 1, PatternBytes::range(0, 5 * MiB));
    {
        auto dropped = client.beginUpload("c/dropped");
        dropped->append(PatternBytes::range(0, 6 * MiB)); // sends one part
    }
    const auto inProgress = client.listMultipartUploads("c/");
    ASSERT_EQ(inProgress.size(), 1u);
    EXPECT_EQ(inProgress[0].key, "c/interrupted");
    EXPECT_EQ(inProgress[0].uploadId, uploadId);
    EXPECT_NEAR(inProgress[0].initiated, now, 300);
    EXPECT_EQ(client.abortUploadsBegunBefore(now - 3600, "c/"), 0u); // still being written, for all we know
    EXPECT_EQ(client.abortUploadsBegunBefore(now + 600, "c/"), 1u);
    EXPECT_TRUE(client.listMultipartUploads().empty());
    EXPECT_TRUE(client.listObjects("c/").objects.empty());
    client.abortMultipartUpload("c/interrupted", uploadId); // aborted already: no error
}

TEST_F(ObjectStorageTest, RefusalsAndUnreachableServicesSayWhichRequestFailedAndWhy)
{
    S3Config wrong = config("parcly-tests");
    wrong.credentials.secretAccessKey = "not-the-secret";
    try {
        S3Client(wrong).putObject("denied", "x");
        ADD_FAILURE() << "a request signed with the wrong secret was accepted";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.status(), 403);
        EXPECT_EQ(error.code(), "SignatureDoesNotMatch");
        EXPECT_EQ(std::string(error.what()).rfind("S3 PUT denied failed: 403 SignatureDoesNotMatch", 0), 0u) << error.what();
    }
    wrong.credentials.accessKeyId = "NOSUCHKEY";
    try {
        S3Client(wrong).listObjects("");
        ADD_FAILURE() << "an unknown access key was accepted";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.code(), "InvalidAccessKeyId") << error.what();
    }

    S3Config missingBucket = config("no-such-bucket");
    missingBucket.partSize = 5 * MiB;
    S3Client nowhere(missingBucket);
    try {
        nowhere.putObject("x", "x");
        ADD_FAILURE() << "a put into a missing bucket succeeded";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.code(), "NoSuchBucket") << error.what();
    }
    // An upload whose first part is refused says so from append(), and is over.
    auto refused = nowhere.beginUpload("big");
    try {
        refused->append(PatternBytes::range(0, 6 * MiB));
        ADD_FAILURE() << "a part for a missing bucket was taken";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.code(), "NoSuchBucket") << error.what();
        EXPECT_NE(std::string(error.what()).find("POST new upload of big"), std::string::npos) << error.what();
    }
    EXPECT_THROW(refused->append("more"), std::logic_error);
    EXPECT_THROW(refused->finish(), std::logic_error);

    S3Config closed = config("parcly-tests");
    closed.location.endpoint = "http://127.0.0.1:1";
    try {
        S3Client(closed).objectSize("x");
        ADD_FAILURE() << "a closed port answered";
    } catch (const S3Error& error) {
        EXPECT_EQ(error.status(), 0);
        EXPECT_NE(std::string(error.what()).find("HEAD x failed"), std::string::npos) << error.what();
        EXPECT_NE(error.code().find("connect"), std::string::npos) << error.what();
    }

    S3Config tinyParts = config("parcly-tests");
    tinyParts.partSize = MiB;
    EXPECT_THROW(S3Client{tinyParts}, std::invalid_argument);
}

TEST(StorageUrlTest, ParsesFoldersAndBucketsAndSaysWhatIsWrong)
{
    const StorageUrl folder = StorageUrl::parse("file:/srv/parcly");
    EXPECT_EQ(folder.kind, StorageUrl::Kind::File);
    EXPECT_EQ(folder.path, "/srv/parcly");
    EXPECT_EQ(StorageUrl::parse("file:///srv/parcly").path, "/srv/parcly");
    EXPECT_EQ(StorageUrl::parse("file:data").path, "data");

    const StorageUrl bucket
        = StorageUrl::parse("s3://drops.example/live/v1/?region=eu-west-1&path-style=1&endpoint=http%3A%2F%2F10.0.0.5%3A7480/");
    EXPECT_EQ(bucket.kind, StorageUrl::Kind::S3);
    EXPECT_EQ(bucket.s3.bucket, "drops.example");
    EXPECT_EQ(bucket.s3.prefix, "live/v1");
    EXPECT_EQ(bucket.s3.endpoint, "http://10.0.0.5:7480");
    EXPECT_EQ(bucket.s3.region, "eu-west-1");
    EXPECT_TRUE(bucket.s3.pathStyle);
    const StorageUrl plain = StorageUrl::parse("s3://drops?endpoint=https://s3.example.net&region=us-east-1");
    EXPECT_EQ(plain.s3.prefix, "");
    EXPECT_FALSE(plain.s3.pathStyle);

    const std::pair<const char*, const char*> faults[] = {
        {"", "not a storage URL"},
        {"/srv/parcly", "not a storage URL"},
        {"gs://drops?endpoint=http://x&region=r", "unknown scheme 'gs:'"},
        {"file:", "no folder"},
        {"s3://?endpoint=http://x&region=r", "no bucket"},
        {"s3://Drops?endpoint=http://x&region=r", "'Drops' is not a bucket name"},
        {"s3://drops?region=r", "missing endpoint=URL"},
        {"s3://drops?endpoint=http://x", "missing region=NAME"},
        {"s3://drops?endpoint=ftp://x&region=r", "must start with http:// or https://"},
        {"s3://drops?endpoint=http://&region=r", "names no host"},
        {"s3://drops?endpoint=http://x&region=r&path-style=yes", "path-style must be 1 or 0"},
        {"s3://drops?endpoint=http://x&region=r&region=s", "region is given twice"},
        {"s3://drops?endpoint=http://x&region=r&secret=s", "unknown parameter 'secret'"},
        {"s3://drops?endpoint=http://x%2&region=r", "bad percent-encoding"},
        {"s3://drops?endpoint=http://10.0.0.5:7480&region=r", "add path-style=1"},
    };
    for (const auto& [text, message] : faults) {
        try {
            StorageUrl::parse(text);
            ADD_FAILURE() << "'" << text << "' was accepted";
        } catch (const StorageUrlError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << text << ": " << error.what();
        }
    }
}

TEST(StorageUrlTest, CredentialsComeFromTheEnvironment)
{
    unsetenv("AWS_ACCESS_KEY_ID");
    unsetenv("AWS_SECRET_ACCESS_KEY");
    unsetenv("AWS_SESSION_TOKEN");
    try {
        S3Credentials::fromEnvironment();
        ADD_FAILURE() << "credentials without variables";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY"), std::string::npos) << error.what();
    }
    setenv("AWS_ACCESS_KEY_ID", "id", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "secret", 1);
    setenv("AWS_SESSION_TOKEN", "token", 1);
    const S3Credentials credentials = S3Credentials::fromEnvironment();
    EXPECT_EQ(credentials.accessKeyId, "id");
    EXPECT_EQ(credentials.secretAccessKey, "secret");
    EXPECT_EQ(credentials.sessionToken, "token");
}
