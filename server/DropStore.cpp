#include "server/DropStore.h"

#include <sys/statvfs.h>

#include "server/RawDelivery.h"
#include "server/ShortCode.h"
#include "server/TokenSigner.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kCodeAttempts = 16;

std::runtime_error systemError(const std::string& what, const std::filesystem::path& path)
{
    return std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

// For failures the client can do nothing about but wait: a full disk is not a fault of ours.
[[noreturn]] void throwStoreError(const std::string& what, const std::filesystem::path& path)
{
    if (errno == ENOSPC || errno == EDQUOT)
        throw StorageFull(what + " " + path.string() + ": " + std::strerror(errno));
    throw systemError(what, path);
}

void makePrivateDirectory(const std::filesystem::path& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw systemError("cannot create", path);
}

// A link is only durable once the folder holding it is synced. False with errno set on failure.
bool syncDirectory(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

// Sets the drop's row id.
void insertRow(Database::Session& session, Drop& drop)
{
    auto insert = session.prepare("INSERT INTO drops (code, account_id, title, content_type, size, pixel_density, created_at, "
                                  "image_width, image_height, expires_at, storage_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                                  "RETURNING id");
    insert.bind(1, drop.code)
        .bind(2, drop.accountId)
        .bind(3, drop.title)
        .bind(4, drop.contentType)
        .bind(5, static_cast<std::int64_t>(drop.size))
        .bind(6, drop.pixelDensity)
        .bind(7, drop.createdAt)
        .bind(8, static_cast<std::int64_t>(drop.image ? drop.image->width : 0))
        .bind(9, static_cast<std::int64_t>(drop.image ? drop.image->height : 0))
        .bind(10, drop.expiresAt);
    if (drop.storageKey.empty())
        insert.bindNull(11);
    else
        insert.bind(11, drop.storageKey);
    if (insert.step())
        drop.id = insert.integer(0);
    while (insert.step()) { } // to its end, so the statement is done before it is used again
}

constexpr const char* kDropColumns = "SELECT code, account_id, title, content_type, size, pixel_density, created_at, expires_at, "
                                     "deleted_at, id, image_width, image_height, storage_key FROM drops ";
// A drop that is neither deleted nor past its time; `deleted_at IS NULL` also picks the partial indexes.
constexpr const char* kLive = "deleted_at IS NULL AND (expires_at IS NULL OR expires_at > ?)";
// Rows the sweep takes at once, so that requests wait for the database no longer than a moment.
constexpr int kSweepBatch = 256;

Drop readDrop(const Database::Statement& row)
{
    Drop drop;
    drop.code = row.text(0);
    drop.accountId = row.integer(1);
    drop.title = row.text(2);
    drop.contentType = row.text(3);
    drop.size = static_cast<std::uint64_t>(row.integer(4));
    drop.pixelDensity = row.real(5);
    drop.createdAt = row.integer(6);
    drop.expiresAt = row.optionalInteger(7);
    drop.deletedAt = row.optionalInteger(8);
    drop.id = row.integer(9);
    if (row.integer(10) > 0 && row.integer(11) > 0)
        drop.image = ImageSize{static_cast<std::uint32_t>(row.integer(10)), static_cast<std::uint32_t>(row.integer(11))};
    if (!row.isNull(12))
        drop.storageKey = row.text(12);
    return drop;
}

} // namespace

Drop::State Drop::state(std::int64_t now) const
{
    // The sweep marks an expired drop at or after its time; an owner can only delete it before.
    if (deletedAt && (!expiresAt || *deletedAt < *expiresAt))
        return State::Deleted;
    if (expiresAt && *expiresAt <= now)
        return State::Expired;
    return deletedAt ? State::Deleted : State::Live;
}

PendingUpload::PendingUpload(int fd, std::filesystem::path path)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_file(fd)
{
}

PendingUpload::PendingUpload(const DropObjects& objects, std::unique_ptr<ObjectUpload> object)
    : m_file(-1) // never written: the bytes go to the object
    , m_objects(&objects)
    , m_object(std::move(object))
{
}

PendingUpload::~PendingUpload()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_object) {
        // An unfinished object's upload aborts itself; a finished one without its row is removed.
        if (m_objectFinished && !m_committed) {
            try {
                m_objects->remove(m_object->key());
            } catch (const S3Error&) {
                // Left for the sweep of objects no drop names.
            }
        }
        return;
    }
    if (!m_committed)
        ::unlink(m_path.c_str());
}

