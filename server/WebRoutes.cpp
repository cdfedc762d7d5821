#include "server/WebRoutes.h"

#include "server/RawDelivery.h"
#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/ShortCode.h"
#include "server/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Codes are [A-Za-z0-9]{8}: this can never match a fixed route, nor anything with a dot or slash.
constexpr const char* kDropPattern = "/([A-Za-z0-9]{8})";
constexpr const char* kRawPattern = "/([A-Za-z0-9]{8})/raw";
constexpr std::int64_t kCacheSeconds = 300;
constexpr int kDropListPage = 50;
constexpr size_t kMaximumDeleteForm = 4096;

const char* statusText(int status)
{
    switch (status) {
    case 400:
        return "The request is malformed.";
    case 401:
        return "Sign-in is required.";
    case 403:
        return "This is not allowed.";
    case 405:
        return "This method is not allowed here.";
    case 413:
        return "The request is too large.";
    case 414:
        return "The address is too long.";
    case 416:
        return "The requested range is not available.";
    case 431:
        return "The request headers are too large.";
    default:
        return status >= 500 ? "The service failed to answer. Please try again later." : "The request failed.";
    }
}

// Make the request's ranges fit the file before the engine serves one: ranges that start past
// the end are dropped, ends are clamped, suffixes resolved. Several ranges are served as the
// whole file (browsers ask for one). False when no asked-for range can be satisfied.
bool acceptRanges(const httplib::Request& request, size_t size)
{
    // The request belongs to the engine and is not const there; only handlers see it as const.
    auto& ranges = const_cast<httplib::Request&>(request).ranges;
    if (ranges.empty())
        return true;
    const auto fileSize = static_cast<ssize_t>(size);
    httplib::Ranges satisfiable;
    for (const auto& [first, last] : ranges) {
        if (first < 0) {
            const ssize_t length = std::min(last, fileSize);
            if (length > 0)
                satisfiable.emplace_back(fileSize - length, fileSize - 1);
        } else if (first < fileSize) {
            satisfiable.emplace_back(first, last < 0 || last >= fileSize ? fileSize - 1 : last);
        }
    }
    ranges = satisfiable.size() == 1 ? satisfiable : httplib::Ranges();
    return !satisfiable.empty() || size == 0;
}

} // namespace

void WebRoutes::install(HttpServer& server)
{
    server.Get("/", [this](const httplib::Request&, httplib::Response& response) { page(response, 200, m_context.pages.home()); });
    server.Get("/pro", [this](const httplib::Request& request, httplib::Response& response) { proPage(request, response); });
    server.Get("/download/mac_direct",
               [this](const httplib::Request&, httplib::Response& response) { page(response, 200, m_context.pages.desktopDownload()); });
    const auto feed = [](httplib::Response& response, const std::string& xml) {
        response.set_header("Cache-Control", "public, max-age=300");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_content(xml, "application/rss+xml; charset=utf-8");
    };
    server.Get("/appcast.xml",
               [this, feed](const httplib::Request&, httplib::Response& response) { feed(response, m_context.pages.updateFeed()); });
    server.Get("/lite/appcast.xml",
               [this, feed](const httplib::Request&, httplib::Response& response) { feed(response, m_context.pages.liteUpdateFeed()); });
    server.Get("/account/drops", [this](const httplib::Request& request, httplib::Response& response) { dropListPage(request, response); });
    server.Post(
        kDropListDeletePath,
        [this](const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
            dropListDelete(request, response, reader);
        },
        HttpServer::BodyDeadline::Short);
    server.Get(kDropPattern, [this](const httplib::Request& request, httplib::Response& response) { dropPage(request, response); });
    server.Get(kRawPattern, [this](const httplib::Request& request, httplib::Response& response) { rawContent(request, response); });
}

void WebRoutes::page(httplib::Response& response, int status, const std::string& html, const std::string& policy) const
{
    response.status = status;
    response.set_header("Content-Security-Policy", policy);
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_content(html, "text/html; charset=utf-8");
}

void WebRoutes::errorPage(const httplib::Request&, httplib::Response& response)
{
    if (response.status == 404)
        page(response, 404, m_context.pages.notFound());
    else
        page(response, response.status, m_context.pages.error(response.status, statusText(response.status)));
}

void WebRoutes::dropPage(const httplib::Request& request, httplib::Response& response)
{
    const auto drop = m_context.drops.find(request.matches[1].str());
    if (!drop) {
        page(response, 404, m_context.pages.notFound());
        return;
    }
    if (answeredGone(*drop, response))
        return;
    page(response, 200, m_context.pages.drop(*drop, drop->image));
}

