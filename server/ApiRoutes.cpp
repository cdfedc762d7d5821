#include "server/ApiRoutes.h"

#include "server/Database.h"
#include "server/Json.h"
#include "server/RawDelivery.h"
#include "server/Replies.h"
#include "server/RequestBody.h"
#include "server/Text.h"

namespace {

constexpr size_t kMaximumAccountBody = 16 * 1024;
constexpr size_t kMaximumEmail = 254;
constexpr size_t kMaximumPassword = 1024;

// Deliberately loose: one "@" with something on both sides, nothing that breaks basic
// authentication (":") or a header or log line (blanks, control characters), nothing that
// reorders how it reads (direction controls).
bool plausibleEmail(std::string_view email)
{
    if (email.empty() || email.size() > kMaximumEmail || !text::isValidUtf8(email) || text::hasDirectionControl(email))
        return false;
    const size_t at = email.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == email.size())
        return false;
    for (const char c : email) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == ':')
            return false;
    }
    return true;
}
} // namespace

void ApiRoutes::install(HttpServer& server)
{
    server.Post(
        kAccountPath,
        [this](const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
            registerAccount(request, response, reader);
        },
        HttpServer::BodyDeadline::Short);
    server.Get("/users/me", [this](const httplib::Request& request, httplib::Response& response) { describeAccount(request, response); });
}

int ApiRoutes::expectAccount(const httplib::Request& request, httplib::Response& response)
{
    // A web page can post a form to the loopback service, but not with this type.
    if (raw::essence(request.get_header_value("Content-Type")) != "application/json") {
        reply::error(response, 415, "Request.UnsupportedMediaType", "The body must be JSON, sent as application/json");
        return response.status;
    }
    const body::Shape shape = body::shapeOf(request);
    if (shape.framing == body::Framing::Length && shape.length > kMaximumAccountBody) {
        reply::error(response, 413, "Request.TooLarge", "The request body is too large");
        return response.status;
    }
    return 100;
}

void ApiRoutes::registerAccount(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader)
{
    std::string content;
    switch (body::readAll(request, reader, kMaximumAccountBody, content)) {
    case body::Read::Ok:
        break;
    case body::Read::TooLarge:
        reply::closeAfter(response);
        reply::error(response, 413, "Request.TooLarge", "The request body is too large");
        return;
    case body::Read::Failed:
        reply::closeAfter(response);
        reply::error(response, 400, "Request.Unreadable", "The request body could not be read");
        return;
    }

    const auto document = json::parse(content);
    if (!document || !document->is_object()) {
        reply::error(response, 400, "Request.InvalidJSON", "The body must be a JSON object with \"email\" and \"password\"");
        return;
    }
    const std::string* email = json::stringMember(*document, "email");
    const std::string* password = json::stringMember(*document, "password");
    if (!email || email->empty() || !password || password->empty()) {
        reply::error(response, 400, "Account.MissingField", "\"email\" and \"password\" must be non-empty strings");
        return;
    }
    if (!plausibleEmail(*email)) {
        reply::error(response, 400, "Account.InvalidEmail", "The e-mail address is not valid");
        return;
    }
    if (password->size() > kMaximumPassword) {
        reply::error(response, 400, "Account.InvalidPassword", "The password is too long");
        return;
    }

    const auto wait = m_registrations.take({"address " + request.remote_addr, "email " + text::toLower(*email)});
    if (wait.count() > 0) {
        reply::tooManyRequests(response, wait, "Account.TooManyAttempts", "Too many registrations; try again later");
        return;
    }
    AccountStore::Created created = AccountStore::Created::Ok;
    std::chrono::seconds retryAfter{0};
    try {
        // The hash is the cost: a burst of registrations queues for its workers, never for the
        // cores sign-ins use.
        if (!m_hashing.run([&] { created = m_context.accounts.create(*email, *password); }, retryAfter)) {
            m_registrations.giveBack({"address " + request.remote_addr, "email " + text::toLower(*email)});
            reply::error(response, 503, "Server.Busy", "Too many registrations at once; try again shortly");
            response.set_header("Retry-After", std::to_string(retryAfter.count()));
            return;
        }
    } catch (const DatabaseError& error) {
        if (!error.isFull())
            throw;
        m_context.log.note(std::string("registration failed: ") + error.what());
        reply::error(response, 507, "Account.StorageFull", "The service has no room to store the account");
        return;
    }
    if (created == AccountStore::Created::EmailTaken) {
        reply::error(response, 409, "Account.EmailTaken", "An account with this e-mail address exists already");
        return;
    }
    reply::bearerToken(response, m_context.tokens.issue(*email));
    reply::json(response, 201, json::write({{"email", *email}}));
}

void ApiRoutes::describeAccount(const httplib::Request& request, httplib::Response& response)
{
    const auto signIn = m_context.authenticator.authenticate(request);
    if (!signIn.ok) {
        Authenticator::refuse(response, signIn);
        return;
    }
    const std::int64_t drops = m_context.drops.countForAccount(signIn.account.id);
    reply::bearerToken(response, m_context.tokens.issue(signIn.account.email));
    reply::json(response, 200, json::write({{"email", text::withoutDirectionControls(signIn.account.email)}, {"activeDrops", drops}}));
}
