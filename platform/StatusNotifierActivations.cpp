#include "platform/StatusNotifierActivations.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>

namespace {

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

// Takes every message the monitor connection is given; a monitor must never answer one.
class ActivateReceiver : public QDBusVirtualObject {
public:
    explicit ActivateReceiver(StatusNotifierActivations* owner)
        : m_owner(owner)
    {
    }
    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        if (message.type() == QDBusMessage::MethodCallMessage && message.interface() == kItemInterface
            && message.member() == QLatin1String("Activate") && message.arguments().size() == 2) {
            const QPoint position(message.arguments().at(0).toInt(), message.arguments().at(1).toInt());
            QMetaObject::invokeMethod(
                m_owner, [owner = m_owner, position] { emit owner->activated(position); }, Qt::QueuedConnection);
        }
        return true;
    }

private:
    StatusNotifierActivations* m_owner;
};

} // namespace

StatusNotifierActivations& StatusNotifierActivations::instance()
{
    static auto* activations = new StatusNotifierActivations;
    return *activations;
}

void StatusNotifierActivations::stop()
{
    if (!m_connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
    m_connectionName.clear();
    m_receiver.reset();
    m_watching = false;
}

void StatusNotifierActivations::watch(const QStringList& itemNames)
{
    stop();
    if (itemNames.isEmpty())
        return;
    // A monitor's rules are fixed when it becomes one: new items, a new connection.
    m_connectionName = QStringLiteral("parcly-activations-%1").arg(++m_generation);
    QDBusConnection monitor = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
    if (!monitor.isConnected())
        return;
    m_receiver = std::make_unique<ActivateReceiver>(this);
    monitor.registerVirtualObject(QStringLiteral("/"), m_receiver.get(), QDBusConnection::SubPath);
    QStringList rules;
    for (const QString& name : itemNames)
        rules.append(QStringLiteral("type='method_call',interface='%1',member='Activate',destination='%2'").arg(kItemInterface, name));
    QDBusMessage become
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                         QStringLiteral("org.freedesktop.DBus.Monitoring"), QStringLiteral("BecomeMonitor"));
    become << rules << 0u;
    auto* call = new QDBusPendingCallWatcher(monitor.asyncCall(become, 3000), this);
    const int generation = m_generation;
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call, generation] {
        call->deleteLater();
        if (generation != m_generation)
            return;
        if (call->isError()) {
            logLine(QStringLiteral("Tray: cannot read where the tray was clicked (%1); the menu opens at the drop target's place")
                        .arg(call->error().message()));
            stop();
            return;
        }
        m_watching = true;
    });
}
