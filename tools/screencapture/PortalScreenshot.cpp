#include "PortalScreenshot.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QRandomGenerator>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

const QString kInstallBackend = QStringLiteral("a backend such as xdg-desktop-portal-gtk, -kde, -gnome or -wlr");

// What a refused call means to the user. The portal itself missing and the portal without a
// screenshot backend need different packages.
QString whyTheCallFailed(const QDBusError& error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoServer:
        return QStringLiteral("The desktop offers no screenshot service: install xdg-desktop-portal and %1.").arg(kInstallBackend);
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
        return QStringLiteral("The desktop portal offers no screenshot service: install %1.").arg(kInstallBackend);
    default:
        return QStringLiteral("The desktop's screenshot service refused the request: %1").arg(error.message());
    }
}

} // namespace

PortalScreenshot::Outcome PortalScreenshot::take(QUrl* image, QString* error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *error = QStringLiteral("There is no D-Bus session bus to reach the desktop's screenshot service.");
        return Outcome::Failed;
    }
    // The portal answers on a Request object whose path it derives from our bus name and the
    // token we choose. Subscribing before the call means an answer can never arrive unheard.
    const QString token = QStringLiteral("parcly%1").arg(QRandomGenerator::global()->generate());
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath = QStringLiteral("%1/request/%2/%3").arg(kPath, sender, token);
    bus.connect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.portal.Screenshot"),
                                                       QStringLiteral("Screenshot"));
    // This tool has no window of its own to name as the dialog's parent, and on Wayland a parent
    // can only be named through an exported surface handle; "" is the portal's value for none.
    const QVariantMap options{
        {QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), true}, {QStringLiteral("modal"), true}};
    call << QString() << options;
    const QDBusReply<QDBusObjectPath> reply = bus.call(call);
    if (!reply.isValid()) {
        *error = whyTheCallFailed(reply.error());
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
    if (!m_answered) {
        *error = QStringLiteral("The desktop's screenshot service stopped without answering.");
        return Outcome::Failed;
    }

    // 0 taken, 1 cancelled by the user, anything else failed (the portal gives no reason).
    switch (m_response) {
    case 0:
        *image = QUrl(m_results.value(QStringLiteral("uri")).toString());
        if (!image->isLocalFile()) {
            *error = QStringLiteral("The desktop's screenshot service returned no image file.");
            return Outcome::Failed;
        }
        return Outcome::Taken;
    case 1:
        return Outcome::Cancelled;
    default:
        *error = QStringLiteral("The desktop's screenshot service could not take the screenshot.");
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
