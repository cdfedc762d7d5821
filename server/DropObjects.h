#pragma once

#include "server/ImageSize.h"
#include "server/storage/S3Client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Drops' bytes as objects in an S3-compatible bucket. Each object has a random key of its own
// under "drops/", recorded in its drop's row: the short code is drawn only when the row is
// written, after the object is complete, so an upload's bytes never wait for a free code and a
// code never names bytes that did not arrive.
class DropObjects {
public:
    static constexpr const char* kKeyPrefix = "drops/";

    explicit DropObjects(S3Client& client);

    S3Client& client() const { return m_client; }

    // A new object, under a key no other has.
    std::unique_ptr<ObjectUpload> begin() const;
    void remove(const std::string& key) const;

    // Reads `length` bytes from `offset` into `into`, as a drop's /raw fetches its pieces.
    using PieceReader = std::function<void(std::uint64_t offset, size_t length, std::vector<char>& into)>;
    PieceReader reader(const std::string& key) const;

    // The size of an image from its first bytes, read from the bucket (for drops whose size was
    // not taken at upload).
    std::optional<ImageSize> measureImage(const std::string& key) const;

    // Aborts multipart uploads begun before `cutoff`, and removes objects last written before
    // it that `wanted` does not claim (a server stopped between the object and its row, or
    // between a row's deletion and its object's). Seconds since 1970. Counts of each.
    struct Swept {
        size_t uploads = 0;
        size_t objects = 0;
    };
    Swept sweep(std::int64_t cutoff, const std::function<bool(const std::string& key)>& wanted) const;

    // Throws when the bucket does not answer.
    void probe() const;

private:
    S3Client& m_client;
};

// The first bytes of an upload, kept to read an image's size from without asking the bucket.
class UploadHead {
public:
    static constexpr size_t kBytes = 256 * 1024;
    void keep(const char* data, size_t size);
    std::optional<ImageSize> imageSize() const;

private:
    std::string m_bytes;
};
