#pragma once

#include "server/Json.h"

#include <httplib.h>

#include <chrono>
#include <string>
#include <string_view>

// How every handler answers: JSON for the API, HTML for pages.
namespace reply {

inline constexpr const char* kErrorCodeHeader = "parcly-errorcode";
inline constexpr const char* kAuthorizationHeader = "x-parcly-authorization";

inline void json(httplib::Response& response, int status, const std::string& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_content(body, "application/json");
}

// A fresh token for the signed-in account, as every account route hands one out.
inline void bearerToken(httplib::Response& response, const std::string& token)
{
    response.set_header(kAuthorizationHeader, "Bearer " + token);
}

// {"error": code, "message": ...} with the code also in the "parcly-errorcode" header.
inline void error(httplib::Response& response, int status, std::string_view code, std::string_view message)
{
    response.set_header(kErrorCodeHeader, std::string(code));
    json(response, status, ::json::write({{"error", code}, {"message", message}}));
}

inline void tooManyRequests(httplib::Response& response, std::chrono::seconds retryAfter, std::string_view code, std::string_view message)
{
    response.set_header("Retry-After", std::to_string(retryAfter.count()));
    error(response, 429, code, message);
}

// For a request whose body was left unread: the client must not send another on this connection.
inline void closeAfter(httplib::Response& response)
{
    response.set_header("Connection", "close");
}

} // namespace reply
