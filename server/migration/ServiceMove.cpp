#include "server/migration/ServiceMove.h"

#include "server/DropObjects.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Source rows are read a page at a time, so a large service is never held in memory.
constexpr int kPage = 500;

class Sha256 {
public:
    Sha256()
        : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free)
    {
        EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
    }
    void add(std::string_view bytes)
    {
        EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size());
        m_size += bytes.size();
    }
    std::string hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_DigestFinal_ex(m_context.get(), digest, &length);
        std::string text;
        char pair[3];
        for (unsigned i = 0; i < length; ++i) {
            std::snprintf(pair, sizeof pair, "%02x", digest[i]);
            text += pair;
        }
        return text;
    }
    std::uint64_t size() const { return m_size; }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_context;
    std::uint64_t m_size = 0;
};

std::runtime_error systemError(const std::string& what, const std::filesystem::path& path)
{
    return std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

} // namespace

// Where drops' bytes are, on either side of the move.
class ServiceMove::Bytes {
public:
    using Sink = std::function<void(std::string_view)>;
    class Writer {
    public:
        virtual ~Writer() = default;
        virtual void append(std::string_view bytes) = 0;
        // Makes the bytes durable; the drop's storage key (empty for a file named by its code).
        virtual std::string finish() = 0;
    };

    virtual ~Bytes() = default;
    // Streams a drop's bytes into `sink`; throws when they cannot be read.
    virtual void read(const std::string& code, const std::string& storageKey, const Sink& sink) = 0;
    virtual std::unique_ptr<Writer> write(const std::string& code) = 0;

    static std::unique_ptr<Bytes> at(const StorageUrl& url);
};

namespace {

class FolderBytes : public ServiceMove::Bytes {
public:
    explicit FolderBytes(const std::filesystem::path& folder)
        : m_drops(folder / "drops")
        , m_incoming(folder / "incoming")
    {
    }

    void read(const std::string& code, const std::string&, const Sink& sink) override
    {
        const std::filesystem::path path = m_drops / code;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            throw systemError("cannot read", path);
        std::vector<char> buffer(1024 * 1024);
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const auto error = systemError("cannot read", path);
                ::close(fd);
                throw error;
            }
            if (n == 0)
                break;
            sink(std::string_view(buffer.data(), static_cast<size_t>(n)));
        }
        ::close(fd);
    }

    class FileWriter : public Writer {
    public:
        FileWriter(std::filesystem::path incoming, std::filesystem::path target)
            : m_target(std::move(target))
        {
            std::filesystem::create_directories(incoming);
            std::filesystem::create_directories(m_target.parent_path());
            std::string pattern = (incoming / "move-XXXXXX").string();
            m_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (m_fd < 0)
                throw systemError("cannot create a file in", incoming);
            m_path = pattern;
        }
        ~FileWriter() override
        {
            if (m_fd >= 0)
                ::close(m_fd);
            if (!m_path.empty())
                ::unlink(m_path.c_str());
        }
        void append(std::string_view bytes) override
        {
            while (!bytes.empty()) {
                const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw systemError("cannot write", m_path);
                bytes.remove_prefix(static_cast<size_t>(n));
            }
        }
        std::string finish() override
        {
            if (::fsync(m_fd) != 0 || ::close(m_fd) != 0) {
                m_fd = -1;
                throw systemError("cannot write", m_path);
            }
            m_fd = -1;
            if (::rename(m_path.c_str(), m_target.c_str()) != 0)
                throw systemError("cannot store", m_target);
            m_path.clear();
            const int folder = ::open(m_target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folder >= 0) {
                ::fsync(folder);
                ::close(folder);
            }
            return {};
        }

    private:
        std::filesystem::path m_target;
        std::filesystem::path m_path;
        int m_fd = -1;
    };

    std::unique_ptr<Writer> write(const std::string& code) override { return std::make_unique<FileWriter>(m_incoming, m_drops / code); }

private:
    std::filesystem::path m_drops;
    std::filesystem::path m_incoming;
};

class BucketBytes : public ServiceMove::Bytes {
public:
    explicit BucketBytes(const S3Location& location)
        : m_client(S3Config{location, S3Credentials::fromEnvironment()})
        , m_objects(m_client)
    {
        m_objects.probe();
    }

    void read(const std::string& code, const std::string& storageKey, const Sink& sink) override
    {
        if (storageKey.empty())
            throw std::runtime_error("drop " + code + " names no object in the bucket");
        m_client.readObject(storageKey, [&sink](std::string_view bytes) {
            sink(bytes);
            return true;
        });
    }

