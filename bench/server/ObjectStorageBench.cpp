// What the bucket itself takes and gives, with no service in between: one object of 1 GiB
// written from memory through S3Client (libcurl) to a local RADOS Gateway and read back, and
// small objects one after another. Benches of the service in front of a bucket compare to
// direct_bucket_mib_s.
//   bench-object-storage [MiB]
#include "CephGateway.h"
#include "server/storage/S3Client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t MiB = 1024 * 1024;

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// MiB/s of writing `total` bytes as one object, appended from memory a MiB at a time.
double writeRate(S3Client& client, const std::string& key, size_t total, const std::string& chunk)
{
    const auto start = std::chrono::steady_clock::now();
    auto upload = client.beginUpload(key);
    for (size_t written = 0; written < total; written += chunk.size())
        upload->append(chunk);
    upload->finish();
    return static_cast<double>(total) / MiB / seconds(start);
}

double readRate(S3Client& client, const std::string& key)
{
    const auto start = std::chrono::steady_clock::now();
    size_t received = 0;
    client.readObject(key, [&](std::string_view bytes) {
        received += bytes.size();
        return true;
    });
    return static_cast<double>(received) / MiB / seconds(start);
}

// The same through an ObjectReader, in the blocks an HTTP engine asks for.
double pullRate(S3Client& client, const std::string& key)
{
    const auto start = std::chrono::steady_clock::now();
    auto reader = client.openObject(key);
    std::vector<char> block(256 * 1024);
    while (reader->read(block.data(), block.size()) > 0) { }
    return static_cast<double>(reader->position()) / MiB / seconds(start);
}

} // namespace

int main(int argc, char** argv)
{
    const size_t objectMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    auto started = CephGateway::start(PARCLY_CEPH_S3_SCRIPT);
    if (!started.gateway) {
        std::fprintf(stderr, "bench-object-storage: no gateway: %s\n", started.why.c_str());
        return started.packagesMissing ? 77 : 1;
    }
    const CephGateway& gateway = *started.gateway;
    S3Config config;
    config.location = {"parcly-bench", "", gateway.endpoint, gateway.region, true};
    config.credentials = {gateway.accessKey, gateway.secretKey, {}};

    try {
        S3Client signedClient(config);
        signedClient.createBucket();
        config.signPayloads = false;
        S3Client unsignedClient(config);
        std::printf("RADOS Gateway (memstore OSD) on %s; %zu MiB objects in %zu MiB parts\n", gateway.endpoint.c_str(), objectMiB,
                    config.partSize / MiB);

        std::string chunk(MiB, '\0');
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
        const size_t total = objectMiB * MiB;
        std::vector<double> writes, unsignedWrites, reads, pulls;
        for (int round = 0; round < 3; ++round) {
            writes.push_back(writeRate(signedClient, "big", total, chunk));
            reads.push_back(readRate(signedClient, "big"));
            pulls.push_back(pullRate(signedClient, "big"));
            signedClient.deleteObject("big");
            unsignedWrites.push_back(writeRate(unsignedClient, "big", total, chunk));
            unsignedClient.deleteObject("big");
            std::printf("round %d: write %.0f MiB/s (bodies signed), %.0f MiB/s (UNSIGNED-PAYLOAD), read %.0f MiB/s (pulled %.0f MiB/s)\n",
                        round + 1, writes.back(), unsignedWrites.back(), reads.back(), pulls.back());
        }
        std::printf("direct_bucket_mib_s=%.0f\n", median(writes));
        std::printf("direct_bucket_unsigned_mib_s=%.0f\n", median(unsignedWrites));
        std::printf("direct_bucket_read_mib_s=%.0f\n", median(reads));
        std::printf("direct_bucket_pull_mib_s=%.0f\n", median(pulls));

        // Small objects one after another on kept connections: the cost of a request.
        const std::string small(4096, 'x');
        const int count = 300;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            signedClient.putObject("small/" + std::to_string(i), small);
        std::printf("direct_bucket_small_puts_per_s=%.0f\n", count / seconds(start));
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            signedClient.objectSize("small/" + std::to_string(i));
        std::printf("direct_bucket_heads_per_s=%.0f\n", count / seconds(start));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-object-storage: %s\n", error.what());
        return 1;
    }
    return 0;
}
