#include "platform/gui/PortalGlobalShortcuts.h"

#include "platform/Log.h"
#include "platform/gui/PortalShortcut.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QRandomGenerator>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// A portal that is slow to start is waited for this long before the X11 grabs are kept for good.
constexpr int kProbeTimeoutMs = 5000;

QString token()
{
    return QStringLiteral("parcly%1").arg(QRandomGenerator::global()->generate());
}

} // namespace

PortalGlobalShortcuts& PortalGlobalShortcuts::shared()
{
    // Lives as long as the process, like the session it holds.
    static auto* portal = new PortalGlobalShortcuts;
    return *portal;
}

PortalGlobalShortcuts::PortalGlobalShortcuts(QObject* parent)
    : QObject(parent)
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

void PortalGlobalShortcuts::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged();
}

void PortalGlobalShortcuts::fail(const QString& reason)
{
    logLine(QStringLiteral("Global shortcuts: %1; using X11 key grabs").arg(reason));
    m_triggers.clear();
    setState(State::Unavailable);
}

void PortalGlobalShortcuts::bind(const QList<Shortcut>& shortcuts)
{
    if (m_state != State::Idle)
        return;
    m_shortcuts = shortcuts;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fail(QStringLiteral("no session bus for the desktop portal"));
        return;
    }
    setState(State::Binding);
    // Whether the portal has the interface at all: its version property answers that without
    // asking the user anything.
    QDBusMessage probe
        = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    probe << kInterface << QStringLiteral("version");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(probe, kProbeTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        if (reply.isError()) {
            fail(QStringLiteral("the desktop portal offers none (%1)").arg(reply.error().message()));
            return;
        }
        createSession();
    });
}

QString PortalGlobalShortcuts::requestPath(const QString& token) const
{
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("%1/request/%2/%3").arg(kPath, sender, token);
}

void PortalGlobalShortcuts::awaitResponse(const QString& path, const ResponseHandler& handler)
{
    if (m_pendingRequests.contains(path))
        return;
    m_pendingRequests.insert(path, handler);
    QDBusConnection::sessionBus().connect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                                          SLOT(onResponse(QDBusMessage)));
}

void PortalGlobalShortcuts::request(const QString& method, QList<QVariant> arguments, QVariantMap options, ResponseHandler handler)
{
    // The portal answers on a Request object named after our bus name and this token; listening
    // there before the call means the answer cannot slip past.
    const QString handleToken = token();
    const QString path = requestPath(handleToken);
    awaitResponse(path, handler);
    options.insert(QStringLiteral("handle_token"), handleToken);
    arguments.append(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    // The portal may ask the user before it answers: no timeout on the Response, only on the call.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method, path, handler](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *call;
        if (reply.isError()) {
            m_pendingRequests.remove(path);
            fail(QStringLiteral("the desktop portal refused %1 (%2)").arg(method, reply.error().message()));
            return;
        }
        // Older portals ignore the token and name another Request object: listen there too.
        if (reply.value().path() != path)
            awaitResponse(reply.value().path(), handler);
    });
}

void PortalGlobalShortcuts::onResponse(const QDBusMessage& message)
{
    const ResponseHandler handler = m_pendingRequests.take(message.path());
    QDBusConnection::sessionBus().disconnect(kService, message.path(), kRequestInterface, QStringLiteral("Response"), this,
                                             SLOT(onResponse(QDBusMessage)));
    const QList<QVariant> arguments = message.arguments();
    if (!handler || arguments.size() < 2)
        return;
    handler(arguments.at(0).toUInt(), qdbus_cast<QVariantMap>(arguments.at(1)));
}

void PortalGlobalShortcuts::createSession()
{
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), token()}},
            [this](uint response, const QVariantMap& results) {
                if (response != 0) {
                    fail(QStringLiteral("the desktop portal gave no session (response %1)").arg(response));
                    return;
                }
                // A string in the documented interface; some portals send an object path.
                const QVariant handle = results.value(QStringLiteral("session_handle"));
                m_session = handle.canConvert<QDBusObjectPath>() && handle.typeId() != QMetaType::QString
                    ? handle.value<QDBusObjectPath>().path()
                    : handle.toString();
                if (m_session.isEmpty()) {
                    fail(QStringLiteral("the desktop portal gave no session handle"));
                    return;
                }
                bindShortcuts();
            });
}

void PortalGlobalShortcuts::bindShortcuts()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this, SLOT(onShortcutsChanged(QDBusMessage)));
    auto* gone = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(gone, &QDBusServiceWatcher::serviceUnregistered, this, &PortalGlobalShortcuts::onPortalGone);

    QList<PortalShortcut> shortcuts;
    for (const Shortcut& shortcut : std::as_const(m_shortcuts)) {
        QVariantMap properties{{QStringLiteral("description"), shortcut.description}};
        if (!shortcut.preferredTrigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), shortcut.preferredTrigger);
        shortcuts.append({shortcut.id, properties});
    }
    // No window of ours to name as the parent of a dialog the desktop may show: "" is none.
    request(QStringLiteral("BindShortcuts"), {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()},
            {}, [this](uint response, const QVariantMap& results) {
                if (response != 0) {
                    fail(QStringLiteral("the desktop did not bind the shortcuts (response %1)").arg(response));
                    return;
                }
                readTriggers(results.value(QStringLiteral("shortcuts")));
                QStringList bound;
                for (const Shortcut& shortcut : std::as_const(m_shortcuts))
                    bound.append(QStringLiteral("%1 = %2").arg(
                        shortcut.id, m_triggers.value(shortcut.id).isEmpty() ? QStringLiteral("no keys") : m_triggers.value(shortcut.id)));
                logLine(QStringLiteral("Global shortcuts bound through the desktop portal: %1").arg(bound.join(QStringLiteral(", "))));
                setState(State::Bound);
            });
}

void PortalGlobalShortcuts::readTriggers(const QVariant& shortcuts)
{
    QList<PortalShortcut> list;
    if (shortcuts.canConvert<QDBusArgument>())
        shortcuts.value<QDBusArgument>() >> list;
    else
        list = shortcuts.value<QList<PortalShortcut>>();
    m_triggers.clear();
    for (const PortalShortcut& shortcut : std::as_const(list))
        m_triggers.insert(shortcut.id, shortcut.properties.value(QStringLiteral("trigger_description")).toString());
}

void PortalGlobalShortcuts::onActivated(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    if (m_state != State::Bound || arguments.size() < 2 || arguments.at(0).value<QDBusObjectPath>().path() != m_session)
        return;
    emit activated(arguments.at(1).toString());
}

void PortalGlobalShortcuts::onShortcutsChanged(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    if (m_state != State::Bound || arguments.size() < 2 || arguments.at(0).value<QDBusObjectPath>().path() != m_session)
        return;
    readTriggers(arguments.at(1));
    logLine(QStringLiteral("Global shortcuts: the desktop changed their keys"));
    emit triggersChanged();
}

void PortalGlobalShortcuts::onPortalGone()
{
    if (m_state == State::Bound || m_state == State::Binding) {
        m_pendingRequests.clear();
        fail(QStringLiteral("the desktop portal went away"));
    }
}
