#include "server/UploadRoute.h"

#include "server/Base64.h"
#include "server/DropRoutes.h"
#include "server/Json.h"
#include "server/RawDelivery.h"
#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/Text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

namespace {

constexpr const char* kFileNameHeader = "x-parcly-filename";
constexpr size_t kMaximumTitle = 1024;
constexpr double kMinimumDensity = 0.25;
constexpr double kMaximumDensity = 8.0;
constexpr std::uint64_t kDiscardAfterLimit = 64 * 1024 * 1024;
constexpr std::chrono::seconds kDiscardAfterFailure{60};
// Beyond any use, and far from where a time in seconds would overflow.
constexpr std::uint64_t kLongestExpiry = std::uint64_t(1000) * 366 * 24 * 3600;

std::optional<double> parseDensity(const std::string& value)
{
    double density = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), density);
    if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(density) || density < kMinimumDensity
        || density > kMaximumDensity)
        return std::nullopt;
    return density;
}

} // namespace

void UploadRoute::install(HttpServer& server)
{
    server.Post(kPath, HttpServer::StreamHandler([this](const httplib::Request& request, httplib::Response& response) {
                    return open(request, response);
                }));
}

void UploadRoute::sendTooLarge(httplib::Response& response) const
{
    reply::error(response, 413, "Upload.TooLarge", "Uploads are limited to " + std::to_string(m_context.options.maxUploadBytes) + " bytes");
}

void UploadRoute::sendStorageFull(httplib::Response& response) const
{
    reply::error(response, 507, "Upload.StorageFull", "The service could not store the upload");
}

void UploadRoute::sendStorageUnavailable(httplib::Response& response) const
{
    response.set_header("Retry-After", "30");
    reply::error(response, 503, "Upload.StorageUnavailable", "The service's storage is not answering; please try again later");
}

std::optional<UploadRoute::Accepted> UploadRoute::check(const httplib::Request& request, httplib::Response& response)
{
    const auto signIn = m_context.authenticator.authenticate(request);
    if (!signIn.ok) {
        Authenticator::refuse(response, signIn);
        return std::nullopt;
    }

    const body::Shape shape = body::shapeOf(request);
    if (shape.framing == body::Framing::Invalid) {
        reply::error(response, 400, "Request.InvalidFraming", "Content-Length or Transfer-Encoding is not valid");
        return std::nullopt;
    }
    if (shape.framing == body::Framing::Length && shape.length > m_context.options.maxUploadBytes) {
        sendTooLarge(response);
        return std::nullopt;
    }
    // Refused from the head, while the client still listens, rather than when the disk fills.
    if (shape.framing == body::Framing::Length) {
        const auto room = m_context.drops.roomForUploads();
        if (room && shape.length > *room) {
            m_context.log.note("upload refused: " + std::to_string(shape.length) + " bytes announced, " + std::to_string(*room)
                               + " free for uploads in " + m_context.drops.incomingDirectory().string());
            sendStorageFull(response);
            return std::nullopt;
        }
    }

    // The name is only ever a title: it never becomes a path, so "/" or NUL in it are harmless.
    const auto title = request.get_header_value_count(kFileNameHeader) == 1
        ? base64::decode(text::trim(request.get_header_value(kFileNameHeader)))
        : std::nullopt;
    if (!title || title->empty() || title->size() > kMaximumTitle || !text::isValidUtf8(*title)) {
        reply::error(response, 400, "Upload.InvalidFileName", "x-parcly-filename must be the file name in UTF-8, Base64-encoded");
        return std::nullopt;
    }

    double density = 1.0;
    if (request.has_param("pixel_density")) {
        const auto parsed = parseDensity(request.get_param_value("pixel_density"));
        if (!parsed) {
            reply::error(response, 400, "Upload.InvalidPixelDensity", "pixel_density must be a number from 0.25 to 8");
            return std::nullopt;
        }
        density = *parsed;
    }
    std::optional<std::int64_t> expiresIn;
    if (request.has_param("expires_in")) {
        auto seconds = text::parseUnsigned(request.get_param_value("expires_in"));
        if (!seconds || *seconds == 0) {
            reply::error(response, 400, "Request.BadParameter", "expires_in must be a whole number of seconds, at least 1");
            return std::nullopt;
        }
        if (m_context.options.maxExpirySeconds > 0)
            seconds = std::min(*seconds, m_context.options.maxExpirySeconds);
        expiresIn = static_cast<std::int64_t>(std::min(*seconds, kLongestExpiry));
    }
    return Accepted{signIn.account, *title, density, expiresIn};
}

// The body of one accepted upload, written to its temporary file as it comes, on a worker.
class UploadRoute::Receiver : public HttpServer::BodyReceiver {
public:
    Receiver(UploadRoute& route, const httplib::Request& request, Accepted accepted, std::shared_ptr<void> slots)
        : m_route(route)
        , m_request(request)
        , m_accepted(std::move(accepted))
        , m_slots(std::move(slots))
        , m_shape(body::shapeOf(request))
        , m_pending(route.m_context.drops.beginUpload())
    {
    }

