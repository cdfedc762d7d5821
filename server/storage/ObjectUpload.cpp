#include "server/storage/ObjectUpload.h"

#include "server/storage/S3Client.h"

#include <algorithm>
#include <iostream>

namespace {

constexpr int maximumParts = 10000; // S3's limit
constexpr size_t smallBuffer = 256 * 1024;

} // namespace

ObjectUpload::ObjectUpload(S3Client& client, std::string key, std::string contentType)
    : m_client(client)
    , m_key(std::move(key))
    , m_contentType(std::move(contentType))
{
}

ObjectUpload::~ObjectUpload()
{
    if (m_state == State::Open)
        abortQuietly();
}

void ObjectUpload::append(std::string_view bytes)
{
    if (m_state != State::Open)
        throw std::logic_error("append to the finished or aborted upload of " + m_key);
    const size_t partSize = m_client.config().partSize;
    while (!bytes.empty()) {
        // A full part goes out only once more bytes follow it, so that an object of exactly one
        // part is stored with one PUT.
        if (m_buffer.size() == partSize)
            sendPart();
        const size_t taken = std::min(partSize - m_buffer.size(), bytes.size());
        // A small object takes a small buffer; past that, the whole part at once, since growing
        // by doubling would hold the old buffer and the new one, half again the part, meanwhile.
        if (m_buffer.size() + taken > m_buffer.capacity())
            m_buffer.reserve(m_buffer.size() + taken <= smallBuffer ? smallBuffer : partSize);
        m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
        bytes.remove_prefix(taken);
        m_size += taken;
    }
}

void ObjectUpload::sendPart()
{
    try {
        if (m_partETags.size() == static_cast<size_t>(maximumParts))
            throw S3Error("PUT " + m_key + " part " + std::to_string(maximumParts + 1), 0, "TooManyParts",
                          "the object outgrew 10,000 parts of " + std::to_string(m_client.config().partSize) + " bytes");
        if (m_uploadId.empty())
            m_uploadId = m_client.createMultipartUpload(m_key, m_contentType);
        m_partETags.push_back(m_client.uploadPart(m_key, m_uploadId, static_cast<int>(m_partETags.size() + 1),
                                                  std::string_view(m_buffer.data(), m_buffer.size())));
        m_buffer.clear();
    } catch (...) {
        abortQuietly();
        throw;
    }
}

void ObjectUpload::finish()
{
    if (m_state != State::Open)
        throw std::logic_error("finish of the finished or aborted upload of " + m_key);
    if (m_uploadId.empty()) {
        try {
            m_client.putObject(m_key, std::string_view(m_buffer.data(), m_buffer.size()), m_contentType);
        } catch (...) {
            abortQuietly();
            throw;
        }
    } else {
        if (!m_buffer.empty())
            sendPart();
        try {
            m_client.completeMultipartUpload(m_key, m_uploadId, m_partETags);
        } catch (...) {
            abortQuietly();
            throw;
        }
    }
    m_state = State::Finished;
    std::vector<char>().swap(m_buffer);
}

void ObjectUpload::abort()
{
    if (m_state != State::Open)
        return;
    m_state = State::Aborted;
    std::vector<char>().swap(m_buffer);
    if (!m_uploadId.empty())
        m_client.abortMultipartUpload(m_key, m_uploadId);
}

void ObjectUpload::abortQuietly() noexcept
{
    try {
        abort();
    } catch (const std::exception& error) {
        // The sweep of interrupted uploads removes its parts later.
        std::cerr << "parcly-server: could not abort the upload of " << m_key << ": " << error.what() << "\n";
    }
}
