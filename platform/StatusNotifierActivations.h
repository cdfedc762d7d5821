#pragma once

#include <QDBusVirtualObject>
#include <QObject>
#include <QPoint>
#include <QStringList>

#include <memory>

// Where a StatusNotifierItem host (a panel's tray on the session bus) was clicked to open the
// app's menu. The host passes that position with its Activate call, but the toolkit's tray icon
// drops it; the call is read here, as a monitor of the session bus limited to Activate calls made
// to the app's own items. Where the bus refuses a monitor, nothing is reported and the caller
// falls back to a place of its own.
class StatusNotifierActivations : public QObject {
    Q_OBJECT
public:
    static StatusNotifierActivations& instance();

    // Watches Activate calls to these bus names (the app's items as the watcher lists them),
    // replacing what was watched before. An empty list stops watching.
    void watch(const QStringList& itemNames);
    bool isWatching() const { return m_watching; }

signals:
    // A host asked the app's item to activate at this position on the screen.
    void activated(const QPoint& position);

private:
    StatusNotifierActivations() = default;
    void stop();

    QString m_connectionName;
    std::unique_ptr<QDBusVirtualObject> m_receiver;
    bool m_watching = false;
    int m_generation = 0;
};
