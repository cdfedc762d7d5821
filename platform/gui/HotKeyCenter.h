#pragma once

#include <QAbstractNativeEventFilter>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>

struct xcb_connection_t;
struct _XCBKeySymbols;

// System-wide keyboard shortcuts: X11 passive key grabs on the root window. A press of a
// registered combination anywhere on the desktop calls its action on the main thread.
// Without an X11 display (offscreen, Wayland) nothing can be grabbed: one line is logged and
// registration answers false.
class HotKeyCenter : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    static HotKeyCenter& sharedHotKeyCenter();

    HotKeyCenter();
    ~HotKeyCenter() override;
    HotKeyCenter(const HotKeyCenter&) = delete;
    HotKeyCenter& operator=(const HotKeyCenter&) = delete;

    // Grabs keyCode+modifierFlags system-wide; a press calls action on the main thread, for as
    // long as target lives (no target: for as long as this centre lives). Registering a
    // combination that is already registered replaces its action and keeps one grab. False when
    // nothing could be grabbed: no X11, an unknown key code, or another program holds the keys;
    // a refused combination is tried again at each registration but logged only the first time.
    // A combination no key of the keyboard produces is kept, and grabbed as soon as a keyboard
    // layout that has the key arrives.
    bool registerHotKey(quint16 keyCode, quint64 modifierFlags, QObject* target, std::function<void()> action);
    bool hasRegisteredHotKey(quint16 keyCode, quint64 modifierFlags) const;
    // In a Wayland session the X server (XWayland) hears keys only while one of its own windows
    // has focus: a grab works there and nowhere else.
    static bool isLimitedToX11Windows();
    void unregisterHotKey(quint16 keyCode, quint64 modifierFlags);

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct HotKey {
        QList<quint8> xKeycodes; // every key that yields the keysym
        quint16 xModifiers = 0;
        QList<quint16> grabbedModifiers; // xModifiers with each combination of the lock keys
        QObject* target = nullptr; // identity only; may dangle once destroyed
        QPointer<QObject> liveTarget;
        std::function<void()> action;
    };
    using Combination = QPair<quint16, quint64>;

    bool connectToDisplay();
    void keyboardChanged();
    // From an event's first two bytes: its response type and, for XKB events, their kind.
    bool isKeymapChange(quint8 responseType, quint8 xkbType) const;
    QList<quint8> xKeycodesForKeysym(quint32 keysym) const;
    quint16 lockMasks() const;
    bool grab(HotKey& hotKey, const QString& description, bool logRefusal = true);
    void ungrab(const HotKey& hotKey);
    void regrabAll();
    void watchTarget(QObject* target);
    void forgetTarget(QObject* target);
    bool handleKeyPress(quint8 keycode, quint16 state, quint32 time);
    void handleKeyRelease(quint8 keycode, quint32 time);

    xcb_connection_t* m_connection = nullptr;
    _XCBKeySymbols* m_keySymbols = nullptr;
    QList<quint32> m_roots;
    quint16 m_numLockMask = 0;
    bool m_filterInstalled = false;
    quint8 m_xkbFirstEvent = 0; // 0: the server has no XKB
    bool m_keyboardChangePending = false;
    QHash<Combination, HotKey> m_hotKeys;
    // Registered while no key produced them; grabbed when a new keymap has the key.
    QHash<Combination, HotKey> m_waitingForKey;
    QSet<QObject*> m_watchedTargets;
    // Combinations whose refusal has been logged: the menu registers its shortcuts again at every
    // opening, and one line says all there is to say.
    QSet<Combination> m_refusalsLogged;
    // Auto-repeat comes either as repeated presses (detectable auto-repeat) or as a release and
    // a press with the same time stamp; either way one physical press calls the action once.
    QHash<quint8, quint32> m_keysDown; // key -> time of its latest press
    QHash<quint8, quint32> m_lastReleaseTime;
};
