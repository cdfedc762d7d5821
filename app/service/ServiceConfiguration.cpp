#include "app/service/ServiceConfiguration.h"

#include "platform/Defaults.h"

#include <QUrl>

namespace {

QString configured(const QString& key, const char* compiledDefault)
{
    QString url = Defaults::standard().string(key);
    if (url.trimmed().isEmpty())
        url = QString::fromUtf8(compiledDefault);
    url = url.trimmed();
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

bool isLoopbackHost(const QString& host)
{
    const QString lower = host.toLower();
    if (lower == QLatin1String("localhost") || lower == QLatin1String("::1"))
        return true;
    const QStringList octets = lower.split(QLatin1Char('.'));
    if (octets.size() != 4 || octets.first() != QLatin1String("127"))
        return false;
    for (const QString& octet : octets) {
        bool ok = false;
        const int value = octet.toInt(&ok);
        if (!ok || value < 0 || value > 255)
            return false;
    }
    return true;
}

} // namespace

QString ServiceConfiguration::apiBaseURL()
{
    return configured(kAPIURLKey, PARCLY_API_URL);
}

QString ServiceConfiguration::webOrigin()
{
    return configured(kWebURLKey, PARCLY_WEB_URL);
}

QString ServiceConfiguration::refusalReason(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("The service URL %1 is not a valid URL").arg(url);
    const QString scheme = parsed.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return QString();
    if (scheme == QLatin1String("http")) {
        if (isLoopbackHost(parsed.host()))
            return QString();
        return QStringLiteral("Refusing to send credentials in clear text to %1: the service URL must use https").arg(parsed.host());
    }
    return QStringLiteral("The service URL %1 must use https").arg(url);
}
