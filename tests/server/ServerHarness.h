#pragma once

#include "server/ServiceApp.h"

#include <httplib.h>

#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A fresh private folder under the test program's TMPDIR.
std::filesystem::path makeTemporaryFolder(const std::string& prefix);

// Options for a test server: a random loopback port, the given data folder, and a cheap
// password hash so that registering costs microseconds rather than a third of a second.
ServerOptions testOptions(const std::filesystem::path& dataDirectory);

// The real service, in this process, on a random loopback port, serving from its own thread.
class RunningService {
public:
    explicit RunningService(std::function<void(ServerOptions&)> adjust = {});
    // Serves an existing data folder, as a restarted server would.
    RunningService(const std::filesystem::path& dataDirectory, std::function<void(ServerOptions&)> adjust = {});
    ~RunningService();

    int port() const { return m_app->port(); }
    const std::string& publicUrl() const { return m_app->publicUrl(); }
    const std::filesystem::path& dataDirectory() const { return m_dataDirectory; }
    httplib::Client client() const;
    std::vector<std::string> logLines() const;
    // Waits (bounded) until a log line contains `part`.
    bool waitForLogLine(const std::string& part, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::filesystem::path m_dataDirectory;
    mutable std::mutex m_logMutex;
    std::vector<std::string> m_log;
    std::unique_ptr<ServiceApp> m_app;
    std::thread m_thread;
};

struct Credentials {
    std::string email;
    std::string password;
};

// Registers a new account (asserting 201) and returns its credentials.
Credentials registerAccount(const RunningService& service, const std::string& email = {}, const std::string& password = "secret pass");

httplib::Headers basicAuthorization(const Credentials& credentials);

struct UploadRequest {
    std::string bytes;
    std::string name = "file.bin";
    std::string contentType = "application/octet-stream";
    std::string query; // e.g. "?pixel_density=2.0"
};
httplib::Result upload(const RunningService& service, const Credentials& credentials, const UploadRequest& request);

QJsonObject jsonObject(const std::string& body);
std::string toBase64(const std::string& bytes);

// The files in a folder, by name.
std::vector<std::string> filesIn(const std::filesystem::path& folder);
// Whether files in `folder` can be opened for direct I/O (past the page cache).
bool takesDirectIo(const std::filesystem::path& folder);

// The status line and headers of GET `path` exactly as sent: httplib's client percent-decodes
// header values, which hides what a browser would see.
std::string responseHead(int port, const std::string& path);

// A plain TCP connection to loopback, for what no HTTP client will send: bodies cut short,
// "Expect: 100-continue" without sending the body.
class RawConnection {
public:
    // From `from` (another loopback address, say) when given.
    explicit RawConnection(int port, const std::string& from = {});
    ~RawConnection();
    bool send(const std::string& bytes);
    // What arrives until the peer closes, `until` appears, or the timeout passes.
    std::string receive(const std::string& until, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads and drops whatever arrives; true once the peer has closed (or reset) the connection.
    bool closedByPeer(std::chrono::milliseconds timeout);
    void close();

private:
    int m_fd = -1;
};
