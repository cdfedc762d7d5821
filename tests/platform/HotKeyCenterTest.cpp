// Global hot keys on a real X server: keys are typed with xdotool, which goes through the server
// like a keyboard would.
#include "platform/gui/HotKeyCenter.h"
#include "platform/Log.h"
#include "platform/gui/KeyCodes.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

namespace {

constexpr quint64 shiftOption = KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask; // 655360
constexpr quint16 keyD = 2, keyW = 13, keyK = 0x28, keyF12 = 0x6F;

void xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    ASSERT_TRUE(process.waitForFinished(10000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
}

// Every test ends what it types with a marker combination. The X server delivers key events in
// order, so once the marker's action has run, every earlier key has been handled as well and
// counting actions is final.
class HotKeyCenterTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(center.registerHotKey(keyF12, KeyCodes::ControlKeyMask | KeyCodes::ShiftKeyMask, nullptr, [this] { ++markers; }));
    }

    void type(QStringList keys)
    {
        const int before = markers;
        keys.prepend(QStringLiteral("key"));
        keys.append(QStringLiteral("ctrl+shift+F12"));
        xdotool(keys);
        ASSERT_TRUE(QTest::qWaitFor([&] { return markers > before; }, 5000)) << "the marker key never arrived";
    }

    HotKeyCenter center;
    int markers = 0;
};

TEST_F(HotKeyCenterTest, APressCallsTheActionOnceWithOrWithoutNumLock)
{
    int calls = 0;
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }));
    EXPECT_TRUE(center.hasRegisteredHotKey(keyD, shiftOption));

    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(calls, 1);

    type({QStringLiteral("Num_Lock"), QStringLiteral("shift+alt+d")});
    type({QStringLiteral("Caps_Lock"), QStringLiteral("shift+alt+d")});
    type({QStringLiteral("Num_Lock"), QStringLiteral("Caps_Lock")}); // both off again
    EXPECT_EQ(calls, 3);
}

TEST_F(HotKeyCenterTest, OtherModifiersOrKeysDoNotCallIt)
{
    int calls = 0;
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }));
    type({QStringLiteral("alt+d"), QStringLiteral("shift+d"), QStringLiteral("ctrl+shift+alt+d"), QStringLiteral("super+shift+alt+d"),
          QStringLiteral("shift+alt+s")});
    EXPECT_EQ(calls, 0);

    // Command is the Super key; Shift + Control is told apart from Shift + Option.
    int commandCalls = 0, controlCalls = 0;
    ASSERT_TRUE(center.registerHotKey(keyK, KeyCodes::CommandKeyMask, nullptr, [&] { ++commandCalls; }));
    ASSERT_TRUE(center.registerHotKey(keyW, 393216, nullptr, [&] { ++controlCalls; }));
    type({QStringLiteral("super+k"), QStringLiteral("ctrl+shift+w"), QStringLiteral("shift+alt+w")});
    EXPECT_EQ(commandCalls, 1);
    EXPECT_EQ(controlCalls, 1);
}

TEST_F(HotKeyCenterTest, RegisteringAgainReplacesTheActionAndKeepsOneGrab)
{
    int first = 0, second = 0;
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++first; }));
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++second; }));
    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);

    // Another combination on the same key keeps working when this one goes.
    int withControl = 0;
    ASSERT_TRUE(center.registerHotKey(keyD, KeyCodes::ControlKeyMask, nullptr, [&] { ++withControl; }));
    center.unregisterHotKey(keyD, shiftOption);
    EXPECT_FALSE(center.hasRegisteredHotKey(keyD, shiftOption));
    type({QStringLiteral("shift+alt+d"), QStringLiteral("ctrl+d")});
    EXPECT_EQ(second, 1);
    EXPECT_EQ(withControl, 1);
}

TEST_F(HotKeyCenterTest, HoldingTheKeysIsOnePress)
{
    int calls = 0;
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }));
    // Long enough for the server's auto-repeat (660 ms delay, then 25 per second) to kick in.
    xdotool({QStringLiteral("keydown"), QStringLiteral("shift+alt+d"), QStringLiteral("sleep"), QStringLiteral("1.2"),
             QStringLiteral("keyup"), QStringLiteral("d"), QStringLiteral("keyup"), QStringLiteral("shift+alt")});
    type({});
    EXPECT_EQ(calls, 1);
    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(calls, 2);
}

