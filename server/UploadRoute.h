#pragma once

#include "server/ServiceContext.h"

#include "server/HttpServer.h"
#include "server/Slots.h"

#include <memory>
#include <optional>
#include <string>

// POST /files: the raw body becomes a drop. It is streamed into a temporary file and committed
// only when complete, so an upload cut short leaves nothing behind. Everything that can be refused
// from the head (credentials, file name, announced size, uploads in progress) is, once, before the
// client sends the body.
class UploadRoute {
public:
    static constexpr const char* kPath = "/files";

    explicit UploadRoute(ServiceContext& context)
        : m_context(context)
    {
    }
    void install(HttpServer& server);

    // A few uploads at once per account and per address, so stalled ones cannot pile up.
    static constexpr unsigned kUploadsPerAccount = 8;
    static constexpr unsigned kUploadsPerAddress = 16;

private:
    class Receiver;
    struct Accepted {
        Account account;
        std::string title;
        double pixelDensity = 1.0;
        std::optional<std::int64_t> expiresIn; // seconds, capped
    };
    // Everything that can be checked from the headers. Sets the error response on refusal.
    std::optional<Accepted> check(const httplib::Request& request, httplib::Response& response);
    // A receiver for the body, holding the upload's slots; none, with the refusal set, to refuse it.
    std::unique_ptr<HttpServer::BodyReceiver> open(const httplib::Request& request, httplib::Response& response);
    void finish(Receiver& upload, bool whole, httplib::Response& response);
    void sendTooLarge(httplib::Response& response) const;
    void sendStorageFull(httplib::Response& response) const;
    void sendStorageUnavailable(httplib::Response& response) const;

    ServiceContext& m_context;
    Slots m_inProgress;
};
