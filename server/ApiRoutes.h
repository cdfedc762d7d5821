#pragma once

#include "server/ServiceContext.h"

#include "server/HttpServer.h"

// The account API: POST /account registers, GET /users/me describes the signed-in account.
class ApiRoutes {
public:
    explicit ApiRoutes(ServiceContext& context) : m_context(context) {}
    void install(HttpServer& server);

private:
    void registerAccount(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void describeAccount(const httplib::Request& request, httplib::Response& response);

    ServiceContext& m_context;
};