bool PendingUpload::appendToObject(std::span<const iovec> pieces)
{
    try {
        for (const iovec& piece : pieces) {
            const auto* data = static_cast<const char*>(piece.iov_base);
            m_size += piece.iov_len;
            m_head.keep(data, piece.iov_len);
            m_object->append(std::string_view(data, piece.iov_len));
        }
    } catch (const S3Error& error) {
        m_failed = true;
        m_failedFull = false;
        m_failure = error.what();
        return false;
    }
    return true;
}

bool PendingUpload::append(std::span<const iovec> pieces)
{
    if (m_failed)
        return false;
    if (m_object)
        return appendToObject(pieces);
    for (const iovec& piece : pieces)
        m_size += piece.iov_len;
    m_failed = !m_file.append(pieces);
    return !m_failed;
}

bool PendingUpload::flush()
{
    if (!m_failed)
        m_failed = !m_file.finish();
    return !m_failed;
}

bool PendingUpload::sync()
{
    if (m_failed || ::fsync(m_fd) != 0) {
        m_failed = true;
        return false;
    }
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    m_failed = !closed;
    return closed;
}

DropStore::DropStore(Database& database, const std::filesystem::path& dataDirectory, CodeSource codes, const DropObjects* objects)
    : m_database(database)
    , m_codes(codes ? std::move(codes) : CodeSource(shortcode::generate))
    , m_objects(objects)
    , m_drops(dataDirectory / "drops")
    , m_incoming(dataDirectory / "incoming")
{
    makePrivateDirectory(m_drops);
    makePrivateDirectory(m_incoming);
    removeLeftovers();
    m_folderSyncer = std::thread([this] { syncFolders(); });
    m_rowWriter = std::thread([this] { writeRows(); });
}

DropStore::~DropStore()
{
    {
        std::lock_guard lock(m_recordMutex);
        m_stopping = true;
    }
    m_committerWake.notify_all();
    m_folderSyncer.join();
    m_rowWriter.join();
}

void DropStore::removeLeftovers()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_incoming, error))
        std::filesystem::remove(entry.path(), error);
    for (const auto& entry : std::filesystem::directory_iterator(m_drops, error)) {
        const std::string name = entry.path().filename().string();
        // Renamed into place, then the server stopped before the row was written; or deleted,
        // and the server stopped before the bytes were removed.
        if (shortcode::isValid(name) && !bytesWanted(name))
            std::filesystem::remove(entry.path(), error);
    }
}

