#pragma once

#include "server/Database.h"
#include "server/DropObjects.h"
#include "server/FileAppender.h"
#include "server/ImageSize.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// An upload that could not be stored for lack of space: the client may try again later.
class StorageFull : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An upload that could not be stored because the storage does not answer (the bucket is
// unreachable, say): nothing the client did; it may try again later.
class StorageUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Drop {
    std::string code;
    std::int64_t accountId = 0;
    std::string title; // the file name as the client sent it; never used as a path
    std::string contentType;
    std::uint64_t size = 0;
    double pixelDensity = 1.0;
    std::int64_t createdAt = 0;
    std::optional<std::int64_t> expiresAt; // none: kept until deleted
    std::optional<std::int64_t> deletedAt; // when its owner deleted it, or the sweep removed it
    std::int64_t id = 0; // the row's, in upload order

    enum class State { Live, Deleted, Expired };
    // A drop expires at its time whether or not the sweep has removed its bytes yet.
    State state(std::int64_t now) const;
    std::optional<ImageSize> image; // an image drop's pixel size, when its header could be read
    std::string storageKey; // its object's in the bucket; empty: a file named by its code
};

// The bytes of an upload on their way to storage: a private temporary file in the store's
// "incoming" folder, or an object being uploaded to the bucket; removed again unless the store
// commits it.
class PendingUpload {
public:
    ~PendingUpload();
    PendingUpload(const PendingUpload&) = delete;
    PendingUpload& operator=(const PendingUpload&) = delete;

    // False once writing failed (a full disk, a bucket that does not answer); the upload is then
    // useless, and failure() says why.
    bool append(std::span<const iovec> pieces);
    std::uint64_t size() const { return m_size; }
    const std::string& failure() const { return m_failure; }
    // Whether it failed for lack of space (the client may try later) rather than storage that
    // does not answer.
    bool failedFull() const { return m_failedFull; }

private:
    friend class DropStore;
    PendingUpload(int fd, std::filesystem::path path);
    PendingUpload(const DropObjects& objects, std::unique_ptr<ObjectUpload> object);
    bool appendToObject(std::span<const iovec> pieces);
    bool flush();
    bool sync(); // fsyncs and closes

    int m_fd = -1;
    std::filesystem::path m_path;
    FileAppender m_file;
    std::uint64_t m_size = 0;
    bool m_failed = false;
    bool m_committed = false;
    std::string m_failure;
    bool m_failedFull = true;

    const DropObjects* m_objects = nullptr;
    std::unique_ptr<ObjectUpload> m_object;
    UploadHead m_head;
    bool m_objectFinished = false;
};

// Drops: contents as files named by code under "drops/" (or as objects in a bucket, see
// DropObjects), metadata as rows. A drop exists once its row does, and its row is only written
// after its bytes are complete and durable.
class DropStore {
public:
    // Draws a fresh short code; shortcode::generate() but in tests.
    using CodeSource = std::function<std::string()>;

    // Makes the folders and removes what an interrupted run left behind: temporary uploads, and
    // content files that never got their row.
    // With `objects`, bytes go to the bucket; the folder then holds no drop.
    DropStore(Database& database, const std::filesystem::path& dataDirectory, CodeSource codes = {}, const DropObjects* objects = nullptr);
    ~DropStore();
    DropStore(const DropStore&) = delete;
    DropStore& operator=(const DropStore&) = delete;

    std::unique_ptr<PendingUpload> beginUpload();

    struct Metadata {
        std::int64_t accountId = 0;
        std::string title;
        std::string contentType;
        double pixelDensity = 1.0;
        std::optional<std::int64_t> expiresIn; // seconds after creation
    };
    // Syncs the upload to disk, gives it a fresh code and records it; returns once all of that is
    // durable. Throws on failure (StorageFull when the disk is full), in which case nothing of the
    // upload remains. Uploads committed at the same time share their folder sync and database commit.
    Drop commit(PendingUpload& upload, Metadata metadata);

    // Any drop ever made, live or not (see Drop::state). A drop stored before image sizes were
    // kept has its size read here, once, and kept.
    std::optional<Drop> find(std::string_view code);
    // Live drops only.
    std::int64_t countForAccount(std::int64_t accountId);

    struct Page {
        std::vector<Drop> drops;
        std::optional<std::int64_t> next; // `before` for the page after this one; none on the last
    };
    // The account's live drops, newest first, from just before the drop `before` names (a drop's
    // id) on.
    Page listForAccount(std::int64_t accountId, int limit, std::optional<std::int64_t> before);

    // Deletes one of the account's live drops: its row is marked, then its bytes are removed.
    // False when the account has no such live drop.
    bool remove(std::int64_t accountId, std::string_view code);
    // Removes the bytes of drops that have expired by `now` and marks their rows; how many.
    size_t sweepExpired(std::int64_t now);
    std::filesystem::path contentPath(std::string_view code) const;
    // Where a drop's bytes are when they are kept in the bucket; none when they are in a file.
    const DropObjects* objects() const { return m_objects; }
    // Removes what a stopped server left in the bucket, older than `cutoff` (seconds since 1970):
    // multipart uploads never finished, and objects no live drop names. Nothing without a bucket.
    DropObjects::Swept sweepObjects(std::int64_t cutoff);

    const std::filesystem::path& incomingDirectory() const { return m_incoming; }
    // Bytes an upload may still take on the data disk, a reserve for the database and the log
    // kept back; nullopt when the disk cannot be asked, or the drops go to a bucket.
    std::optional<std::uint64_t> roomForUploads() const;

private:
    // A drop linked under its code, waiting for its file's sync (made by its upload), the folder
    // sync and the row that make it durable.
    struct Recording {
        explicit Recording(Drop& recorded)
            : drop(recorded)
        {
        }
        Drop& drop; // its row id is set when the row is written
        bool fileChecked = false; // its upload's fsync returned...
        bool fileSynced = false; // ...successfully
        std::exception_ptr error; // why its row was not written
        bool done = false;
    };

    void removeLeftovers();
    bool codeTaken(const std::string& code);
    // Whether the row of `code` exists and its bytes are still wanted.
    bool bytesWanted(const std::string& code);
    struct Content {
        std::string code;
        std::string storageKey;
    };
    void removeContent(const std::vector<Content>& contents);
    Drop commitObject(PendingUpload& upload, Drop drop);
    std::optional<ImageSize> measureImage(const std::filesystem::path& file, const std::string& contentType) const;
    void keepImageSize(const Drop& drop);
    // Links the upload's file under a code no drop has yet; the code goes into `drop`.
    void linkUnderFreshCode(PendingUpload& upload, Drop& drop);
    // Syncs the upload's file (unless that was done already) while the committer syncs the
    // folder, then waits for the row. Throws why the drop could not be made durable.
    void record(Drop& drop, PendingUpload& upload, bool fileSynced);
    // The two stages of the committer, each on a thread of its own so that one batch's folder
    // sync runs beside the previous batch's transaction.
    void syncFolders();
    void writeRows();
    void writeBatch(const std::vector<Recording*>& batch, bool folderSynced, int folderError);

    Database& m_database;
    CodeSource m_codes;
    const DropObjects* m_objects;
    std::filesystem::path m_drops;
    std::filesystem::path m_incoming;

    // Drops are made durable in batches: everything linked while the previous folder sync ran
    // shares the next one and then one transaction, and the uploads' own file syncs run beside it.
    struct SyncedBatch {
        std::vector<Recording*> recordings;
        bool folderSynced = false;
        int folderError = 0;
    };
    std::mutex m_recordMutex;
    std::condition_variable m_committerWake;
    std::condition_variable m_recorded;
    std::vector<Recording*> m_waiting; // linked, their folder not synced since
    std::deque<SyncedBatch> m_synced; // in order, waiting for their rows
    bool m_stopping = false;
    bool m_foldersStopped = false;
    std::thread m_folderSyncer;
    std::thread m_rowWriter;
};