    class ObjectWriter : public Writer {
    public:
        explicit ObjectWriter(std::unique_ptr<ObjectUpload> upload)
            : m_upload(std::move(upload))
        {
        }
        void append(std::string_view bytes) override { m_upload->append(bytes); }
        std::string finish() override
        {
            m_upload->finish();
            return m_upload->key();
        }

    private:
        std::unique_ptr<ObjectUpload> m_upload;
    };

    std::unique_ptr<Writer> write(const std::string&) override { return std::make_unique<ObjectWriter>(m_objects.begin()); }

private:
    S3Client m_client;
    DropObjects m_objects;
};

} // namespace

std::unique_ptr<ServiceMove::Bytes> ServiceMove::Bytes::at(const StorageUrl& url)
{
    if (url.kind == StorageUrl::Kind::S3)
        return std::make_unique<BucketBytes>(url.s3);
    return std::make_unique<FolderBytes>(url.path);
}

ServiceMove::ServiceMove(Database& from, const StorageUrl& fromStorage, Database& to, const StorageUrl& toStorage,
                         std::function<void(const std::string&)> progress)
    : m_from(from)
    , m_to(to)
    , m_source(Bytes::at(fromStorage))
    , m_target(Bytes::at(toStorage))
    , m_progress(std::move(progress))
{
}

ServiceMove::~ServiceMove() = default;

ServiceMove::Counts ServiceMove::run()
{
    Counts counts;
    copySigningKey();
    copyDrops(counts);
    // Accounts without drops are moved too.
    std::int64_t after = 0;
    for (;;) {
        std::vector<std::int64_t> ids;
        {
            auto session = m_from.reader();
            auto query = session.prepare("SELECT id FROM accounts WHERE id > ? ORDER BY id LIMIT ?");
            query.bind(1, after).bind(2, std::int64_t(kPage));
            while (query.step())
                ids.push_back(query.integer(0));
        }
        for (std::int64_t id : ids)
            targetAccount(id, counts);
        if (ids.size() < static_cast<size_t>(kPage))
            break;
        after = ids.back();
    }
    return counts;
}

// Tokens the old service issued stay valid, unless the target already signs with its own key.
void ServiceMove::copySigningKey()
{
    std::string secret;
    std::int64_t createdAt = 0;
    {
        auto session = m_from.reader();
        auto query = session.prepare("SELECT secret, created_at FROM signing_key WHERE id = 1");
        if (!query.step())
            return;
        secret = query.text(0);
        createdAt = query.integer(1);
    }
    auto session = m_to.session();
    auto insert = session.prepare("INSERT INTO signing_key (id, secret, created_at) VALUES (1, ?, ?) ON CONFLICT (id) DO NOTHING");
    insert.bind(1, secret).bind(2, createdAt);
    insert.step();
}

// The account's id at the target, copying it (with its password hash and sign-in addresses) when
// the target has no account of that address yet.
std::int64_t ServiceMove::targetAccount(std::int64_t sourceId, Counts& counts)
{
    const auto known = std::lower_bound(m_accountIds.begin(), m_accountIds.end(), std::make_pair(sourceId, std::int64_t(0)));
    if (known != m_accountIds.end() && known->first == sourceId)
        return known->second;

    std::string email;
    std::string passwordHash;
    std::int64_t createdAt = 0;
    std::vector<std::pair<std::string, std::int64_t>> addresses;
    {
        auto session = m_from.reader();
        auto account = session.prepare("SELECT email, password_hash, created_at FROM accounts WHERE id = ?");
        account.bind(1, sourceId);
        if (!account.step())
            throw std::runtime_error("no account " + std::to_string(sourceId) + " in the source");
        email = account.text(0);
        passwordHash = account.text(1);
        createdAt = account.integer(2);
        while (account.step()) { }
        auto places = session.prepare("SELECT address, signed_in_at FROM sign_in_addresses WHERE account_id = ?");
        places.bind(1, sourceId);
        while (places.step())
            addresses.emplace_back(places.text(0), places.integer(1));
    }

    std::int64_t targetId = 0;
    auto session = m_to.session();
    Database::Transaction transaction(session);
    auto existing = session.prepare("SELECT id FROM accounts WHERE lower(email) = lower(?)");
    existing.bind(1, email);
    if (existing.step()) {
        targetId = existing.integer(0);
        while (existing.step()) { }
        ++counts.accountsPresent;
    } else {
        auto insert = session.prepare("INSERT INTO accounts (email, password_hash, created_at) VALUES (?, ?, ?) RETURNING id");
        insert.bind(1, email).bind(2, passwordHash).bind(3, createdAt);
        if (!insert.step())
            throw std::runtime_error("the target gave no id for the account " + email);
        targetId = insert.integer(0);
        while (insert.step()) { }
        for (const auto& [address, signedInAt] : addresses) {
            auto place = session.prepare(
                "INSERT INTO sign_in_addresses (account_id, address, signed_in_at) VALUES (?, ?, ?) ON CONFLICT DO NOTHING");
            place.bind(1, targetId).bind(2, address).bind(3, signedInAt);
            place.step();
        }
        ++counts.accountsCopied;
    }
    transaction.commit();
    m_accountIds.insert(std::upper_bound(m_accountIds.begin(), m_accountIds.end(), std::make_pair(sourceId, targetId)),
                        std::make_pair(sourceId, targetId));
    return targetId;
}