std::unique_ptr<PendingUpload> DropStore::beginUpload()
{
    if (m_objects)
        return std::unique_ptr<PendingUpload>(new PendingUpload(*m_objects, m_objects->begin()));
    std::string pattern = (m_incoming / "upload-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw systemError("cannot create a temporary file in", m_incoming);
    return std::unique_ptr<PendingUpload>(new PendingUpload(fd, pattern));
}

bool DropStore::codeTaken(const std::string& code)
{
    auto session = m_database.reader();
    auto query = session.prepare("SELECT 1 FROM drops WHERE code = ?");
    query.bind(1, code);
    return query.step();
}

bool DropStore::bytesWanted(const std::string& code)
{
    auto session = m_database.session();
    auto query = session.prepare("SELECT 1 FROM drops WHERE code = ? AND deleted_at IS NULL");
    query.bind(1, code);
    return query.step();
}

Drop DropStore::commit(PendingUpload& upload, Metadata metadata)
{
    if (!upload.m_object && !upload.flush())
        throwStoreError("cannot write", upload.m_path);

    Drop drop;
    drop.accountId = metadata.accountId;
    drop.title = std::move(metadata.title);
    drop.contentType = std::move(metadata.contentType);
    drop.size = upload.size();
    drop.pixelDensity = metadata.pixelDensity;
    drop.createdAt = TokenSigner::now();
    if (metadata.expiresIn)
        drop.expiresAt = drop.createdAt + *metadata.expiresIn;
    if (upload.m_object)
        return commitObject(upload, std::move(drop));
    for (int attempt = 1;; ++attempt) {
        linkUnderFreshCode(upload, drop);
        if (attempt == 1)
            drop.image = measureImage(upload.m_path, drop.contentType);
        try {
            record(drop, upload, attempt > 1);
            break;
        } catch (const DatabaseError& error) {
            if (error.isFull())
                throw StorageFull(error.what());
            // Another instance on the same database recorded the code between our check and our
            // row. The file is synced by now (a failed sync fails before the row): draw again.
            if (!error.isConstraintViolation() || attempt == kCodeAttempts)
                throw;
        }
    }
    upload.m_committed = true;
    return drop;
}

// The object is complete in the bucket before its row is written, and the row names it by its key;
// the code is drawn for the row alone, again when another instance took it meanwhile.
Drop DropStore::commitObject(PendingUpload& upload, Drop drop)
{
    try {
        upload.m_object->finish();
    } catch (const S3Error& error) {
        throw StorageUnavailable(error.what());
    }
    upload.m_objectFinished = true;
    drop.storageKey = upload.m_object->key();
    if (raw::mediaKind(drop.contentType) == raw::MediaKind::Image)
        drop.image = upload.m_head.imageSize();
    for (int attempt = 1;; ++attempt) {
        drop.code = m_codes();
        if (codeTaken(drop.code) && attempt < kCodeAttempts)
            continue;
        try {
            record(drop, upload, true);
            break;
        } catch (const DatabaseError& error) {
            if (error.isFull())
                throw StorageFull(error.what());
            if (!error.isConstraintViolation() || attempt >= kCodeAttempts)
                throw;
        }
    }
    upload.m_committed = true;
    return drop;
}

// Linked before the file is synced, so that its sync and the folder's run at once: a file under
// its code is no drop until its row exists, and one without a row is removed at start.
void DropStore::linkUnderFreshCode(PendingUpload& upload, Drop& drop)
{
    std::filesystem::path target;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kCodeAttempts)
            throw std::runtime_error("no free short code found");
        drop.code = m_codes();
        if (codeTaken(drop.code))
            continue;
        target = contentPath(drop.code);
        // link() refuses to replace an existing file, unlike rename(): of two uploads drawing the
        // same code at once, one links and the other draws again.
        if (::link(upload.m_path.c_str(), target.c_str()) == 0)
            break;
        if (errno != EEXIST)
            throwStoreError("cannot store", target);
    }
    ::unlink(upload.m_path.c_str());
    upload.m_path = target;
}

void DropStore::record(Drop& drop, PendingUpload& upload, bool fileSynced)
{
    Recording own(drop);
    {
        std::lock_guard lock(m_recordMutex);
        m_waiting.push_back(&own);
    }
    m_committerWake.notify_all();
    const bool synced = fileSynced || upload.sync();
    const int syncError = errno;
    std::unique_lock lock(m_recordMutex);
    own.fileChecked = true;
    own.fileSynced = synced;
    m_committerWake.notify_all();
    m_recorded.wait(lock, [&] { return own.done; });
    lock.unlock();
    if (!synced) {
        errno = syncError;
        throwStoreError("cannot write", upload.m_path);
    }
    if (own.error)
        std::rethrow_exception(own.error);
}

void DropStore::syncFolders()
{
    std::unique_lock lock(m_recordMutex);
    for (;;) {
        m_committerWake.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_waiting.empty())
            break;
        SyncedBatch batch;
        batch.recordings.swap(m_waiting);
        lock.unlock();
        // Objects are durable once the bucket has them: only their rows are batched.
        batch.folderSynced = m_objects || syncDirectory(m_drops);
        batch.folderError = errno;
        lock.lock();
        m_synced.push_back(std::move(batch));
        m_committerWake.notify_all();
    }
    m_foldersStopped = true;
    m_committerWake.notify_all();
}

