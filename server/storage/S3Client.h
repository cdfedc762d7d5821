#pragma once

#include "server/storage/CurlHandlePool.h"
#include "server/storage/ObjectUpload.h"
#include "server/storage/StorageUrl.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A request to the bucket that failed: what() says which request and why, e.g.
// "S3 GET drops/abc (bytes 0-99) failed: 404 NoSuchKey".
class S3Error : public std::runtime_error {
public:
    S3Error(std::string request, long status, std::string code, const std::string& detail);

    const std::string& request() const { return m_request; } // "GET drops/abc"
    long status() const { return m_status; } // the HTTP status; 0 when no answer came
    const std::string& code() const { return m_code; } // S3's error code, or libcurl's reason
    bool notFound() const { return m_status == 404; }

private:
    std::string m_request;
    long m_status;
    std::string m_code;
};

struct S3Config {
    S3Location location;
    S3Credentials credentials;
    // Bytes an ObjectUpload holds before it sends them as one part: its memory ceiling. S3 wants
    // at least 5 MiB in every part but the last, and at most 10,000 parts.
    size_t partSize = 16 * 1024 * 1024;
    // Whether bodies are signed with their SHA-256 (else UNSIGNED-PAYLOAD): a corrupted body is
    // then refused rather than stored, at the price of hashing every byte once.
    bool signPayloads = true;
    long connectTimeoutSeconds = 10;
    // A transfer that moves no byte for this long fails, rather than hanging a thread for ever.
    long stallTimeoutSeconds = 60;
};

class ObjectReader;

// A client of one S3-compatible bucket (and prefix). Keys given to and returned by it are
// relative to the location's prefix. Requests are signed by libcurl (SigV4); connections are kept
// between requests. Every member may be called from any number of threads at once. Failures
// throw S3Error.
class S3Client {
public:
    // Throws std::invalid_argument for a part size S3 would refuse.
    explicit S3Client(S3Config config);
    ~S3Client();
    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    const S3Config& config() const { return m_config; }

    // Makes the bucket; one that is already ours is fine. For tests and first set-up.
    void createBucket();

    // Stores a small object in one request.
    void putObject(const std::string& key, std::string_view bytes, const std::string& contentType = {});

    // Stores an object of any size from bytes appended bit by bit, holding at most one part.
    std::unique_ptr<ObjectUpload> beginUpload(const std::string& key, const std::string& contentType = {});

    // The object's size; nullopt when there is no such object.
    std::optional<std::uint64_t> objectSize(const std::string& key);

    struct ByteRange {
        std::uint64_t first = 0;
        std::uint64_t last = 0; // inclusive, as in HTTP
    };
    // Receives an object's bytes as they arrive; false stops the transfer (a reader went away).
    using ByteSink = std::function<bool(std::string_view bytes)>;
    // Streams the object (or the range of it) into `sink`, never holding more than libcurl's
    // receive buffer. True when every byte was delivered, false when the sink stopped it. Throws
    // S3Error with notFound() when there is no such object, and also when the transfer broke
    // after some bytes went to the sink.
    bool readObject(const std::string& key, const ByteSink& sink, std::optional<ByteRange> range = std::nullopt);

    // Opens the object (or the range of it) to be read bit by bit, for an engine that asks for
    // the next block when its socket can take one. Returns once the answer has begun; throws
    // S3Error (notFound() when there is no such object) when it is a refusal.
    std::unique_ptr<ObjectReader> openObject(const std::string& key, std::optional<ByteRange> range = std::nullopt);

    // Removes the object; removing one that is not there is no error.
    void deleteObject(const std::string& key);

    struct ObjectEntry {
        std::string key;
        std::uint64_t size = 0;
        std::int64_t lastModified = 0; // seconds since 1970
    };
    struct ObjectPage {
        std::vector<ObjectEntry> objects;
        std::optional<std::string> next; // pass as `after` for the next page; none on the last
    };
    // Objects whose key starts with `keyPrefix`, in key order, up to `limit` (at most 1000) a page.
    ObjectPage listObjects(const std::string& keyPrefix, const std::optional<std::string>& after = std::nullopt, int limit = 1000);

    struct MultipartEntry {
        std::string key;
        std::string uploadId;
        std::int64_t initiated = 0; // seconds since 1970
    };
    // Multipart uploads begun and neither completed nor aborted under `keyPrefix`: every page.
    std::vector<MultipartEntry> listMultipartUploads(const std::string& keyPrefix = {});
    void abortMultipartUpload(const std::string& key, const std::string& uploadId);
    // The sweep of interrupted uploads: aborts those under `keyPrefix` begun before `cutoff`
    // (seconds since 1970), whose writers are gone; how many.
    size_t abortUploadsBegunBefore(std::int64_t cutoff, const std::string& keyPrefix = {});

    // The steps of a multipart upload, for ObjectUpload. Parts are numbered from 1.
    std::string createMultipartUpload(const std::string& key, const std::string& contentType);
    std::string uploadPart(const std::string& key, const std::string& uploadId, int partNumber, std::string_view bytes); // its ETag
    void completeMultipartUpload(const std::string& key, const std::string& uploadId, const std::vector<std::string>& partETags);

private:
    friend class ObjectReader;
    struct Request;
    struct Response;
    struct Transfer;
    void configure(Transfer& transfer, const Request& request) const;
    static Response conclude(Transfer& transfer, const Request& request, CURLcode result);
    Response perform(const Request& request);
    std::string url(const std::string& key, std::vector<std::pair<std::string, std::string>> query) const;
    std::string fullKey(const std::string& key) const;
    std::string relativeKey(const std::string& key) const;

    const S3Config m_config;
    CurlHandlePool m_handles;
};

// An object's bytes read on demand, over a connection of its own. At most about 256 KiB wait in
// memory; past that the transfer pauses until they are read, however long that takes. Not for use
// by two threads at once; it may outlive its client. A reader left unread for minutes may find
// that the service closed the connection, and then throws.
class ObjectReader {
public:
    ~ObjectReader();
    ObjectReader(const ObjectReader&) = delete;
    ObjectReader& operator=(const ObjectReader&) = delete;

    // Up to `maximum` bytes into `buffer`, waiting until some arrive; 0 at the end. Throws
    // S3Error when the transfer broke.
    size_t read(char* buffer, size_t maximum);
    std::uint64_t position() const { return m_position; } // bytes read so far

private:
    friend class S3Client;
    struct State;
    explicit ObjectReader(std::unique_ptr<State> state);
    // Runs the transfer until bytes wait to be read or it has ended.
    void pump();

    std::unique_ptr<State> m_state;
    std::uint64_t m_position = 0;
};
