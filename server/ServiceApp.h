#pragma once

#include "server/HealthMonitor.h"
#include "server/RequestLog.h"
#include "server/ServerOptions.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

class AccountStore;
class ApiRoutes;
class Authenticator;
class Database;
class DropObjects;
class DropRoutes;
class S3Client;
class DropStore;
class ExpirySweeper;
class HttpServer;
class Pages;
class TokenSigner;
class UploadRoute;
class WebRoutes;
struct ServiceContext;

// The database or the storage could not be opened or reached at start.
class BackendUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The database could not be opened, reached or brought up to date.
class DatabaseUnavailable : public BackendUnavailable {
public:
    using BackendUnavailable::BackendUnavailable;
};

// The whole service: opens the data folder, binds the listening socket and wires the routes.
// Once constructed it is bound (so port() is known); run() serves until stop().
class ServiceApp {
public:
    // Throws std::runtime_error when the data folder, the TLS files or the listening address
    // cannot be used, DatabaseUnavailable when the database cannot. Request log lines go to `logSink`, else standard error.
    // Ignores SIGPIPE for the whole process, as any server must.
    explicit ServiceApp(ServerOptions options, RequestLog::Sink logSink = {});
    ~ServiceApp();
    ServiceApp(const ServiceApp&) = delete;
    ServiceApp& operator=(const ServiceApp&) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:PORT" (https with TLS): where the service actually listens.
    std::string listeningUrl() const;
    const std::string& publicUrl() const;
    const ServerOptions& options() const { return m_options; }

    // Blocks while serving (requests are taken from construction on). Returns after stop(),
    // once requests in progress have finished.
    void run();
    // Safe from any thread, before, during or after run().
    void stop();

private:
    void openDatabase();
    // The bucket, when drops go to one; throws BackendUnavailable when it does not answer.
    void openStorage();
    void configure();
    std::vector<HealthMonitor::Probe> healthProbes();

    ServerOptions m_options;
    int m_lockFd = -1;
    RequestLog m_log;
    std::unique_ptr<Database> m_database;
    std::unique_ptr<S3Client> m_bucket;
    std::unique_ptr<DropObjects> m_objects;
    std::unique_ptr<AccountStore> m_accounts;
    std::unique_ptr<DropStore> m_drops;
    std::unique_ptr<ExpirySweeper> m_sweeper;
    std::unique_ptr<TokenSigner> m_tokens;
    std::unique_ptr<Authenticator> m_authenticator;
    std::unique_ptr<Pages> m_pages;
    std::unique_ptr<ServiceContext> m_context;
    std::unique_ptr<HealthMonitor> m_health;
    std::unique_ptr<ApiRoutes> m_api;
    std::unique_ptr<UploadRoute> m_upload;
    std::unique_ptr<DropRoutes> m_dropRoutes;
    std::unique_ptr<WebRoutes> m_web;
    std::unique_ptr<HttpServer> m_server;
    int m_port = 0;

    std::mutex m_stateMutex;
    std::condition_variable m_stopped;
    bool m_stopRequested = false;
};