void DropStore::writeRows()
{
    const auto filesChecked = [](const SyncedBatch& batch) {
        return std::all_of(batch.recordings.begin(), batch.recordings.end(), [](const Recording* r) { return r->fileChecked; });
    };
    std::unique_lock lock(m_recordMutex);
    for (;;) {
        m_committerWake.wait(lock, [&] { return m_synced.empty() ? m_foldersStopped : filesChecked(m_synced.front()); });
        if (m_synced.empty())
            return;
        SyncedBatch batch = std::move(m_synced.front());
        m_synced.pop_front();
        lock.unlock();
        writeBatch(batch.recordings, batch.folderSynced, batch.folderError);
        lock.lock();
        for (Recording* recording : batch.recordings)
            recording->done = true;
        m_recorded.notify_all();
    }
}

// One folder sync has made every file of the batch durable under its name; one transaction adds
// the rows of those whose own sync succeeded. A row refused on its own (a code taken meanwhile)
// fails only its upload; anything else fails the whole batch, whose rows roll back together.
void DropStore::writeBatch(const std::vector<Recording*>& batch, bool folderSynced, int folderError)
{
    try {
        if (!folderSynced) {
            errno = folderError;
            throwStoreError("cannot sync", m_drops);
        }
        auto session = m_database.session();
        Database::Transaction transaction(session);
        // A refused row must not take the others with it; a batch of one has no others, and spares
        // the savepoint's two round trips (the usual case when uploads come one at a time).
        const bool several
            = std::count_if(batch.begin(), batch.end(), [](const Recording* recording) { return recording->fileSynced; }) > 1;
        for (Recording* recording : batch) {
            if (!recording->fileSynced)
                continue;
            try {
                std::optional<Database::Savepoint> savepoint;
                if (several)
                    savepoint.emplace(session);
                insertRow(session, recording->drop);
                if (savepoint)
                    savepoint->release();
            } catch (const DatabaseError& error) {
                if (!error.isConstraintViolation())
                    throw;
                recording->error = std::current_exception();
            }
        }
        transaction.commit();
    } catch (...) {
        for (Recording* recording : batch) {
            if (!recording->error)
                recording->error = std::current_exception();
        }
    }
}

std::optional<ImageSize> DropStore::measureImage(const std::filesystem::path& file, const std::string& contentType) const
{
    if (raw::mediaKind(contentType) != raw::MediaKind::Image)
        return std::nullopt;
    return readImageSize(file);
}

void DropStore::keepImageSize(const Drop& drop)
{
    try {
        auto session = m_database.session();
        session.prepare("UPDATE drops SET image_width = ?, image_height = ? WHERE code = ?")
            .bind(1, static_cast<std::int64_t>(drop.image ? drop.image->width : 0))
            .bind(2, static_cast<std::int64_t>(drop.image ? drop.image->height : 0))
            .bind(3, drop.code)
            .step();
    } catch (const DatabaseError&) {
        // Only spares a later view the reading (a full disk, say): this view has its size.
    }
}

std::optional<Drop> DropStore::find(std::string_view code)
{
    if (!shortcode::isValid(code))
        return std::nullopt;
    Drop drop;
    bool measured = true;
    {
        auto session = m_database.reader();
        auto query = session.prepare(std::string(kDropColumns) + "WHERE code = ?");
        query.bind(1, code);
        if (!query.step())
            return std::nullopt;
        drop = readDrop(query);
        measured = !query.isNull(10);
    }
    if (!measured) {
        if (!drop.storageKey.empty())
            drop.image = m_objects && raw::mediaKind(drop.contentType) == raw::MediaKind::Image ? m_objects->measureImage(drop.storageKey)
                                                                                                : std::nullopt;
        else
            drop.image = measureImage(contentPath(drop.code), drop.contentType);
        keepImageSize(drop);
    }
    return drop;
}

std::int64_t DropStore::countForAccount(std::int64_t accountId)
{
    auto session = m_database.reader();
    auto query = session.prepare(std::string("SELECT COUNT(*) FROM drops WHERE account_id = ? AND ") + kLive);
    query.bind(1, accountId).bind(2, TokenSigner::now());
    return query.step() ? query.integer(0) : 0;
}

