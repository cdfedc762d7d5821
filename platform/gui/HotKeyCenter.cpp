#include "platform/gui/HotKeyCenter.h"

#include "platform/Log.h"
#include "platform/gui/KeyCodes.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#define explicit explicit_ // xkb.h names a struct member "explicit"
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>
#include <memory>
#include <utility>

namespace {

// The modifiers a hot key is told apart by; lock keys and the mouse buttons are not among them.
constexpr quint16 significantModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// A second press this soon after the last one of a key still held is the keyboard's auto-repeat.
// Bounded, so that a release we never saw (another program grabbed the keyboard meanwhile, as
// the screen capture tool does) cannot swallow the next real press.
constexpr quint32 repeatWindowMs = 1000;

quint16 xModifiersForFlags(quint64 modifierFlags)
{
    quint16 modifiers = 0;
    if (modifierFlags & KeyCodes::ShiftKeyMask)
        modifiers |= XCB_MOD_MASK_SHIFT;
    if (modifierFlags & KeyCodes::ControlKeyMask)
        modifiers |= XCB_MOD_MASK_CONTROL;
    if (modifierFlags & KeyCodes::AlternateKeyMask)
        modifiers |= XCB_MOD_MASK_1;
    if (modifierFlags & KeyCodes::CommandKeyMask)
        modifiers |= XCB_MOD_MASK_4;
    return modifiers;
}

// For log lines, in the order desktop shortcut settings use.
QString describe(quint16 keyCode, quint64 modifierFlags)
{
    QString text;
    if (modifierFlags & KeyCodes::ControlKeyMask)
        text += QStringLiteral("Ctrl+");
    if (modifierFlags & KeyCodes::AlternateKeyMask)
        text += QStringLiteral("Alt+");
    if (modifierFlags & KeyCodes::ShiftKeyMask)
        text += QStringLiteral("Shift+");
    if (modifierFlags & KeyCodes::CommandKeyMask)
        text += QStringLiteral("Super+");
    const QString key = KeyCodes::stringForKeyCode(keyCode);
    return text + (key.isEmpty() ? QStringLiteral("key code %1").arg(keyCode) : key);
}

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

} // namespace

HotKeyCenter& HotKeyCenter::sharedHotKeyCenter()
{
    // Lives until the process ends and is never destroyed: at exit the X connection is gone.
    static auto* center = new HotKeyCenter;
    return *center;
}

HotKeyCenter::HotKeyCenter() = default;

HotKeyCenter::~HotKeyCenter()
{
    // The connection belongs to the application; it is only still open while that exists.
    if (m_connection && QCoreApplication::instance()) {
        for (const HotKey& hotKey : std::as_const(m_hotKeys))
            ungrab(hotKey);
        xcb_flush(m_connection);
    }
    if (m_filterInstalled && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
    if (m_keySymbols)
        xcb_key_symbols_free(m_keySymbols);
}

bool HotKeyCenter::connectToDisplay()
{
    if (m_connection)
        return true;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        static bool logged = false;
        if (!logged) {
            logged = true;
            logLine(QStringLiteral("Global hot keys need an X11 display; shortcuts work from the menu only"));
        }
        return false;
    }
    m_connection = x11->connection();
    m_keySymbols = xcb_key_symbols_alloc(m_connection);
    for (auto screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection)); screens.rem; xcb_screen_next(&screens))
        m_roots.append(screens.data->root);
    m_numLockMask = lockMasks();
    // Qt's connection already asks for XKB's keymap events (it keeps its own keymap from them);
    // an XKB-aware connection gets no core MappingNotify when a whole new keymap arrives, so
    // these events are the only word of a layout change.
    if (const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(m_connection, &xcb_xkb_id); xkb && xkb->present)
        m_xkbFirstEvent = xkb->first_event;
    QCoreApplication::instance()->installNativeEventFilter(this);
    m_filterInstalled = true;
    return true;
}

QList<quint8> HotKeyCenter::xKeycodesForKeysym(quint32 keysym) const
{
    QList<quint8> result;
    xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(m_keySymbols, keysym);
    if (!keycodes)
        return result;
    for (xcb_keycode_t* keycode = keycodes; *keycode != XCB_NO_SYMBOL; ++keycode) {
        if (!result.contains(*keycode))
            result.append(*keycode);
    }
    std::free(keycodes);
    return result;
}

// The modifier bit NumLock is mapped to: Mod2 on most keyboards, but the mapping decides.
quint16 HotKeyCenter::lockMasks() const
{
    const QList<quint8> numLockKeys = xKeycodesForKeysym(XK_Num_Lock);
    XcbReply<xcb_get_modifier_mapping_reply_t> mapping(
        xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr));
    if (!mapping || numLockKeys.isEmpty())
        return XCB_MOD_MASK_2;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(mapping.get());
    const int perModifier = mapping->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            if (numLockKeys.contains(keycodes[modifier * perModifier + i]))
                return quint16(1u << modifier);
        }
    }
    return XCB_MOD_MASK_2;
}

