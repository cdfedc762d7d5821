#pragma once

#include "server/DropStore.h"
#include "server/Json.h"
#include "server/ServiceContext.h"

#include "server/HttpServer.h"

#include <string>

// The signed-in account's drops: GET /drops lists them newest first, a page at a time; DELETE
// /drops/CODE deletes one. Signed in as for /users/me, with the same throttles and token.
class DropRoutes {
public:
    explicit DropRoutes(ServiceContext& context)
        : m_context(context)
    {
    }
    void install(HttpServer& server);

    static bool isDropPath(const std::string& path);
    // A DELETE carries no body: refused from its head when it announces one.
    static int expectDelete(const httplib::Request& request, httplib::Response& response);

    static constexpr int kDefaultLimit = 20;
    static constexpr int kMaximumLimit = 100;

private:
    void list(const httplib::Request& request, httplib::Response& response);
    void remove(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);

    ServiceContext& m_context;
};

// A drop as the API describes it, in the list and in the upload's answer.
json::Object describeDrop(const Drop& drop, const std::string& publicUrl);
