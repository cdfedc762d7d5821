#pragma once

#include "server/HashQueue.h"
#include "server/ServiceContext.h"
#include "server/Throttle.h"

#include "server/HttpServer.h"

// The account API: POST /account registers, GET /users/me describes the signed-in account.
class ApiRoutes {
public:
    static constexpr const char* kAccountPath = "/account";

    explicit ApiRoutes(ServiceContext& context)
        : m_context(context)
        , m_hashing(0, context.options.registrationQueue)
    {
    }
    void install(HttpServer& server);
    // Decides a registration from its head alone: 100 to read its body, else the refusal's status
    // (the response holds it).
    int expectAccount(const httplib::Request& request, httplib::Response& response);

private:
    void registerAccount(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void describeAccount(const httplib::Request& request, httplib::Response& response);

    ServiceContext& m_context;
    // Each registration costs a slow hash and makes an account: ten at once from one address
    // (or for one e-mail address), then one every six seconds.
    Throttle m_registrations{10, std::chrono::seconds(6)};
    HashQueue m_hashing;
};