bool HotKeyCenter::grab(HotKey& hotKey, const QString& description, bool logRefusal)
{
    // Each combination is grabbed with and without NumLock and CapsLock, which X counts as
    // modifiers: otherwise the shortcut would stop working while either lock is on.
    QList<quint16> variants{0, XCB_MOD_MASK_LOCK};
    if (m_numLockMask) {
        variants.append(m_numLockMask);
        variants.append(m_numLockMask | XCB_MOD_MASK_LOCK);
    }
    hotKey.grabbedModifiers.clear();
    for (quint16 variant : std::as_const(variants))
        hotKey.grabbedModifiers.append(hotKey.xModifiers | variant);
    QList<xcb_void_cookie_t> cookies;
    for (quint32 root : std::as_const(m_roots)) {
        for (quint8 keycode : std::as_const(hotKey.xKeycodes)) {
            for (quint16 modifiers : std::as_const(hotKey.grabbedModifiers)) {
                cookies.append(xcb_grab_key_checked(m_connection, 0, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
    }
    int refused = 0;
    for (const xcb_void_cookie_t& cookie : std::as_const(cookies)) {
        if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
            ++refused;
            std::free(error);
        }
    }
    if (refused == 0)
        return true;
    if (refused == cookies.size()) {
        if (logRefusal)
            logLine(QStringLiteral("Hot key %1 is taken by another program").arg(description));
        return false;
    }
    if (logRefusal)
        logLine(
            QStringLiteral("Hot key %1 is partly taken by another program; it may not work with NumLock or CapsLock on").arg(description));
    return true;
}

void HotKeyCenter::ungrab(const HotKey& hotKey)
{
    for (quint32 root : std::as_const(m_roots)) {
        for (quint8 keycode : hotKey.xKeycodes) {
            // Only our own combinations: another hot key may share the key with other modifiers.
            for (quint16 modifiers : hotKey.grabbedModifiers)
                xcb_ungrab_key(m_connection, keycode, root, modifiers);
        }
    }
}

bool HotKeyCenter::registerHotKey(quint16 keyCode, quint64 modifierFlags, QObject* target, std::function<void()> action)
{
    modifierFlags &= KeyCodes::DeviceIndependentModifierMask;
    if (!connectToDisplay())
        return false;
    const Combination combination(keyCode, modifierFlags);
    auto existing = m_hotKeys.find(combination);
    if (existing == m_hotKeys.end()) {
        const QString description = describe(keyCode, modifierFlags);
        const bool logRefusal = !m_refusalsLogged.contains(combination);
        const quint32 keysym = KeyCodes::keysymForKeyCode(keyCode);
        HotKey hotKey;
        hotKey.xKeycodes = keysym ? xKeycodesForKeysym(keysym) : QList<quint8>();
        hotKey.xModifiers = xModifiersForFlags(modifierFlags);
        if (hotKey.xKeycodes.isEmpty()) {
            if (logRefusal)
                logLine(QStringLiteral("Hot key %1: no key of this keyboard produces it; waiting for a keyboard layout that has it")
                            .arg(description));
            m_refusalsLogged.insert(combination);
            hotKey.target = target;
            hotKey.liveTarget = target;
            hotKey.action = std::move(action);
            m_waitingForKey.insert(combination, hotKey);
            watchTarget(target);
            return false;
        }
        if (!grab(hotKey, description, logRefusal)) {
            m_refusalsLogged.insert(combination);
            return false;
        }
        m_waitingForKey.remove(combination);
        existing = m_hotKeys.insert(combination, hotKey);
    }
    existing->target = target;
    existing->liveTarget = target;
    existing->action = std::move(action);
    watchTarget(target);
    return true;
}

void HotKeyCenter::watchTarget(QObject* target)
{
    if (target && !m_watchedTargets.contains(target)) {
        m_watchedTargets.insert(target);
        connect(target, &QObject::destroyed, this, [this, target] { forgetTarget(target); });
    }
}

bool HotKeyCenter::hasRegisteredHotKey(quint16 keyCode, quint64 modifierFlags) const
{
    return m_hotKeys.contains(Combination(keyCode, modifierFlags & KeyCodes::DeviceIndependentModifierMask));
}

bool HotKeyCenter::isLimitedToX11Windows()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void HotKeyCenter::unregisterHotKey(quint16 keyCode, quint64 modifierFlags)
{
    const Combination combination(keyCode, modifierFlags & KeyCodes::DeviceIndependentModifierMask);
    m_waitingForKey.remove(combination);
    const auto found = m_hotKeys.constFind(combination);
    if (found == m_hotKeys.constEnd())
        return;
    ungrab(*found);
    xcb_flush(m_connection);
    m_hotKeys.erase(found);
}

void HotKeyCenter::forgetTarget(QObject* target)
{
    m_watchedTargets.remove(target);
    m_waitingForKey.removeIf([target](const auto& entry) { return entry.value().target == target; });
    // A target that outlives the application goes after the X connection has closed.
    const bool connected = QCoreApplication::instance() != nullptr;
    for (auto it = m_hotKeys.begin(); it != m_hotKeys.end();) {
        if (it->target == target) {
            if (connected)
                ungrab(*it);
            it = m_hotKeys.erase(it);
        } else {
            ++it;
        }
    }
    if (connected)
        xcb_flush(m_connection);
}

void HotKeyCenter::regrabAll()
{
    for (auto it = m_hotKeys.begin(); it != m_hotKeys.end();) {
        ungrab(*it);
        it->xKeycodes = xKeycodesForKeysym(KeyCodes::keysymForKeyCode(it.key().first));
        if (it->xKeycodes.isEmpty()) {
            // The new layout has no key for it: it waits for one that has.
            logLine(QStringLiteral("Hot key %1: no key of this keyboard layout produces it; waiting for one that has it")
                        .arg(describe(it.key().first, it.key().second)));
            m_waitingForKey.insert(it.key(), *it);
            it = m_hotKeys.erase(it);
            continue;
        }
        grab(*it, describe(it.key().first, it.key().second));
        ++it;
    }
    for (auto it = m_waitingForKey.begin(); it != m_waitingForKey.end();) {
        it->xKeycodes = xKeycodesForKeysym(KeyCodes::keysymForKeyCode(it.key().first));
        if (it->xKeycodes.isEmpty() || (it->target && !it->liveTarget)) {
            ++it;
            continue;
        }
        const QString description = describe(it.key().first, it.key().second);
        if (grab(*it, description)) {
            logLine(QStringLiteral("Hot key %1: the keyboard layout now has its key").arg(description));
            m_hotKeys.insert(it.key(), *it);
        }
        it = m_waitingForKey.erase(it);
    }
    xcb_flush(m_connection);
}

void HotKeyCenter::keyboardChanged()
{
    // A new keymap may put every keysym on other keys: the cached table is dropped, not patched.
    xcb_key_symbols_free(m_keySymbols);
    m_keySymbols = xcb_key_symbols_alloc(m_connection);
    m_numLockMask = lockMasks();
    m_keysDown.clear();
    logLine(QStringLiteral("Hot keys: the keyboard layout changed; grabbing the shortcuts anew"));
    regrabAll();
}

bool HotKeyCenter::isKeymapChange(quint8 responseType, quint8 xkbType) const
{
    return m_xkbFirstEvent && (responseType & ~0x80) == m_xkbFirstEvent
        && (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY);
}

bool HotKeyCenter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || !m_connection)
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    switch (event->response_type & ~0x80) {
    case XCB_KEY_PRESS: {
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        return m_roots.contains(press->event) && handleKeyPress(press->detail, press->state, press->time);
    }
    case XCB_KEY_RELEASE: {
        auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
        if (m_roots.contains(release->event))
            handleKeyRelease(release->detail, release->time);
        return false;
    }
    case XCB_MAPPING_NOTIFY: {
        // The keyboard layout changed: keysyms may sit on other keys, NumLock on another bit.
        auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
        if (mapping->request == XCB_MAPPING_KEYBOARD || mapping->request == XCB_MAPPING_MODIFIER) {
            keyboardChanged();
        }
        return false; // Qt keeps its own keymap up to date from the same event
    }
    default:
        // One layout switch comes as several events: the grabs are renewed once, after them.
        // Every XKB event carries its kind in the byte after the response type.
        if (isKeymapChange(event->response_type, reinterpret_cast<const quint8*>(event)[1]) && !m_keyboardChangePending) {
            m_keyboardChangePending = true;
            QTimer::singleShot(0, this, [this] {
                m_keyboardChangePending = false;
                keyboardChanged();
            });
        }
        return false; // Qt reads the same events for its own keymap
    }
}

bool HotKeyCenter::handleKeyPress(quint8 keycode, quint16 state, quint32 time)
{
    const quint16 modifiers = state & significantModifiers;
    const HotKey* match = nullptr;
    for (const HotKey& hotKey : std::as_const(m_hotKeys)) {
        if (hotKey.xModifiers == modifiers && hotKey.xKeycodes.contains(keycode)) {
            match = &hotKey;
            break;
        }
    }
    if (!match)
        return false;

    const auto lastRelease = m_lastReleaseTime.constFind(keycode);
    const bool releasedJustNow = lastRelease != m_lastReleaseTime.constEnd() && *lastRelease == time;
    const auto down = m_keysDown.constFind(keycode);
    const bool heldDown = down != m_keysDown.constEnd() && quint32(time - *down) < repeatWindowMs;
    m_keysDown.insert(keycode, time);
    if (releasedJustNow || heldDown)
        return true;

    if (match->target && !match->liveTarget)
        return true;
    QObject* context = match->target ? match->liveTarget.data() : this;
    QMetaObject::invokeMethod(context, match->action, Qt::QueuedConnection);
    return true;
}

void HotKeyCenter::handleKeyRelease(quint8 keycode, quint32 time)
{
    m_keysDown.remove(keycode);
    m_lastReleaseTime.insert(keycode, time);
}