DropStore::Page DropStore::listForAccount(std::int64_t accountId, int limit, std::optional<std::int64_t> before)
{
    auto session = m_database.session();
    auto query = session.prepare(std::string(kDropColumns) + "WHERE account_id = ? AND id < ? AND " + kLive + " ORDER BY id DESC LIMIT ?");
    // One more than asked tells whether another page follows.
    query.bind(1, accountId)
        .bind(2, before.value_or(std::numeric_limits<std::int64_t>::max()))
        .bind(3, TokenSigner::now())
        .bind(4, std::int64_t(limit) + 1);
    Page page;
    while (query.step()) {
        if (static_cast<int>(page.drops.size()) == limit) {
            page.next = page.drops.back().id;
            break;
        }
        page.drops.push_back(readDrop(query));
    }
    return page;
}

bool DropStore::remove(std::int64_t accountId, std::string_view code)
{
    if (!shortcode::isValid(code))
        return false;
    Content content;
    {
        auto session = m_database.session();
        auto mark = session.prepare(std::string("UPDATE drops SET deleted_at = ? WHERE code = ? AND account_id = ? AND ") + kLive
                                    + " RETURNING code, storage_key");
        const std::int64_t now = TokenSigner::now();
        mark.bind(1, now).bind(2, code).bind(3, accountId).bind(4, now);
        if (!mark.step())
            return false;
        content = {mark.text(0), mark.isNull(1) ? std::string() : mark.text(1)};
        while (mark.step()) { }
    }
    removeContent({content});
    return true;
}

size_t DropStore::sweepExpired(std::int64_t now)
{
    size_t removed = 0;
    for (;;) {
        std::vector<Content> contents;
        {
            auto session = m_database.session();
            // Checked again on the row itself: an instance sweeping the same database at the same
            // time may have marked it since the inner query saw it.
            auto mark = session.prepare(
                "UPDATE drops SET deleted_at = ?1 WHERE id IN (SELECT id FROM drops WHERE deleted_at IS NULL "
                "AND expires_at IS NOT NULL AND expires_at <= ?1 LIMIT ?2) AND deleted_at IS NULL RETURNING code, storage_key");
            mark.bind(1, now).bind(2, std::int64_t(kSweepBatch));
            while (mark.step())
                contents.push_back({mark.text(0), mark.isNull(1) ? std::string() : mark.text(1)});
        }
        removeContent(contents);
        removed += contents.size();
        if (contents.size() < static_cast<size_t>(kSweepBatch))
            return removed;
    }
}

// Rows are marked first: should the server stop in between, the start (for files) or the sweep of
// objects (for the bucket) removes what is left.
void DropStore::removeContent(const std::vector<Content>& contents)
{
    bool files = false;
    for (const Content& content : contents) {
        if (!content.storageKey.empty()) {
            try {
                if (m_objects)
                    m_objects->remove(content.storageKey);
            } catch (const S3Error&) {
                // The drop is gone for everyone already; the sweep of objects no drop names
                // removes its bytes once the bucket answers again.
            }
            continue;
        }
        if (::unlink(contentPath(content.code).c_str()) != 0 && errno != ENOENT)
            throw systemError("cannot remove", contentPath(content.code));
        files = true;
    }
    if (files)
        syncDirectory(m_drops);
}

DropObjects::Swept DropStore::sweepObjects(std::int64_t cutoff)
{
    if (!m_objects)
        return {};
    return m_objects->sweep(cutoff, [this](const std::string& key) {
        auto session = m_database.reader();
        auto query = session.prepare("SELECT 1 FROM drops WHERE storage_key = ? AND deleted_at IS NULL");
        query.bind(1, key);
        return query.step();
    });
}

std::filesystem::path DropStore::contentPath(std::string_view code) const
{
    return m_drops / std::string(code);
}

std::optional<std::uint64_t> DropStore::roomForUploads() const
{
    if (m_objects)
        return std::nullopt; // a bucket has no size to ask
    // What the database needs to record a drop, and the log a while longer.
    constexpr std::uint64_t kReserve = 1024 * 1024;
    struct statvfs disk { };
    if (::statvfs(m_incoming.c_str(), &disk) != 0)
        return std::nullopt;
    const std::uint64_t available = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    return available > kReserve ? available - kReserve : 0;
}
