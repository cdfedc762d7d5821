#include "platform/gui/DesktopManagers.h"

#include "platform/Log.h"

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace {

const QString kNotifierWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kNotifierWatcherPath = QStringLiteral("/StatusNotifierWatcher");

QDBusMessage watcherProperty(const QString& name)
{
    QDBusMessage get = QDBusMessage::createMethodCall(kNotifierWatcher, kNotifierWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kNotifierWatcher << name;
    return get;
}

QDBusMessage hostRegisteredQuery()
{
    return watcherProperty(QStringLiteral("IsStatusNotifierHostRegistered"));
}

// A property's value from a Get reply (invalid for an error).
QVariant propertyValue(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

bool isTrue(const QDBusMessage& reply)
{
    return propertyValue(reply).toBool();
}

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name)
{
    xcb_intern_atom_reply_t* reply
        = xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

xcb_window_t selectionOwner(xcb_connection_t* connection, xcb_atom_t selection)
{
    xcb_get_selection_owner_reply_t* reply
        = xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const xcb_window_t owner = reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(reply);
    return owner;
}

} // namespace

struct DesktopManagers::X11 {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t manager = XCB_ATOM_NONE;
    xcb_atom_t compositor = XCB_ATOM_NONE;
    xcb_atom_t tray = XCB_ATOM_NONE;
    xcb_atom_t activeWindow = XCB_ATOM_NONE;
    xcb_window_t compositorOwner = XCB_WINDOW_NONE;
    xcb_window_t trayOwner = XCB_WINDOW_NONE;
    std::unique_ptr<QSocketNotifier> notifier;

    ~X11()
    {
        notifier.reset();
        if (connection)
            xcb_disconnect(connection);
    }
};

DesktopManagers& DesktopManagers::instance()
{
    static DesktopManagers managers;
    return managers;
}

DesktopManagers::DesktopManagers()
{
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        auto x11 = std::make_unique<X11>();
        int screenNumber = 0;
        x11->connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(x11->connection)) {
            logLine(QStringLiteral("Cannot watch the desktop's compositor and tray: no connection to the X display"));
        } else {
            auto screens = xcb_setup_roots_iterator(xcb_get_setup(x11->connection));
            for (int i = 0; i < screenNumber && screens.rem; ++i)
                xcb_screen_next(&screens);
            x11->root = screens.data->root;
            const QByteArray suffix = QByteArray::number(screenNumber);
            x11->manager = internAtom(x11->connection, "MANAGER");
            x11->compositor = internAtom(x11->connection, "_NET_WM_CM_S" + suffix);
            x11->tray = internAtom(x11->connection, "_NET_SYSTEM_TRAY_S" + suffix);
            x11->activeWindow = internAtom(x11->connection, "_NET_ACTIVE_WINDOW");
            xcb_query_extension_reply_t* xwayland
                = xcb_query_extension_reply(x11->connection, xcb_query_extension(x11->connection, 8, "XWAYLAND"), nullptr);
            m_xwayland = xwayland && xwayland->present;
            std::free(xwayland);
            // Older XWayland has no extension of its own, but names its outputs after itself.
            for (const QScreen* screen : QGuiApplication::screens())
                m_xwayland = m_xwayland || screen->name().startsWith(QLatin1String("XWAYLAND"));
            // The mask is this connection's own, so the app's toolkit keeps its own on the root.
            const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(x11->connection, x11->root, XCB_CW_EVENT_MASK, &mask);
            x11->notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(x11->connection), QSocketNotifier::Read);
            connect(x11->notifier.get(), &QSocketNotifier::activated, this, &DesktopManagers::readX11Events);
            m_x11 = std::move(x11);
            refreshX11Owners();
            readActiveWindow();
        }
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* watcher = new QDBusServiceWatcher(
            kNotifierWatcher, bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
        connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &DesktopManagers::askNotifierHost);
        connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { setTrays(m_xembedTray, false); });
        // A watcher is a tray once a host (the panel that draws the icons) has registered with
        // it: the toolkit decides once, at the first icon, whether icons go on the bus, and asks
        // just that. A panel registers its watcher a moment before its host.
        bus.connect(kNotifierWatcher, kNotifierWatcherPath, kNotifierWatcher, QStringLiteral("StatusNotifierHostRegistered"), this,
                    SLOT(askNotifierHost()));
        if (bus.interface() && bus.interface()->isServiceRegistered(kNotifierWatcher).value()) {
            const QDBusMessage reply = bus.call(hostRegisteredQuery(), QDBus::Block, 1000);
            m_notifierTray = isTrue(reply);
        }
    }

    // The one instance outlives the application: what needs its event loop or bus goes first.
    connect(qApp, &QObject::destroyed, this, [this] {
        m_x11.reset();
        qDeleteAll(findChildren<QDBusServiceWatcher*>());
    });
}

