#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;

struct UserNotification {
    QString title;
    QString subtitle;
    QString informativeText;
};

// Shows notifications through the desktop's notification server (org.freedesktop.Notifications on
// the session bus), without ever waiting for it: the call is asynchronous. When no server answers,
// or the call fails, the notification becomes a balloon of the fallback tray icon instead.
class UserNotificationCenter : public QObject {
    Q_OBJECT
public:
    static UserNotificationCenter& defaultUserNotificationCenter();

    // Summary = title; body = subtitle and informative text on two lines (an empty one is left out).
    void deliverNotification(const UserNotification& notification);
    // The tray icon whose balloon shows notifications no server took. Not owned.
    void setFallbackTrayIcon(QSystemTrayIcon* icon);

    // How long a notification server may take to answer before the fallback is used.
    static constexpr int kReplyTimeoutMs = 5000;

signals:
    // After each notification has been handed over: to the server, or else to the fallback.
    void notificationHandled(bool deliveredToServer);

private:
    UserNotificationCenter() = default;
    void sendNotify(const UserNotification& notification, bool serverTakesMarkup);
    void fallBack(const UserNotification& notification, const QString& reason);

    QPointer<QSystemTrayIcon> m_trayIcon;
};
