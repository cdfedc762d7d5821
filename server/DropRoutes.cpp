#include "server/DropRoutes.h"

#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/Text.h"

#include <limits>
#include <regex>

namespace {

constexpr const char* kDropPath = "/drops/([^/]+)";
} // namespace

json::Object describeDrop(const Drop& drop, const std::string& publicUrl)
{
    return {{"code", drop.code},
            {"title", text::withoutDirectionControls(drop.title)},
            {"size", drop.size},
            {"contentType", drop.contentType},
            {"created", text::isoTime(drop.createdAt)},
            {"expires", drop.expiresAt ? json::Object(text::isoTime(*drop.expiresAt)) : json::Object(nullptr)},
            {"shortlink", publicUrl + "/" + drop.code}};
}

void DropRoutes::install(HttpServer& server)
{
    server.Get("/drops", [this](const httplib::Request& request, httplib::Response& response) { list(request, response); });
    server.Delete(kDropPath, [this](const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
        remove(request, response, reader);
    });
}

bool DropRoutes::isDropPath(const std::string& path)
{
    static const std::regex pattern(kDropPath);
    return std::regex_match(path, pattern);
}

int DropRoutes::expectDelete(const httplib::Request& request, httplib::Response& response)
{
    const body::Shape shape = body::shapeOf(request);
    if (shape.framing == body::Framing::None || (shape.framing == body::Framing::Length && shape.length == 0))
        return 100;
    reply::error(response, 413, "Request.TooLarge", "A DELETE request carries no body");
    return response.status;
}

void DropRoutes::list(const httplib::Request& request, httplib::Response& response)
{
    const auto signIn = m_context.authenticator.authenticate(request);
    if (!signIn.ok) {
        Authenticator::refuse(response, signIn);
        return;
    }
    int limit = kDefaultLimit;
    if (request.has_param("limit")) {
        const auto parsed = text::parseUnsigned(request.get_param_value("limit"));
        if (!parsed || *parsed < 1 || *parsed > static_cast<std::uint64_t>(kMaximumLimit)) {
            reply::error(response, 400, "Request.BadParameter", "limit must be a whole number from 1 to 100");
            return;
        }
        limit = static_cast<int>(*parsed);
    }
    std::optional<std::int64_t> before;
    if (request.has_param("before")) {
        // The cursor is a row id; clients only ever hand back what "next" said.
        const auto parsed = text::parseUnsigned(request.get_param_value("before"));
        if (!parsed || *parsed == 0 || *parsed > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            reply::error(response, 400, "Request.BadParameter", "before must be the \"next\" of an earlier page");
            return;
        }
        before = static_cast<std::int64_t>(*parsed);
    }

    const DropStore::Page page = m_context.drops.listForAccount(signIn.account.id, limit, before);
    json::Object drops = json::Object::array();
    for (const Drop& drop : page.drops)
        drops.push_back(describeDrop(drop, m_context.publicUrl));
    reply::bearerToken(response, m_context.tokens.issue(signIn.account.email));
    reply::json(
        response, 200,
        json::write({{"drops", std::move(drops)}, {"next", page.next ? json::Object(std::to_string(*page.next)) : json::Object(nullptr)}}));
}

void DropRoutes::remove(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader)
{
    if (body::shapeOf(request).framing != body::Framing::None) {
        std::string empty;
        body::readAll(request, reader, 0, empty);
    }
    const auto signIn = m_context.authenticator.authenticate(request);
    if (!signIn.ok) {
        Authenticator::refuse(response, signIn);
        return;
    }
    // Someone else's drop and no drop at all answer alike, so codes cannot be probed.
    if (!m_context.drops.remove(signIn.account.id, request.matches[1].str())) {
        reply::error(response, 404, "Drop.NotFound", "No such drop");
        return;
    }
    m_context.log.note("drop " + request.matches[1].str() + " deleted by its owner");
    reply::bearerToken(response, m_context.tokens.issue(signIn.account.email));
    response.status = 204;
    response.set_header("Cache-Control", "no-store");
}
