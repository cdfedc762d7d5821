#include "platform/gui/UserNotificationCenter.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QString bodyOf(const UserNotification& notification)
{
    QStringList lines;
    for (const QString& line : {notification.subtitle, notification.informativeText}) {
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines.join(u'\n');
}

} // namespace

UserNotificationCenter& UserNotificationCenter::defaultUserNotificationCenter()
{
    static UserNotificationCenter center;
    return center;
}

void UserNotificationCenter::setFallbackTrayIcon(QSystemTrayIcon* icon)
{
    m_trayIcon = icon;
}

void UserNotificationCenter::deliverNotification(const UserNotification& notification)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        // Reported from the event loop, as when a server fails to answer.
        const QString reason = bus.lastError().message();
        QMetaObject::invokeMethod(
            this, [this, notification, reason] { fallBack(notification, reason); }, Qt::QueuedConnection);
        return;
    }
    // Servers that take markup would read "&" and "<" in a title or link as markup, so the body is
    // escaped for them; whether they do is asked each time, as the server may have changed.
    QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, notification](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        QDBusPendingReply<QStringList> reply = *call;
        if (reply.isError()) {
            fallBack(notification, reply.error().message());
            return;
        }
        sendNotify(notification, reply.value().contains(QStringLiteral("body-markup")));
    });
}

void UserNotificationCenter::sendNotify(const UserNotification& notification, bool serverTakesMarkup)
{
    const QString body = serverTakesMarkup ? bodyOf(notification).toHtmlEscaped() : bodyOf(notification);
    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    notify << QStringLiteral("Parcly Lite") // app_name
           << uint(0) // replaces_id
           << QString() // app_icon
           << notification.title // summary
           << body << QStringList() // no actions
           << QVariantMap() // hints
           << int(-1); // the server's default timeout
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, notification](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        QDBusPendingReply<uint> reply = *call;
        if (reply.isError()) {
            fallBack(notification, reply.error().message());
            return;
        }
        emit notificationHandled(true);
    });
}

void UserNotificationCenter::fallBack(const UserNotification& notification, const QString& reason)
{
    if (m_trayIcon && m_trayIcon->isVisible() && QSystemTrayIcon::supportsMessages()) {
        logLine(QStringLiteral("Notification server unavailable (%1); showing the notification on the tray icon").arg(reason));
        m_trayIcon->showMessage(notification.title, bodyOf(notification), QSystemTrayIcon::Information);
    } else {
        logLine(QStringLiteral("Notification server unavailable (%1); notification not shown: %2").arg(reason, notification.title));
    }
    emit notificationHandled(false);
}
