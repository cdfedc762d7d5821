#pragma once

#include "server/Database.h"
#include "server/storage/S3Client.h"
#include "server/storage/StorageUrl.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Copies a service's accounts and drops to new backends (from SQLite and a folder to PostgreSQL
// and a bucket, typically), keeping every short code, so links made before keep working. Each
// drop's bytes are written, then read back and checked against the source's size and SHA-256,
// and only then is its row written: a drop never exists at the target without its verified bytes.
// Run again, it skips what is already there and goes on where it stopped.
class ServiceMove {
public:
    struct Counts {
        size_t accountsCopied = 0;
        size_t accountsPresent = 0; // at the target already (an earlier run, or registered there)
        size_t dropsCopied = 0;
        std::uint64_t bytesCopied = 0;
        size_t dropsPresent = 0;
        size_t dropsGone = 0; // deleted or expired: copied as rows, so their codes stay taken
        std::vector<std::string> failures; // one line per drop that could not be moved
    };

    // The source is only read. `progress` gets a line now and then.
    ServiceMove(Database& from, const StorageUrl& fromStorage, Database& to, const StorageUrl& toStorage,
                std::function<void(const std::string&)> progress = {});
    ~ServiceMove();

    Counts run();

    // Where drops' bytes are on one side: a folder or a bucket.
    class Bytes;

private:
    void copySigningKey();
    std::int64_t targetAccount(std::int64_t sourceId, Counts& counts);
    void copyDrops(Counts& counts);

    Database& m_from;
    Database& m_to;
    std::unique_ptr<Bytes> m_source;
    std::unique_ptr<Bytes> m_target;
    std::function<void(const std::string&)> m_progress;
    std::vector<std::pair<std::int64_t, std::int64_t>> m_accountIds; // source id -> target id, sorted
};