void WebRoutes::rawContent(const httplib::Request& request, httplib::Response& response)
{
    const auto drop = m_context.drops.find(request.matches[1].str());
    if (drop && answeredGone(*drop, response))
        return;
    size_t size = 0;
    if (drop && !drop->storageKey.empty() && m_context.drops.objects()) {
        // In the bucket: fetched piece by piece as the engine sends, never whole in memory.
        size = static_cast<size_t>(drop->size);
        HttpServer::setFetchedContent(response, size, drop->contentType, m_context.drops.objects()->reader(drop->storageKey));
    } else {
        const int fd = drop ? ::open(m_context.drops.contentPath(drop->code).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
        struct stat info { };
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            page(response, 404, m_context.pages.notFound());
            return;
        }
        // From here the response owns the descriptor, and the engine sends from it.
        size = static_cast<size_t>(info.st_size);
        HttpServer::setFileContent(response, fd, size, drop->contentType);
    }
    if (!acceptRanges(request, size)) {
        response = httplib::Response();
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }

    const bool showInline = raw::showsInline(drop->contentType, request.has_param("download"));
    response.set_header("Content-Disposition", text::contentDisposition(showInline, drop->title));
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; img-src 'self'; media-src 'self'; style-src 'unsafe-inline'; sandbox");
    // A code always names the same bytes, but not for ever: its owner may delete them, so caches
    // keep them briefly, and never past their time.
    std::int64_t maxAge = kCacheSeconds;
    if (drop->expiresAt)
        maxAge = std::clamp<std::int64_t>(*drop->expiresAt - TokenSigner::now(), 0, kCacheSeconds);
    response.set_header("Cache-Control", "public, max-age=" + std::to_string(maxAge));
}

bool WebRoutes::answeredGone(const Drop& drop, httplib::Response& response) const
{
    const Drop::State state = drop.state(TokenSigner::now());
    if (state == Drop::State::Live)
        return false;
    response.set_header("Cache-Control", "no-store");
    page(response, 410, m_context.pages.gone(state));
    return true;
}

std::optional<Account> WebRoutes::tokenAccount(const std::string& token) const
{
    const auto claims = m_context.tokens.verify(token);
    return claims ? m_context.accounts.find(claims->subject) : std::nullopt;
}

void WebRoutes::dropListPage(const httplib::Request& request, httplib::Response& response)
{
    response.set_header("Cache-Control", "no-store");
    const std::string token = request.get_param_value("token");
    const auto account = tokenAccount(token);
    if (!account) {
        page(response, 403, m_context.pages.dropListSignedOut());
        return;
    }
    std::optional<std::int64_t> before;
    if (const auto cursor = text::parseUnsigned(request.get_param_value("before")); cursor && *cursor > 0 && *cursor < (1ull << 62))
        before = static_cast<std::int64_t>(*cursor);
    Pages::DropList list{account->email, token, {}, {}, {}};
    DropStore::Page drops = m_context.drops.listForAccount(account->id, kDropListPage, before);
    list.drops = std::move(drops.drops);
    list.next = drops.next;
    // What the delete before this view did, said by its own code.
    if (request.has_param("deleted")) {
        const auto deleted = m_context.drops.find(request.get_param_value("deleted"));
        if (deleted && deleted->accountId == account->id && deleted->state(TokenSigner::now()) == Drop::State::Deleted)
            list.notice = "Deleted \u201c" + deleted->title + "\u201d. Its link no longer works.";
        else
            list.notice = "That drop was already gone.";
    }
    page(response, 200, m_context.pages.dropList(list), m_context.pages.dropListPolicy());
}

int WebRoutes::expectDropListDelete(const httplib::Request& request, httplib::Response& response)
{
    const body::Shape shape = body::shapeOf(request);
    if (raw::essence(request.get_header_value("Content-Type")) != "application/x-www-form-urlencoded"
        || (shape.framing == body::Framing::Length && shape.length > kMaximumDeleteForm)) {
        response.status = 400;
        return response.status;
    }
    return 100;
}

void WebRoutes::dropListDelete(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader)
{
    std::string form;
    if (body::readAll(request, reader, kMaximumDeleteForm, form) != body::Read::Ok) {
        reply::closeAfter(response);
        response.status = 400;
        return;
    }
    httplib::Params fields;
    httplib::detail::parse_query_text(form, fields);
    const auto field = [&fields](const char* name) {
        const auto found = fields.find(name);
        return found == fields.end() ? std::string() : found->second;
    };
    const std::string token = field("token");
    const auto account = tokenAccount(token);
    response.set_header("Cache-Control", "no-store");
    if (!account) {
        page(response, 403, m_context.pages.dropListSignedOut());
        return;
    }
    const std::string code = field("code");
    // Whether it went or was gone already, the list says so once it shows again.
    if (m_context.drops.remove(account->id, code))
        m_context.log.note("drop " + code + " deleted by its owner from the drop list");
    response.status = 303;
    response.set_header("Location",
                        m_context.publicUrl + "/account/drops?token=" + token + "&deleted=" + (shortcode::isValid(code) ? code : ""));
}

void WebRoutes::proPage(const httplib::Request& request, httplib::Response& response)
{
    std::optional<std::string> email;
    if (request.has_param("token")) {
        if (const auto claims = m_context.tokens.verify(request.get_param_value("token")))
            email = claims->subject;
    }
    response.set_header("Cache-Control", "no-store");
    page(response, 200, m_context.pages.pro(email));
}
