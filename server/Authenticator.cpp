#include "server/Authenticator.h"

#include "server/Base64.h"
#include "server/Replies.h"
#include "server/Text.h"

namespace {

constexpr size_t kMaximumCredentials = 2048;

} // namespace

Authenticator::Result Authenticator::authenticate(const httplib::Request& request) const
{
    Result result;
    if (request.get_header_value_count("Authorization") != 1) {
        result.message = "Sign in with basic authentication: your e-mail and password";
        return result;
    }
    const std::string header = request.get_header_value("Authorization");
    const size_t space = header.find(' ');
    if (space == std::string::npos || text::toLower(header.substr(0, space)) != "basic") {
        result.message = "Only basic authentication is supported";
        return result;
    }
    const std::string encoded = text::trim(std::string_view(header).substr(space + 1));
    const auto decoded = encoded.size() <= kMaximumCredentials ? base64::decode(encoded) : std::nullopt;
    const size_t colon = decoded ? decoded->find(':') : std::string::npos;
    if (!decoded || colon == std::string::npos || colon == 0 || !text::isValidUtf8(*decoded)) {
        result.message = "The basic authentication credentials are malformed";
        return result;
    }
    const std::string_view email = std::string_view(*decoded).substr(0, colon);
    const std::string_view password = std::string_view(*decoded).substr(colon + 1);
    const auto authentication = m_accounts.authenticate(email, password, request.remote_addr);
    switch (authentication.outcome) {
    case AccountStore::Outcome::Ok:
        result.ok = true;
        result.account = authentication.account;
        result.errorCode = "";
        break;
    case AccountStore::Outcome::UnknownUser:
        result.errorCode = kUnknownUser;
        result.message = "No account has this e-mail address";
        break;
    case AccountStore::Outcome::WrongPassword:
        result.errorCode = kWrongPassword;
        result.message = "The password is wrong";
        break;
    case AccountStore::Outcome::Throttled:
        result.errorCode = kThrottled;
        result.message = "Too many wrong passwords; try again later";
        result.retryAfter = authentication.retryAfter;
        break;
    }
    return result;
}

void Authenticator::refuse(httplib::Response& response, const Result& result)
{
    if (result.retryAfter.count() > 0) {
        reply::tooManyRequests(response, result.retryAfter, result.errorCode, result.message);
        return;
    }
    response.set_header("WWW-Authenticate", "Basic realm=\"Parcly\", charset=\"UTF-8\"");
    reply::error(response, 401, result.errorCode, result.message);
}
