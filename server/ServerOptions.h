#pragma once

#include "server/PasswordHasher.h"
#include "server/database/DatabaseUrl.h"
#include "server/storage/StorageUrl.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct ServerOptions {
    std::string listenHost = "127.0.0.1";
    int listenPort = 8787; // 0: any free port
    std::filesystem::path dataDirectory;
    // --database: `sqlite:PATH` or a PostgreSQL URI; empty: the data folder's SQLite file.
    std::string database;
    // --storage: `file:PATH` or `s3://BUCKET[/PREFIX]?endpoint=URL&region=NAME`; empty: the data folder.
    std::string storage;
    // Origin (and optional path prefix) of short links, without a trailing slash. Empty: the
    // listening address.
    std::string publicUrl;
    // Load balancers or reverse proxies in front, by address: for their connections the client is
    // the address they append to X-Forwarded-For.
    std::vector<std::string> trustedProxies;
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
    std::uint64_t maxUploadBytes = std::uint64_t(2) << 30;
    std::string clientVersion = "1.0.0";
    std::string clientDownloadUrl;
    std::string liteVersion = PARCLY_LITE_VERSION; // Parcly Lite's own feed
    unsigned passwordIterations = PasswordHasher::kDefaultIterations;
    unsigned threads = 4; // of the engine's event loop; bodies are stored by a pool of workers besides
    // A body must average this many bytes a second over each window; /account bodies must be
    // whole within the short deadline. Settable (hidden) so tests need not wait half a minute.
    std::uint64_t bodyMinimumRate = 1024;
    unsigned bodyWindowSeconds = 30;
    unsigned shortBodyDeadlineSeconds = 5;
    // The longest a drop may be kept when its upload asks for an expiry; 0: no cap.
    std::uint64_t maxExpirySeconds = 0;
    // How often expired drops' bytes are removed. Settable (hidden) so tests need not wait a minute.
    unsigned sweepIntervalSeconds = 60;
    // What a stopped server left in the bucket (an object without its row, an unfinished multipart
    // upload) is looked for this often, and removed once it is this old: an upload in progress on
    // another instance is never older than a day. Settable (hidden) for tests.
    unsigned objectSweepIntervalSeconds = 3600;
    unsigned orphanAgeSeconds = 86400;
    // Registrations whose hash waits for a worker; more are refused until the queue clears.
    unsigned registrationQueue = 8;

    bool tls() const { return !tlsCertificate.empty(); }
    // Throws std::invalid_argument when `database` is malformed.
    database::DatabaseUrl databaseUrl() const;
    // Throws StorageUrlError when `storage` is malformed.
    StorageUrl storageUrl() const;

    // $XDG_DATA_HOME/parcly-server, or ~/.local/share/parcly-server.
    static std::filesystem::path defaultDataDirectory();
};

// `migrate`: from the service's current backends to new ones. Empty `from`s: --data's.
struct MoveOptions {
    std::string from;
    std::string fromStorage;
    std::string to;
    std::string toStorage;
};

struct ParsedCommandLine {
    enum class Action { Run, RotateSigningKey, Migrate, Help, Version, Fail };
    Action action = Action::Run;
    ServerOptions options;
    MoveOptions move;
    std::string error; // for Fail
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);
std::string usage();

// "host:port", "[v6]:port" or a bare port (on loopback). Nothing when malformed.
std::optional<std::pair<std::string, int>> parseListenAddress(const std::string& value);
