#pragma once

#include <QString>
#include <QUrl>

// Links the app opens in the browser, announces or copies come from outside (the service, the
// user's settings). Only a web address is ever handed to the desktop that way: a file:,
// javascript: or custom-scheme link would open a local file or another program instead.
namespace WebLink {

// Whether the URL is a valid, absolute http or https URL with a host.
bool isWebLink(const QUrl& url);

// Opens the URL in the browser when it is a web link; anything else is only logged, as
// "Not opening the <page> <url>: not a web address".
void openWebPage(const QUrl& url, const QString& page);

// Opens a page of the service's web site that takes the account's token as its "token" query
// item. The token only travels where the API's credentials may (https, or http to a loopback
// host); anywhere else the page opens without it, logged as "Opening the <page> without the
// account's token: <why>".
void openWebPageWithToken(const QUrl& url, const QString& token, const QString& page);

} // namespace WebLink
