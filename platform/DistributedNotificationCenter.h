#pragma once

#include <QString>

// Notifications that other processes of the user can observe: each post is a D-Bus signal on the
// session bus, at kPath, interface kInterface, member kMember, with the arguments (name, object).
class DistributedNotificationCenter {
public:
    static inline const QString kPath = QStringLiteral("/org/parcly/DistributedNotification");
    static inline const QString kInterface = QStringLiteral("org.parcly.DistributedNotification");
    static inline const QString kMember = QStringLiteral("Notification");

    static DistributedNotificationCenter& defaultCenter();

    // Sends the notification. False, with a log line, when there is no session bus or it refuses.
    bool postNotificationName(const QString& name, const QString& object = {});

private:
    DistributedNotificationCenter() = default;
};
