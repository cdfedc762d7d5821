#pragma once

#include "server/ServiceContext.h"

#include "server/HttpServer.h"

// The web site: home, drop pages and their raw bytes, the plan and download pages, the update
// feed, and the HTML error pages.
class WebRoutes {
public:
    explicit WebRoutes(ServiceContext& context)
        : m_context(context)
    {
    }
    void install(HttpServer& server);

    // Fills in an HTML page for errors that no handler described (unknown paths, bad requests).
    void errorPage(const httplib::Request& request, httplib::Response& response);

private:
    void page(httplib::Response& response, int status, const std::string& html) const;
    void dropPage(const httplib::Request& request, httplib::Response& response);
    void rawContent(const httplib::Request& request, httplib::Response& response);
    void proPage(const httplib::Request& request, httplib::Response& response);

    ServiceContext& m_context;
};