    bool receive(const char* data, size_t size) override
    {
        const iovec piece{const_cast<char*>(data), size};
        return receiveBlocks(std::span(&piece, 1));
    }

    bool receiveBlocks(std::span<const iovec> pieces) override
    {
        size_t size = 0;
        for (const iovec& piece : pieces)
            size += piece.iov_len;
        if (m_writeFailed) {
            // The disk filled mid-body: a client that announced its length is read to the end of it
            // (for a while at most) so that it gets the 507 rather than a reset.
            return m_shape.framing == body::Framing::Length && std::chrono::steady_clock::now() - m_failedAt < kDiscardAfterFailure;
        }
        if (m_tooLarge || m_pending->size() + size > m_route.m_context.options.maxUploadBytes) {
            // Keep reading a while so that the client, still sending, gets to see the 413.
            m_tooLarge = true;
            m_discarded += size;
            return m_discarded <= kDiscardAfterLimit;
        }
        if (!m_pending->append(pieces)) {
            m_writeFailed = true;
            m_failedFull = m_pending->failedFull();
            m_failure = m_pending->failure();
            m_failedAt = std::chrono::steady_clock::now();
            m_pending.reset(); // its space back at once
            return m_shape.framing == body::Framing::Length;
        }
        return true;
    }

    void finish(bool whole, httplib::Response& response) override { m_route.finish(*this, whole, response); }

private:
    friend class UploadRoute;
    UploadRoute& m_route;
    const httplib::Request& m_request;
    Accepted m_accepted;
    std::shared_ptr<void> m_slots; // given back when the upload is over
    body::Shape m_shape;
    std::unique_ptr<PendingUpload> m_pending;
    bool m_tooLarge = false;
    std::uint64_t m_discarded = 0;
    bool m_writeFailed = false;
    bool m_failedFull = true; // else the storage did not answer, and `m_failure` says how
    std::string m_failure;
    std::chrono::steady_clock::time_point m_failedAt;
};

std::unique_ptr<HttpServer::BodyReceiver> UploadRoute::open(const httplib::Request& request, httplib::Response& response)
{
    auto accepted = check(request, response);
    if (!accepted)
        return nullptr;
    auto slots = m_inProgress.take(
        {{"account " + std::to_string(accepted->account.id), kUploadsPerAccount}, {"address " + request.remote_addr, kUploadsPerAddress}});
    if (!slots) {
        reply::tooManyRequests(response, std::chrono::seconds(10), "Upload.TooManyAtOnce",
                               "Too many uploads at once from this account or address; try again when one has finished");
        return nullptr;
    }
    return std::make_unique<Receiver>(*this, request, std::move(*accepted), std::move(slots));
}

void UploadRoute::finish(Receiver& upload, bool whole, httplib::Response& response)
{
    const httplib::Request& request = upload.m_request;
    if (upload.m_tooLarge) {
        // Only bodies without a declared length get here: a length over the limit was refused above.
        if (!whole)
            reply::closeAfter(response);
        sendTooLarge(response);
        return;
    }
    if (upload.m_writeFailed) {
        if (!whole)
            reply::closeAfter(response);
        if (!upload.m_failedFull) {
            m_context.log.note("upload failed: " + upload.m_failure);
            sendStorageUnavailable(response);
            return;
        }
        m_context.log.note("upload failed: cannot write to " + m_context.drops.incomingDirectory().string());
        sendStorageFull(response);
        return;
    }
    if (!whole) {
        // The client went away or sent a broken body; `pending` removes its file.
        reply::closeAfter(response);
        reply::error(response, 400, "Upload.Incomplete", "The upload ended before all of its bytes arrived");
        return;
    }

    const Accepted& accepted = upload.m_accepted;
    Drop drop;
    try {
        drop = m_context.drops.commit(*upload.m_pending,
                                      {accepted.account.id, accepted.title,
                                       raw::normalizeContentType(request.get_header_value("Content-Type")), accepted.pixelDensity,
                                       accepted.expiresIn});
    } catch (const StorageFull& full) {
        m_context.log.note(std::string("upload failed: ") + full.what());
        sendStorageFull(response);
        return;
    } catch (const StorageUnavailable& unavailable) {
        m_context.log.note(std::string("upload failed: ") + unavailable.what());
        sendStorageUnavailable(response);
        return;
    }
    const std::string shortlink = m_context.publicUrl + "/" + drop.code;
    response.set_header("Location", shortlink);
    json::Object answer = describeDrop(drop, m_context.publicUrl);
    // The names older clients read, beside the list's.
    answer["type"] = drop.contentType;
    answer["pixelDensity"] = drop.pixelDensity;
    answer["createdAt"] = drop.createdAt;
    reply::json(response, 201, json::write(answer));
}
