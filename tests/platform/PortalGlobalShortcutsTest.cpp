// The portal's GlobalShortcuts where it says no or goes away, against a stand-in on a private
// session bus (tests/fixtures/FakeGlobalShortcutsPortal.cpp); and the shortcut spellings the
// desktops' settings take. The bound case end to end is in tests/menubar/PortalShortcutsTest.cpp.
#include "platform/gui/PortalGlobalShortcuts.h"
#include "platform/GnomeCustomShortcuts.h"
#include "platform/gui/DesktopShortcutFormats.h"
#include "platform/gui/KeyCodes.h"

#include "SessionBusEnvironment.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

using State = PortalGlobalShortcuts::State;

// Starts the stand-in and waits until it owns the portal's name.
bool startPortal(QProcess& process, const QStringList& arguments)
{
    process.start(QStringLiteral(FAKE_GLOBAL_SHORTCUTS_PORTAL), arguments);
    QByteArray output;
    return QTest::qWaitFor(
               [&] {
                   output += process.readAllStandardOutput();
                   return output.contains("ready\n") || process.state() == QProcess::NotRunning;
               },
               15000)
        && output.contains("ready\n");
}

bool waitForState(const PortalGlobalShortcuts& portal, State state)
{
    return QTest::qWaitFor([&] { return portal.state() == state; }, 15000);
}

const QList<PortalGlobalShortcuts::Shortcut> kShortcuts{
    {QStringLiteral("capture-region"), QStringLiteral("Capture"), QStringLiteral("ALT+SHIFT+4")}};

} // namespace

TEST(PortalGlobalShortcuts, ADeclinedBindingOrAPortalThatGoesAwayLeavesTheX11Grabs)
{
    QProcess declining;
    ASSERT_TRUE(startPortal(declining, {QStringLiteral("--refuse")}));
    PortalGlobalShortcuts declined;
    declined.bind(kShortcuts);
    EXPECT_EQ(declined.state(), State::Binding);
    ASSERT_TRUE(waitForState(declined, State::Unavailable));
    EXPECT_TRUE(declined.triggerDescription(QStringLiteral("capture-region")).isEmpty());
    declining.kill();
    declining.waitForFinished();

    QProcess serving;
    ASSERT_TRUE(startPortal(serving, {QStringLiteral("--assign"), QStringLiteral("capture-region=Alt+Shift+4")}));
    PortalGlobalShortcuts bound;
    bound.bind(kShortcuts);
    ASSERT_TRUE(waitForState(bound, State::Bound));
    EXPECT_EQ(bound.triggerDescription(QStringLiteral("capture-region")), QStringLiteral("Alt+Shift+4"));
    // The desktop's portal ends (a crash, a restart): nothing delivers the shortcuts any more.
    serving.kill();
    serving.waitForFinished();
    ASSERT_TRUE(waitForState(bound, State::Unavailable));
    EXPECT_TRUE(bound.triggerDescription(QStringLiteral("capture-region")).isEmpty());
}

TEST(DesktopShortcutFormats, EachDesktopsSpelling)
{
    using namespace DesktopShortcutFormats;
    const quint64 all = KeyCodes::ControlKeyMask | KeyCodes::AlternateKeyMask | KeyCodes::ShiftKeyMask | KeyCodes::CommandKeyMask;
    // F5 (0x60), the keypad's 1 (0x53) and the minus key (0x1B): keysym names, not characters.
    EXPECT_EQ(portalTrigger(0x60, all), QStringLiteral("CTRL+ALT+SHIFT+LOGO+F5"));
    EXPECT_EQ(gnomeBinding(0x53, KeyCodes::CommandKeyMask), QStringLiteral("<Super>KP_1"));
    EXPECT_EQ(swayBinding(0x1B, KeyCodes::ControlKeyMask | KeyCodes::CommandKeyMask), QStringLiteral("Control+Mod4+minus"));
    EXPECT_EQ(portalTrigger(0x7F, 0), QString()) << "a code no key has";
}

TEST(GnomeCustomShortcuts, StringArraysKeepEveryEntryAsWritten)
{
    // A path with a quote and a backslash (anything a user's tool may have written) survives the
    // read and write of the list.
    const QStringList paths{QStringLiteral("/a/custom0/"), QStringLiteral("/b/it's\\here/")};
    const QString text = GnomeCustomShortcuts::formatStringArray(paths);
    EXPECT_EQ(text, QStringLiteral(R"(['/a/custom0/', '/b/it\'s\\here/'])"));
    EXPECT_EQ(GnomeCustomShortcuts::parseStringArray(text), paths);
    // gsettings itself writes a string holding a quote in double quotes.
    EXPECT_EQ(GnomeCustomShortcuts::parseStringArray(QStringLiteral(R"(["/b/it's/", '/c/'])")),
              (QStringList{QStringLiteral("/b/it's/"), QStringLiteral("/c/")}));
    EXPECT_EQ(GnomeCustomShortcuts::formatStringArray({}), QStringLiteral("@as []"));
    EXPECT_TRUE(GnomeCustomShortcuts::parseStringArray(QStringLiteral("@as []")).isEmpty());
}