DesktopManagers::~DesktopManagers() = default;

void DesktopManagers::refreshX11Owners()
{
    X11& x = *m_x11;
    x.compositorOwner = selectionOwner(x.connection, x.compositor);
    x.trayOwner = selectionOwner(x.connection, x.tray);
    // An owner's window goes with its manager: its destruction is the sign that the manager left.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    for (xcb_window_t owner : {x.compositorOwner, x.trayOwner}) {
        if (owner != XCB_WINDOW_NONE)
            xcb_change_window_attributes(x.connection, owner, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(x.connection);
    setCompositing(x.compositorOwner != XCB_WINDOW_NONE);
    setTrays(x.trayOwner != XCB_WINDOW_NONE, m_notifierTray);
}

void DesktopManagers::readX11Events()
{
    X11& x = *m_x11;
    bool changed = false;
    bool activeChanged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(x.connection)) {
        switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == x.manager && message->format == 32
                && (message->data.data32[1] == x.compositor || message->data.data32[1] == x.tray))
                changed = true;
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (property->window == x.root && property->atom == x.activeWindow)
                activeChanged = true;
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (destroyed->window == x.compositorOwner || destroyed->window == x.trayOwner)
                changed = true;
            break;
        }
        default:
            break;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(x.connection)) {
        logLine(QStringLiteral("Lost the connection that watches the desktop's compositor and tray"));
        m_x11.reset();
        return;
    }
    if (changed)
        refreshX11Owners();
    if (activeChanged)
        readActiveWindow();
}

void DesktopManagers::readActiveWindow()
{
    X11& x = *m_x11;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        x.connection, xcb_get_property(x.connection, 0, x.root, x.activeWindow, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
    quintptr window = 0;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) >= 4)
        window = *static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
    std::free(reply);
    if (window == m_activeWindow)
        return;
    m_activeWindow = window;
    emit activeWindowChanged(window);
}

bool DesktopManagers::isEmbeddedInTray(quintptr window) const
{
    if (!m_x11 || !window)
        return false;
    xcb_query_tree_reply_t* tree
        = xcb_query_tree_reply(m_x11->connection, xcb_query_tree(m_x11->connection, xcb_window_t(window)), nullptr);
    const bool embedded = tree && tree->parent != XCB_WINDOW_NONE && tree->parent != m_x11->root;
    std::free(tree);
    return embedded;
}

void DesktopManagers::askNotifierTrayListsUs(std::function<void(const QStringList& ourItems)> answer)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !m_notifierTray) {
        answer({});
        return;
    }
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(watcherProperty(QStringLiteral("RegisteredStatusNotifierItems")), 3000), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call, answer] {
        call->deleteLater();
        // The list comes inside a variant, still marshalled.
        const QVariant value = propertyValue(call->reply());
        const QStringList items
            = value.canConvert<QDBusArgument>() ? qdbus_cast<QStringList>(value.value<QDBusArgument>()) : value.toStringList();
        // Items are listed by the bus name they registered from, with the object path after it in
        // some watchers. The toolkit registers from a connection of its own, so an item is ours
        // when the process behind that name is.
        QStringList names;
        for (const QString& item : items)
            names.append(item.section(QLatin1Char('/'), 0, 0));
        names.removeAll(QString());
        names.removeDuplicates();
        if (names.isEmpty()) {
            answer({});
            return;
        }
        struct Pending {
            int left;
            QStringList ours;
        };
        auto pending = std::make_shared<Pending>(Pending{int(names.size()), {}});
        const uint ourPid = uint(QCoreApplication::applicationPid());
        for (const QString& name : names) {
            QDBusMessage pid
                = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
            pid << name;
            auto* pidCall = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(pid, 3000), this);
            connect(pidCall, &QDBusPendingCallWatcher::finished, this, [pidCall, pending, answer, ourPid, name] {
                pidCall->deleteLater();
                const QDBusMessage reply = pidCall->reply();
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                    && reply.arguments().first().toUInt() == ourPid)
                    pending->ours.append(name);
                if (--pending->left == 0)
                    answer(pending->ours);
            });
        }
    });
}

void DesktopManagers::askNotifierHost()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(hostRegisteredQuery(), 3000), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        // A watcher without a host yet says so when one registers.
        if (isTrue(call->reply()))
            setTrays(m_xembedTray, true);
    });
}

void DesktopManagers::setCompositing(bool compositing)
{
    if (compositing == m_compositing)
        return;
    m_compositing = compositing;
    emit compositingChanged(compositing);
}

void DesktopManagers::setTrays(bool xembedTray, bool notifierTray)
{
    const bool before = hasTray();
    m_xembedTray = xembedTray;
    m_notifierTray = notifierTray;
    if (hasTray() != before)
        emit trayChanged(hasTray());
}
