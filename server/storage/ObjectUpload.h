#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class S3Client;

// Bytes on their way into one object. Appends are buffered up to the part size; each full
// buffer goes out as a part of a multipart upload, so memory stays at one part whatever the
// object's size. An object smaller than a part is stored with one PUT at finish(). Not for use by
// two threads at once; its client must outlive it. Dropped unfinished, it aborts the multipart
// upload.
class ObjectUpload {
public:
    ~ObjectUpload();
    ObjectUpload(const ObjectUpload&) = delete;
    ObjectUpload& operator=(const ObjectUpload&) = delete;

    // Throws S3Error when a part could not be sent; the upload is then aborted and useless.
    void append(std::string_view bytes);
    // Sends what is left and makes the object; throws S3Error (after aborting) when it cannot.
    void finish();
    // Gives up: the bucket keeps nothing of it. Throws S3Error if the service refused the abort.
    void abort();

    std::uint64_t size() const { return m_size; }
    const std::string& key() const { return m_key; }

private:
    friend class S3Client;
    ObjectUpload(S3Client& client, std::string key, std::string contentType);
    void sendPart();
    void abortQuietly() noexcept;

    S3Client& m_client;
    const std::string m_key;
    const std::string m_contentType;
    std::vector<char> m_buffer;
    std::string m_uploadId; // empty until the first part goes
    std::vector<std::string> m_partETags;
    std::uint64_t m_size = 0;
    enum class State { Open, Finished, Aborted } m_state = State::Open;
};
