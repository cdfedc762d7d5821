#include "platform/DistributedNotificationCenter.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter()
{
    static DistributedNotificationCenter center;
    return center;
}

bool DistributedNotificationCenter::postNotificationName(const QString& name, const QString& object)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        logLine(QStringLiteral("Distributed notification %1 not posted: no session bus (%2)").arg(name, bus.lastError().message()));
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kMember);
    signal << name << object;
    if (!bus.send(signal)) {
        logLine(QStringLiteral("Distributed notification %1 not posted: %2").arg(name, bus.lastError().message()));
        return false;
    }
    return true;
}
