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

    static constexpr const char* kDropListDeletePath = "/account/drops/delete";
    // A delete from the drop list: a small form, refused from its head when it is anything else.
    static int expectDropListDelete(const httplib::Request& request, httplib::Response& response);

    // Fills in an HTML page for errors that no handler described (unknown paths, bad requests).
    void errorPage(const httplib::Request& request, httplib::Response& response);

private:
    void page(httplib::Response& response, int status, const std::string& html,
              const std::string& policy = Pages::kContentSecurityPolicy) const;
    void dropPage(const httplib::Request& request, httplib::Response& response);
    void rawContent(const httplib::Request& request, httplib::Response& response);
    // A 410 page for a drop that is no more; false for a live one.
    bool answeredGone(const Drop& drop, httplib::Response& response) const;
    // The account a drop list token names, if it is valid and the account still exists.
    std::optional<Account> tokenAccount(const std::string& token) const;
    void dropListPage(const httplib::Request& request, httplib::Response& response);
    void dropListDelete(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void proPage(const httplib::Request& request, httplib::Response& response);

    ServiceContext& m_context;
};
