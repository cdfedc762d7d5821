#pragma once

#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QDBusPendingCallWatcher;

// System-wide shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), the
// way a Wayland desktop lets a program have them. The desktop decides which keys trigger them: we
// only propose a combination, and show what it assigned. Every D-Bus call is asynchronous: the
// outcome arrives as stateChanged, and each press as activated.
class PortalGlobalShortcuts : public QObject {
    Q_OBJECT
public:
    enum class State {
        Idle, // bind() not called yet
        Binding, // asking whether the portal serves shortcuts, or binding them
        Unavailable, // no portal, no GlobalShortcuts in it, or it refused: X11 grabs it is
        Bound, // the portal delivers the shortcuts
    };

    struct Shortcut {
        QString id;
        QString description;
        QString preferredTrigger; // the portal's shortcut string, e.g. "ALT+SHIFT+4"
    };

    static PortalGlobalShortcuts& shared();

    explicit PortalGlobalShortcuts(QObject* parent = nullptr);

    // Opens a portal session and binds the shortcuts in it. Once per object: later calls do
    // nothing (the desktop, not this program, changes a bound shortcut).
    void bind(const QList<Shortcut>& shortcuts);
    State state() const { return m_state; }
    // What the desktop says triggers the shortcut, e.g. "Alt+Shift+4"; empty while not bound, or
    // when it assigned no keys.
    QString triggerDescription(const QString& id) const { return m_triggers.value(id); }

signals:
    void stateChanged();
    void triggersChanged();
    void activated(const QString& id);

private slots:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);
    void onPortalGone();

private:
    using ResponseHandler = std::function<void(uint response, const QVariantMap& results)>;

    void createSession();
    void bindShortcuts();
    // Calls method with a fresh handle_token in options and hands the Request's Response to
    // handler. The Response signal is subscribed to on the predicted path before the call goes.
    void request(const QString& method, QList<QVariant> arguments, QVariantMap options, ResponseHandler handler);
    QString requestPath(const QString& token) const;
    void awaitResponse(const QString& path, const ResponseHandler& handler);
    void readTriggers(const QVariant& shortcuts);
    void fail(const QString& reason);
    void setState(State state);

    State m_state = State::Idle;
    QList<Shortcut> m_shortcuts;
    QString m_session;
    QHash<QString, QString> m_triggers;
    QHash<QString, ResponseHandler> m_pendingRequests; // request path -> handler
};
