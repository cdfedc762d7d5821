#pragma once

#include "server/ServiceContext.h"

#include "server/HttpServer.h"
#include "server/Slots.h"

#include <optional>
#include <string>

// POST /files: the raw body becomes a drop. It is streamed into a temporary file and committed
// only when complete, so an upload cut short leaves nothing behind.
class UploadRoute {
public:
    static constexpr const char* kPath = "/files";

    explicit UploadRoute(ServiceContext& context)
        : m_context(context)
    {
    }
    void install(HttpServer& server);

    // For "Expect: 100-continue": answers what can be refused before the body is sent
    // (credentials, file name, announced size). 100 to go on, else the status set in `response`.
    // Also takes the upload's slots (of its account and its address) into `hold`: a few uploads
    // at once each, so stalled ones cannot pile up memory and threads.
    int expectContinue(const httplib::Request& request, httplib::Response& response, std::shared_ptr<void>& hold);

    static constexpr unsigned kUploadsPerAccount = 8;
    static constexpr unsigned kUploadsPerAddress = 16;

private:
    struct Accepted {
        Account account;
        std::string title;
        double pixelDensity = 1.0;
        std::optional<std::int64_t> expiresIn; // seconds, capped
    };
    // Everything that can be checked from the headers. Sets the error response on refusal.
    std::optional<Accepted> check(const httplib::Request& request, httplib::Response& response);
    void upload(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void sendTooLarge(httplib::Response& response) const;
    void sendStorageFull(httplib::Response& response) const;

    ServiceContext& m_context;
    Slots m_inProgress;
};
