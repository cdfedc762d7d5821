#include "app/service/WebLink.h"

#include "app/service/ServiceConfiguration.h"
#include "platform/Log.h"
#include "platform/Workspace.h"

#include <QUrlQuery>

bool WebLink::isWebLink(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void WebLink::openWebPage(const QUrl& url, const QString& page)
{
    if (!isWebLink(url)) {
        logLine(QStringLiteral("Not opening the %1 %2: not a web address").arg(page, url.toString()));
        return;
    }
    Workspace::sharedWorkspace().openURL(url);
}

void WebLink::openWebPageWithToken(const QUrl& url, const QString& token, const QString& page)
{
    QUrl target = url;
    const QString refusal = ServiceConfiguration::refusalReason(url.toString());
    if (token.isEmpty()) {
        logLine(QStringLiteral("Opening the %1 without the account's token: there is none").arg(page));
    } else if (!refusal.isNull()) {
        logLine(QStringLiteral("Opening the %1 without the account's token: %2").arg(page, refusal));
    } else {
        QUrlQuery query(target);
        query.addQueryItem(QStringLiteral("token"), QString::fromLatin1(QUrl::toPercentEncoding(token)));
        target.setQuery(query);
    }
    openWebPage(target, page);
}
