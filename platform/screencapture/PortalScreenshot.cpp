#include "PortalScreenshot.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QRandomGenerator>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

} // namespace

PortalScreenshot::Outcome PortalScreenshot::take(QUrl* image, QString* error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *error = QStringLiteral("no session bus for the screenshot portal");
        return Outcome::Failed;
    }
    // The portal answers on a Request object whose path it derives from our bus name and the
    // token we choose. Subscribing before the call means an answer can never arrive unheard.
    const QString token = QStringLiteral("parcly%1").arg(QRandomGenerator::global()->generate());
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath = QStringLiteral("%1/request/%2/%3").arg(kPath, sender, token);
    bus.connect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                SLOT(onResponse(uint, QVariantMap)));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.portal.Screenshot"),
                                                       QStringLiteral("Screenshot"));
    // This tool has no window of its own to name as the dialog's parent, and on Wayland a parent
    // can only be named through an exported surface handle; "" is the portal's value for none.
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("interactive"), true},
                              {QStringLiteral("modal"), true}};
    call << QString() << options;
    const QDBusReply<QDBusObjectPath> reply = bus.call(call);
    if (!reply.isValid()) {
        *error = QStringLiteral("the screenshot portal failed: %1").arg(reply.error().message());
        return Outcome::Failed;
    }
    // Older portals ignore the token and return another path: listen there too.
    if (reply.value().path() != requestPath)
        bus.connect(kService, reply.value().path(), kRequestInterface, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));

    QEventLoop loop;
    connect(this, &PortalScreenshot::answered, &loop, &QEventLoop::quit);
    // A portal that goes away without answering must not leave the app waiting on us forever.
    QDBusServiceWatcher gone(kService, bus, QDBusServiceWatcher::WatchForUnregistration);
    connect(&gone, &QDBusServiceWatcher::serviceUnregistered, &loop, &QEventLoop::quit);
    if (!m_answered)
        loop.exec();

    switch (m_response) {
    case 0:
        *image = QUrl(m_results.value(QStringLiteral("uri")).toString());
        if (!image->isLocalFile()) {
            *error = QStringLiteral("the screenshot portal returned no file");
            return Outcome::Failed;
        }
        return Outcome::Taken;
    case 1:
        return Outcome::Cancelled;
    default:
        *error = QStringLiteral("the screenshot portal could not take the screenshot");
        return Outcome::Failed;
    }
}

void PortalScreenshot::onResponse(uint response, const QVariantMap& results)
{
    if (m_answered)
        return;
    m_answered = true;
    m_response = response;
    m_results = results;
    emit answered();
}
