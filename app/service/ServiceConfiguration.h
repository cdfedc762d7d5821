#pragma once

#include <QString>

// Where the sharing service lives: compiled-in defaults that the user's defaults store may
// override ("parcly-api-url", "parcly-web-url"), and the rule that keeps credentials off the
// network in clear text.
namespace ServiceConfiguration {

inline const QString kAPIURLKey = QStringLiteral("parcly-api-url");
inline const QString kWebURLKey = QStringLiteral("parcly-web-url");

// The API base URL, without a trailing slash.
QString apiBaseURL();
// The origin of the service's web site, without a trailing slash.
QString webOrigin();

// Why nothing may be sent to `url`, or a null string when it may: only https, or plain http
// to a loopback host, is allowed.
QString refusalReason(const QString& url);

} // namespace ServiceConfiguration
