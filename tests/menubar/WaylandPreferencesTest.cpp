// A Wayland session whose portal offers no GlobalShortcuts (WAYLAND_DISPLAY naming no compositor,
// XDG_CURRENT_DESKTOP=GNOME, and a private session bus without a portal; the app itself on Xvfb):
// the menu promises no shortcut, the preferences say where the shortcuts work and give the
// command lines, and on GNOME one button adds them to, and takes them out of, GNOME's custom
// shortcuts through the real gsettings, leaving everyone else's entries alone.
#include "MenubarTestSupport.h"
#include "SessionBusEnvironment.h"

#include "app/menubar/PreferencesWindowController.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"
#include "platform/gui/PortalGlobalShortcuts.h"

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QPushButton>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

// Set before the fixture makes the menu. Only our code reads them: Qt has its platform already.
class WaylandSessionEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        qputenv("WAYLAND_DISPLAY", "parcly-test-no-compositor");
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        // Settings in a key file under the test's own XDG_CONFIG_HOME, for the app's gsettings too.
        qputenv("GSETTINGS_BACKEND", "keyfile");
    }
};
const testing::Environment* const kSession = testing::AddGlobalTestEnvironment(new WaylandSessionEnvironment);

const QString kMediaKeys = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kFolder = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/");

QString entry(const QString& name)
{
    return QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:") + kFolder + name + QLatin1Char('/');
}

// The test's own reads and writes of the settings, blocking (the app's never are).
QString gsettings(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    if (!process.waitForFinished(15000) || process.exitCode() != 0)
        return QStringLiteral("<gsettings %1 failed: %2>")
            .arg(arguments.join(QLatin1Char(' ')), QString::fromUtf8(process.readAllStandardError()));
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

TEST_F(MenubarTest, WaylandWithoutThePortalSaysWhereShortcutsWorkAndOffersTheDesktopsOwn)
{
    ParclyStatusMenu& statusMenu = menu();
    ASSERT_TRUE(
        QTest::qWaitFor([] { return PortalGlobalShortcuts::shared().state() == PortalGlobalShortcuts::State::Unavailable; }, 15000));

    // The grab still serves X11 windows, but the menu makes no promise of it.
    statusMenu.validateMenuItems();
    EXPECT_TRUE(HotKeyCenter::sharedHotKeyCenter().hasRegisteredHotKey(21, KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask));
    for (int tag : {ParclyStatusMenu::TagShareFile, ParclyStatusMenu::TagScreenshot, ParclyStatusMenu::TagGrabWindow})
        EXPECT_TRUE(statusMenu.itemWithTag(tag)->shortcut().isEmpty()) << tag;

    statusMenu.preferences();
    PreferencesWindowController* prefs = statusMenu.prefsWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(prefs));
    EXPECT_TRUE(prefs->shortcutNoteLabel()->isVisible());
    EXPECT_TRUE(prefs->shortcutNoteLabel()->text().contains(QStringLiteral("only work while an X11 window has focus")));
    const QString commands = prefs->commandLinesLabel()->text();
    EXPECT_TRUE(commands.contains(QStringLiteral("parcly-lite --share-file"))) << commands.toStdString();
    EXPECT_TRUE(commands.contains(QStringLiteral("parcly-lite --capture-region")));
    EXPECT_TRUE(commands.contains(QStringLiteral("parcly-lite --capture-window")));
    EXPECT_FALSE(commands.contains(QStringLiteral("bindsym"))) << "GNOME gets a button, not sway lines";
    QPushButton* button = prefs->gnomeShortcutsButton();
    ASSERT_TRUE(button->isVisible());
    if (const QString folder = qEnvironmentVariable("PARCLY_TEST_SCREENSHOTS"); !folder.isEmpty())
        prefs->grab().save(folder + QStringLiteral("/preferences-wayland-gnome.png"));

    if (gsettings({QStringLiteral("list-keys"), kMediaKeys}).startsWith(QLatin1Char('<'))) {
        prefs->close();
        GTEST_SKIP() << "GNOME's media-keys schema is not installed (Debian: gnome-settings-daemon-common); "
                        "the GNOME button cannot be tried";
    }
    const QString theirs = kFolder + QStringLiteral("custom0/");
    gsettings({QStringLiteral("set"), entry(QStringLiteral("custom0")), QStringLiteral("name"), QStringLiteral("'Terminal'")});
    gsettings({QStringLiteral("set"), kMediaKeys, QStringLiteral("custom-keybindings"), QStringLiteral("['%1']").arg(theirs)});

    // The button learned at opening whether our entries are there; the settings were empty then.
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 15000));
    EXPECT_EQ(button->text(), QStringLiteral("Add to GNOME Keyboard Shortcuts"));
    button->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 15000));
    EXPECT_EQ(button->text(), QStringLiteral("Remove from GNOME Keyboard Shortcuts")) << prefs->messageLabel()->text().toStdString();
    EXPECT_EQ(
        gsettings({QStringLiteral("get"), kMediaKeys, QStringLiteral("custom-keybindings")}),
        QStringLiteral("['%1', '%2parcly-share-file/', '%2parcly-capture-region/', '%2parcly-capture-window/']").arg(theirs, kFolder));
    const QString region = entry(QStringLiteral("parcly-capture-region"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), region, QStringLiteral("binding")}), QStringLiteral("'<Alt><Shift>4'"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), region, QStringLiteral("command")}), QStringLiteral("'parcly-lite --capture-region'"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), entry(QStringLiteral("parcly-capture-window")), QStringLiteral("binding")}),
              QStringLiteral("'<Control><Shift>w'"));

    // And out again: the list is theirs alone, their entry intact, ours gone back to nothing.
    button->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 15000));
    EXPECT_EQ(button->text(), QStringLiteral("Add to GNOME Keyboard Shortcuts"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), kMediaKeys, QStringLiteral("custom-keybindings")}), QStringLiteral("['%1']").arg(theirs));
    EXPECT_EQ(gsettings({QStringLiteral("get"), entry(QStringLiteral("custom0")), QStringLiteral("name")}), QStringLiteral("'Terminal'"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), region, QStringLiteral("binding")}), QStringLiteral("''"));
    prefs->close();

    // Elsewhere (sway) the lines to add, with the stored combinations, in place of the button.
    qputenv("XDG_CURRENT_DESKTOP", "sway");
    PreferencesWindowController sway(menu(), startAtLogin());
    sway.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sway));
    const QString lines = sway.commandLinesLabel()->text();
    EXPECT_TRUE(lines.contains(QStringLiteral("bindsym Mod1+Shift+4 exec parcly-lite --capture-region"))) << lines.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("bindsym Mod1+Shift+d exec parcly-lite --share-file")));
    EXPECT_TRUE(lines.contains(QStringLiteral("bindsym Control+Shift+w exec parcly-lite --capture-window")));
    EXPECT_FALSE(sway.gnomeShortcutsButton()->isVisible());
    if (const QString folder = qEnvironmentVariable("PARCLY_TEST_SCREENSHOTS"); !folder.isEmpty())
        sway.grab().save(folder + QStringLiteral("/preferences-wayland-sway.png"));
}
