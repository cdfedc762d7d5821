#include "app/service/WebLink.h"

#include "platform/Log.h"
#include "platform/Workspace.h"

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
