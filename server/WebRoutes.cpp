#include "server/WebRoutes.h"

#include "server/RawDelivery.h"
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
constexpr size_t kReadChunk = 64 * 1024;

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

struct OpenFile {
    int fd = -1;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

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
    server.Get(kDropPattern, [this](const httplib::Request& request, httplib::Response& response) { dropPage(request, response); });
    server.Get(kRawPattern, [this](const httplib::Request& request, httplib::Response& response) { rawContent(request, response); });
}

void WebRoutes::page(httplib::Response& response, int status, const std::string& html) const
{
    response.status = status;
    response.set_header("Content-Security-Policy", Pages::kContentSecurityPolicy);
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
    page(response, 200, m_context.pages.drop(*drop, drop->image));
}

void WebRoutes::rawContent(const httplib::Request& request, httplib::Response& response)
{
    const auto drop = m_context.drops.find(request.matches[1].str());
    auto file = std::make_shared<OpenFile>();
    struct stat info { };
    if (drop)
        file->fd = ::open(m_context.drops.contentPath(drop->code).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (!drop || file->fd < 0 || ::fstat(file->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        page(response, 404, m_context.pages.notFound());
        return;
    }

    const auto size = static_cast<size_t>(info.st_size);
    if (!acceptRanges(request, size)) {
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }

    const bool showInline = raw::showsInline(drop->contentType, request.has_param("download"));
    response.set_header("Content-Disposition", text::contentDisposition(showInline, drop->title));
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; img-src 'self'; media-src 'self'; style-src 'unsafe-inline'; sandbox");
    // A code always names the same bytes.
    response.set_header("Cache-Control", "public, max-age=86400");

    response.set_content_provider(size, drop->contentType, [file](size_t offset, size_t length, httplib::DataSink& sink) {
        char buffer[kReadChunk];
        const ssize_t n = ::pread(file->fd, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
        if (n <= 0)
            return false;
        return sink.write(buffer, static_cast<size_t>(n));
    });
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
