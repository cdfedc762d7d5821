#include "server/DropObjects.h"

#include <openssl/rand.h>

#include <sstream>
#include <stdexcept>

namespace {

std::string randomKey()
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random bytes for an object key");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key = DropObjects::kKeyPrefix;
    for (unsigned char byte : bytes) {
        key += kHex[byte >> 4];
        key += kHex[byte & 0xf];
    }
    return key;
}

} // namespace

DropObjects::DropObjects(S3Client& client)
    : m_client(client)
{
}

std::unique_ptr<ObjectUpload> DropObjects::begin() const
{
    return m_client.beginUpload(randomKey());
}

void DropObjects::remove(const std::string& key) const
{
    m_client.deleteObject(key);
}

DropObjects::PieceReader DropObjects::reader(const std::string& key) const
{
    return [client = &m_client, key](std::uint64_t offset, size_t length, std::vector<char>& into) {
        into.clear();
        into.reserve(length);
        client->readObject(
            key,
            [&into](std::string_view bytes) {
                into.insert(into.end(), bytes.begin(), bytes.end());
                return true;
            },
            S3Client::ByteRange{offset, offset + length - 1});
    };
}

std::optional<ImageSize> DropObjects::measureImage(const std::string& key) const
{
    UploadHead head;
    try {
        m_client.readObject(
            key,
            [&head](std::string_view bytes) {
                head.keep(bytes.data(), bytes.size());
                return true;
            },
            S3Client::ByteRange{0, UploadHead::kBytes - 1});
    } catch (const S3Error&) {
        return std::nullopt;
    }
    return head.imageSize();
}

DropObjects::Swept DropObjects::sweep(std::int64_t cutoff, const std::function<bool(const std::string& key)>& wanted) const
{
    Swept swept;
    for (const S3Client::MultipartEntry& upload : m_client.listMultipartUploads(kKeyPrefix)) {
        if (upload.initiated < cutoff) {
            m_client.abortMultipartUpload(upload.key, upload.uploadId);
            ++swept.uploads;
        }
    }
    std::optional<std::string> after;
    do {
        S3Client::ObjectPage page = m_client.listObjects(kKeyPrefix, after);
        for (const S3Client::ObjectEntry& object : page.objects) {
            if (object.lastModified < cutoff && !wanted(object.key)) {
                m_client.deleteObject(object.key);
                ++swept.objects;
            }
        }
        after = page.next;
    } while (after);
    return swept;
}

void DropObjects::probe() const
{
    m_client.listObjects(kKeyPrefix, std::nullopt, 1);
}

void UploadHead::keep(const char* data, size_t size)
{
    if (m_bytes.size() < kBytes)
        m_bytes.append(data, std::min(size, kBytes - m_bytes.size()));
}

std::optional<ImageSize> UploadHead::imageSize() const
{
    std::istringstream in(m_bytes);
    return readImageSize(in);
}