TEST_F(HotKeyCenterTest, ADestroyedTargetsHotKeysStopCalling)
{
    int calls = 0;
    auto* target = new QObject;
    ASSERT_TRUE(center.registerHotKey(keyD, shiftOption, target, [&] { ++calls; }));
    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(calls, 1);
    delete target;
    EXPECT_FALSE(center.hasRegisteredHotKey(keyD, shiftOption));
    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(calls, 1);
}

TEST_F(HotKeyCenterTest, ACombinationAnotherProgramHoldsIsLoggedNotFatal)
{
    // Another X client grabs Shift+Alt+D first, with and without the lock keys.
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(other);
    xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols, XK_d);
    ASSERT_NE(keycodes, nullptr);
    xcb_generic_error_t* error = xcb_request_check(
        other, xcb_grab_key_checked(other, 0, root, XCB_MOD_MASK_ANY, keycodes[0], XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    EXPECT_EQ(error, nullptr);
    std::free(keycodes);
    xcb_key_symbols_free(symbols);

    ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
    int calls = 0;
    EXPECT_FALSE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }));
    EXPECT_FALSE(center.hasRegisteredHotKey(keyD, shiftOption));
    // The menu registers its shortcuts again at every opening: the refusal is said once.
    EXPECT_FALSE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }));
    EXPECT_EQ(capture.lines(), QStringList{QStringLiteral("Hot key Alt+Shift+D is taken by another program")});

    // Once the other program lets go, the same combination can be had, and works. It lets go with a
    // request answered before ours are made: a disconnect is handled by the server in its own time,
    // and when that fell between the center's four grabs (with and without the lock keys), the
    // center had only the lock variants and rightly called the shortcut "partly taken".
    xcb_generic_error_t* released = xcb_request_check(other, xcb_ungrab_key_checked(other, XCB_GRAB_ANY, root, XCB_MOD_MASK_ANY));
    EXPECT_EQ(released, nullptr);
    std::free(released);
    xcb_disconnect(other);
    EXPECT_TRUE(QTest::qWaitFor([&] { return center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++calls; }); }, 5000));
    type({QStringLiteral("shift+alt+d")});
    EXPECT_EQ(calls, 1);
}

// A layout switch replaces the whole keymap: X tells an XKB-aware client (Qt's connection is one)
// only through XKB's own events. The grabs must follow the keysyms to their new keys.
class KeyboardLayoutTest : public HotKeyCenterTest {
protected:
    void TearDown() override { switchLayout(QStringLiteral("us")); }

    void switchLayout(const QString& layout)
    {
        ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
        QProcess process;
        process.start(QStringLiteral("setxkbmap"), {layout});
        ASSERT_TRUE(process.waitForFinished(10000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        // Keys typed before the grabs were renewed would reach the old keys.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return capture.lines().contains(QStringLiteral("Hot keys: the keyboard layout changed; grabbing the shortcuts anew")); },
            5000))
            << "no keymap change was seen after setxkbmap " << layout.toStdString();
    }
};

TEST_F(KeyboardLayoutTest, TheShortcutFollowsItsKeyToItsNewPlaceAndAMissingKeyIsGrabbedOnceALayoutHasIt)
{
    if (QStandardPaths::findExecutable(QStringLiteral("setxkbmap")).isEmpty())
        GTEST_SKIP() << "setxkbmap (x11-xkb-utils) is not installed";
    int windowCaptures = 0;
    ASSERT_TRUE(center.registerHotKey(keyW, KeyCodes::ControlKeyMask | KeyCodes::ShiftKeyMask, nullptr, [&] { ++windowCaptures; }));

    // French AZERTY: "w" sits where "z" was, and the key that made "w" now makes "z".
    switchLayout(QStringLiteral("fr"));
    type({QStringLiteral("ctrl+shift+z")});
    EXPECT_EQ(windowCaptures, 0) << "the old key still fires the shortcut";
    type({QStringLiteral("ctrl+shift+w")});
    EXPECT_EQ(windowCaptures, 1);

    // Russian has no "d" at all: the shortcut waits, unregistered, and comes back with a layout that has it.
    switchLayout(QStringLiteral("ru"));
    int shares = 0;
    {
        ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
        EXPECT_FALSE(center.registerHotKey(keyD, shiftOption, nullptr, [&] { ++shares; }));
        EXPECT_FALSE(center.hasRegisteredHotKey(keyD, shiftOption));
    }
    switchLayout(QStringLiteral("us"));
    EXPECT_TRUE(center.hasRegisteredHotKey(keyD, shiftOption));
    type({QStringLiteral("shift+alt+d"), QStringLiteral("ctrl+shift+w")});
    EXPECT_EQ(shares, 1);
    EXPECT_EQ(windowCaptures, 2);
}

} // namespace
