// Stored shortcuts (ANSI virtual key codes and modifier flags) as Qt, X and menus see them.
#include "platform/gui/KeyCodes.h"
#include "platform/Log.h"
#include "platform/gui/HotKeyCenter.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

namespace {

TEST(KeyCodes, TheDefaultShortcutKeysAndTheIrregularDigitRow)
{
    struct Case {
        quint16 code;
        int qtKey;
        quint32 keysym;
        const char* text;
    };
    const Case cases[] = {
        {0, Qt::Key_A, XK_a, "A"},    {2, Qt::Key_D, XK_d, "D"},
        {21, Qt::Key_4, XK_4, "4"},   {13, Qt::Key_W, XK_w, "W"},
        {0x16, Qt::Key_6, XK_6, "6"}, {0x17, Qt::Key_5, XK_5, "5"},
        {0x1A, Qt::Key_7, XK_7, "7"}, {0x1D, Qt::Key_0, XK_0, "0"},
        {0x0B, Qt::Key_B, XK_b, "B"}, {0x2A, Qt::Key_Backslash, XK_backslash, "\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(KeyCodes::qtKeyForKeyCode(c.code), c.qtKey);
        EXPECT_EQ(KeyCodes::keysymForKeyCode(c.code), c.keysym);
        EXPECT_EQ(KeyCodes::stringForKeyCode(c.code), QString::fromLatin1(c.text));
    }
}

TEST(KeyCodes, NamedKeysHaveReadableStrings)
{
    EXPECT_EQ(KeyCodes::stringForKeyCode(0x60), QStringLiteral("F5"));
    EXPECT_EQ(KeyCodes::stringForKeyCode(0x7A), QStringLiteral("F1"));
    EXPECT_EQ(KeyCodes::stringForKeyCode(0x24), QStringLiteral("Return"));
    EXPECT_EQ(KeyCodes::stringForKeyCode(0x31), QStringLiteral("Space"));
    EXPECT_EQ(KeyCodes::stringForKeyCode(0x7B), QStringLiteral("Left"));
    EXPECT_EQ(KeyCodes::keysymForKeyCode(0x35), quint32(XK_Escape));
    EXPECT_EQ(KeyCodes::keysymForKeyCode(0x33), quint32(XK_BackSpace));
    EXPECT_EQ(KeyCodes::keysymForKeyCode(0x75), quint32(XK_Delete));
}

TEST(KeyCodes, UnknownCodesMapToNothing)
{
    for (quint16 code : {quint16(0x34), quint16(0x7F), quint16(200), quint16(0xFFFF)}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(KeyCodes::qtKeyForKeyCode(code), 0);
        EXPECT_EQ(KeyCodes::keysymForKeyCode(code), 0u);
        EXPECT_TRUE(KeyCodes::stringForKeyCode(code).isEmpty());
        EXPECT_TRUE(KeyCodes::keySequenceForKeyCode(code, KeyCodes::ShiftKeyMask).isEmpty());
    }
}

TEST(KeyCodes, ModifierFlagsBecomeQtModifiersAndBack)
{
    EXPECT_EQ(KeyCodes::qtModifiersForFlags(655360), Qt::ShiftModifier | Qt::AltModifier);
    EXPECT_EQ(KeyCodes::qtModifiersForFlags(393216), Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(KeyCodes::qtModifiersForFlags(KeyCodes::CommandKeyMask), Qt::MetaModifier);
    // Bits beyond the four modifiers (caps lock, function key, keypad) are not modifiers of a shortcut.
    EXPECT_EQ(KeyCodes::qtModifiersForFlags(0x10000 | 0x800000 | 0x200000), Qt::NoModifier);
    EXPECT_EQ(KeyCodes::flagsForQtModifiers(Qt::ShiftModifier | Qt::AltModifier | Qt::KeypadModifier), 655360u);

    EXPECT_EQ(KeyCodes::keySequenceForKeyCode(2, 655360), QKeySequence(Qt::SHIFT | Qt::ALT | Qt::Key_D));
    EXPECT_EQ(KeyCodes::keySequenceForKeyCode(13, 393216), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_W));
    EXPECT_EQ(KeyCodes::keySequenceForKeyCode(0x57, KeyCodes::CommandKeyMask)[0].keyboardModifiers(),
              Qt::MetaModifier | Qt::KeypadModifier);
}

TEST(KeyCodes, RecordedQtKeysFindTheirKeyAgain)
{
    for (quint16 code = 0; code <= 0x7E; ++code) {
        const int qtKey = KeyCodes::qtKeyForKeyCode(code);
        // The JIS underscore key yields what Shift+Minus yields on the far more common US layout.
        if (!qtKey || qtKey == Qt::Key_Underscore)
            continue;
        SCOPED_TRACE(code);
        const auto found = KeyCodes::keyCodeForQtKey(qtKey, KeyCodes::isKeypadKeyCode(code) ? Qt::KeypadModifier : Qt::NoModifier);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(KeyCodes::qtKeyForKeyCode(*found), qtKey);
        EXPECT_EQ(KeyCodes::isKeypadKeyCode(*found), KeyCodes::isKeypadKeyCode(code));
    }
    // With Shift held Qt reports the shifted character; the key is still the digit's.
    EXPECT_EQ(KeyCodes::keyCodeForQtKey(Qt::Key_Dollar, Qt::ShiftModifier), std::optional<quint16>(21));
    EXPECT_EQ(KeyCodes::keyCodeForQtKey(Qt::Key_Asterisk), std::optional<quint16>(0x1C));
    EXPECT_EQ(KeyCodes::keyCodeForQtKey(Qt::Key_Asterisk, Qt::KeypadModifier), std::optional<quint16>(0x43));
    EXPECT_FALSE(KeyCodes::keyCodeForQtKey(Qt::Key_Launch0).has_value());
}

TEST(HotKeyCenterWithoutX11, RefusesAndSaysSoOnce)
{
    ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
    HotKeyCenter center;
    int calls = 0;
    EXPECT_FALSE(center.registerHotKey(2, 655360, nullptr, [&] { ++calls; }));
    EXPECT_FALSE(center.registerHotKey(21, 655360, nullptr, [&] { ++calls; }));
    EXPECT_FALSE(center.hasRegisteredHotKey(2, 655360));
    EXPECT_EQ(capture.lines().size(), 1);
}

} // namespace