void ServiceMove::copyDrops(Counts& counts)
{
    struct Row {
        std::int64_t id = 0;
        std::string code;
        std::int64_t accountId = 0;
        std::string title;
        std::string contentType;
        std::int64_t size = 0;
        double pixelDensity = 1;
        std::int64_t createdAt = 0;
        std::optional<std::int64_t> expiresAt;
        std::optional<std::int64_t> deletedAt;
        std::optional<std::int64_t> imageWidth;
        std::optional<std::int64_t> imageHeight;
        std::string storageKey;
    };
    std::int64_t after = 0;
    size_t seen = 0;
    for (;;) {
        std::vector<Row> rows;
        {
            auto session = m_from.reader();
            auto query = session.prepare("SELECT id, code, account_id, title, content_type, size, pixel_density, created_at, expires_at, "
                                         "deleted_at, image_width, image_height, storage_key FROM drops WHERE id > ? ORDER BY id LIMIT ?");
            query.bind(1, after).bind(2, std::int64_t(kPage));
            while (query.step()) {
                rows.push_back({query.integer(0), query.text(1), query.integer(2), query.text(3), query.text(4), query.integer(5),
                                query.real(6), query.integer(7), query.optionalInteger(8), query.optionalInteger(9),
                                query.optionalInteger(10), query.optionalInteger(11), query.isNull(12) ? std::string() : query.text(12)});
            }
        }
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        for (Row& row : rows) {
            {
                auto session = m_to.reader();
                auto present = session.prepare("SELECT 1 FROM drops WHERE code = ?");
                present.bind(1, row.code);
                if (present.step()) {
                    while (present.step()) { }
                    ++counts.dropsPresent;
                    continue;
                }
            }
            const bool gone = row.deletedAt || (row.expiresAt && *row.expiresAt <= now);
            std::string storageKey;
            try {
                if (!gone) {
                    // Written, read back and compared before the row exists at the target.
                    Sha256 source;
                    auto writer = m_target->write(row.code);
                    m_source->read(row.code, row.storageKey, [&](std::string_view bytes) {
                        source.add(bytes);
                        writer->append(bytes);
                    });
                    if (source.size() != static_cast<std::uint64_t>(row.size))
                        throw std::runtime_error("the source holds " + std::to_string(source.size()) + " bytes, its row says "
                                                 + std::to_string(row.size));
                    storageKey = writer->finish();
                    Sha256 copy;
                    m_target->read(row.code, storageKey, [&](std::string_view bytes) { copy.add(bytes); });
                    const std::string sourceDigest = source.hex();
                    if (copy.size() != source.size() || copy.hex() != sourceDigest)
                        throw std::runtime_error("the copy differs from the source (" + std::to_string(copy.size()) + " bytes)");
                }
                const std::int64_t accountId = targetAccount(row.accountId, counts);
                auto session = m_to.session();
                auto insert = session.prepare(
                    "INSERT INTO drops (code, account_id, title, content_type, size, pixel_density, created_at, expires_at, deleted_at, "
                    "image_width, image_height, storage_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
                insert.bind(1, row.code)
                    .bind(2, accountId)
                    .bind(3, row.title)
                    .bind(4, row.contentType)
                    .bind(5, row.size)
                    .bind(6, row.pixelDensity)
                    .bind(7, row.createdAt)
                    .bind(8, row.expiresAt)
                    .bind(9, gone && !row.deletedAt ? std::optional<std::int64_t>(now) : row.deletedAt)
                    .bind(10, row.imageWidth)
                    .bind(11, row.imageHeight);
                if (storageKey.empty())
                    insert.bindNull(12);
                else
                    insert.bind(12, storageKey);
                insert.step();
                if (gone) {
                    ++counts.dropsGone;
                } else {
                    ++counts.dropsCopied;
                    counts.bytesCopied += static_cast<std::uint64_t>(row.size);
                }
            } catch (const std::exception& error) {
                counts.failures.push_back("drop " + row.code + ": " + error.what());
            }
        }
        seen += rows.size();
        if (m_progress && !rows.empty())
            m_progress(std::to_string(seen) + " drops looked at");
        if (rows.size() < static_cast<size_t>(kPage))
            break;
        after = rows.back().id;
    }
}
