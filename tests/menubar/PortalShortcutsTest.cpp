// The global shortcuts where the desktop portal offers GlobalShortcuts: bound through it at launch
// with the stored combinations as preferred keys, run by its Activated signal, shown with the keys
// the desktop assigned, and no X11 key grabbed. The portal is a stand-in on a private session bus
// (tests/fixtures/FakeGlobalShortcutsPortal.cpp), speaking the documented interface.
#include "MenubarTestSupport.h"
#include "SessionBusEnvironment.h"

#include "app/menubar/PreferencesWindowController.h"
#include "app/menubar/ShortcutRecorder.h"
#include "platform/DefaultsController.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"
#include "platform/gui/PortalGlobalShortcuts.h"

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

constexpr quint64 kShiftAlt = KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask;
constexpr quint64 kControlAlt = KeyCodes::ControlKeyMask | KeyCodes::AlternateKeyMask;

class PortalStandIn {
public:
    explicit PortalStandIn(const QStringList& arguments)
    {
        process.start(QStringLiteral(FAKE_GLOBAL_SHORTCUTS_PORTAL), arguments);
        ready = waitForOutput("ready\n");
    }
    ~PortalStandIn()
    {
        process.closeWriteChannel(); // it quits when its input ends
        if (!process.waitForFinished(5000))
            process.kill();
    }
    bool waitForOutput(const QByteArray& text)
    {
        return QTest::qWaitFor(
                   [&] {
                       output += process.readAllStandardOutput();
                       return output.contains(text) || process.state() == QProcess::NotRunning;
                   },
                   15000)
            && output.contains(text);
    }
    void send(const QByteArray& line) { process.write(line + '\n'); }

    QProcess process;
    QByteArray output;
    bool ready = false;
};

// The menu, made by the fixture's set-up, binds at its creation: the portal is on the bus before,
// and the user's recorded window shortcut stored.
class PortalShortcutsTest : public MenubarTest {
protected:
    void SetUp() override
    {
        // The session the tester had: Wayland, the app on XWayland (here on Xvfb).
        qputenv("WAYLAND_DISPLAY", "parcly-test-no-compositor");
        ASSERT_TRUE(portal.ready) << portal.process.readAllStandardError().toStdString();
        MenubarTest::SetUp();
    }
    void storeSettings() override
    {
        // The window shortcut as recorded by the user: the portal is offered that, not the default.
        DefaultsController::sharedUserDefaultsController().setValueForKeyPath(ShortcutRecorder::shortcutDictionary(13, kControlAlt),
                                                                              QStringLiteral("values.grabWindow"));
    }
    // The desktop assigns its own keys to one, echoes the proposal for another, and gives the share
    // shortcut none (as a desktop does that binds only what the user confirms).
    PortalStandIn portal{{QStringLiteral("--assign"), QStringLiteral("capture-region=Meta+Shift+R"), QStringLiteral("--assign"),
                          QStringLiteral("share-file=")}};
};

} // namespace

TEST_F(PortalShortcutsTest, BoundThroughThePortalTheyRunTheirActionsAndShowTheAssignedKeys)
{

    ParclyStatusMenu& statusMenu = menu();
    ASSERT_TRUE(QTest::qWaitFor([] { return PortalGlobalShortcuts::shared().state() != PortalGlobalShortcuts::State::Binding; }, 15000));
    ASSERT_EQ(PortalGlobalShortcuts::shared().state(), PortalGlobalShortcuts::State::Bound);

    ASSERT_TRUE(portal.waitForOutput("BindShortcuts capture-window"));
    // One session, then the three shortcuts with the stored combinations in the portal's format.
    EXPECT_TRUE(portal.output.contains("CreateSession session_handle_token=parcly"));
    EXPECT_TRUE(portal.output.contains("BindShortcuts share-file preferred_trigger=ALT+SHIFT+d description=Share a file"));
    EXPECT_TRUE(portal.output.contains("BindShortcuts capture-region preferred_trigger=ALT+SHIFT+4 description=Capture a screen region"));
    EXPECT_TRUE(portal.output.contains("BindShortcuts capture-window preferred_trigger=CTRL+ALT+w description=Capture a window"));

    // What the portal delivers is not grabbed on the X server; the one without keys still is.
    HotKeyCenter& hotKeys = HotKeyCenter::sharedHotKeyCenter();
    EXPECT_FALSE(hotKeys.hasRegisteredHotKey(21, kShiftAlt));
    EXPECT_FALSE(hotKeys.hasRegisteredHotKey(13, kControlAlt));
    EXPECT_TRUE(hotKeys.hasRegisteredHotKey(2, kShiftAlt));

    // The menu shows what the desktop assigned (the stand-in echoes the preferred keys where it
    // was given no assignment), never the stored combination as a promise of its own.
    QAction* region = statusMenu.itemWithTag(ParclyStatusMenu::TagScreenshot);
    QAction* share = statusMenu.itemWithTag(ParclyStatusMenu::TagShareFile);
    statusMenu.validateMenuItems();
    EXPECT_EQ(region->text(), QStringLiteral("Capture Screen Region\tMeta+Shift+R"));
    EXPECT_TRUE(region->shortcut().isEmpty());
    // A Wayland session: the portal's own dialog picks the screen or window, and the item says so.
    EXPECT_EQ(statusMenu.itemWithTag(ParclyStatusMenu::TagGrabWindow)->text(), QStringLiteral("Capture Screen or Window…\tCTRL+ALT+w"));
    // No keys from the desktop, and the grab hears X11 windows only: no promise at all.
    EXPECT_EQ(share->text(), QStringLiteral("Share a File…"));
    EXPECT_TRUE(share->shortcut().isEmpty());

    if (const QString folder = qEnvironmentVariable("PARCLY_TEST_SCREENSHOTS"); !folder.isEmpty()) {
        statusMenu.popup(QPoint(40, 40));
        if (QTest::qWaitForWindowExposed(&statusMenu))
            statusMenu.grab().save(folder + QStringLiteral("/menu-portal.png"));
        statusMenu.hide();
    }

    // A press reported by the portal runs the item's own action, once, and only that item's.
    QSignalSpy regionRuns(region, &QAction::triggered);
    QSignalSpy shareRuns(share, &QAction::triggered);
    portal.send("activate capture-region");
    ASSERT_TRUE(regionRuns.wait(15000));
    QTest::qWait(100);
    EXPECT_EQ(regionRuns.count(), 1);
    EXPECT_EQ(shareRuns.count(), 0);

    // The preferences show the assigned keys in place of the recorders, and say who decides them.
    statusMenu.preferences();
    PreferencesWindowController* prefs = statusMenu.prefsWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(prefs));
    EXPECT_EQ(prefs->assignedTriggerLabel(ParclyStatusMenu::TagScreenshot)->text(), QStringLiteral("Meta+Shift+R"));
    EXPECT_TRUE(prefs->assignedTriggerLabel(ParclyStatusMenu::TagScreenshot)->isVisible());
    EXPECT_FALSE(prefs->takeScreenshot()->isVisible());
    EXPECT_TRUE(prefs->shortcutNoteLabel()->isVisible());
    EXPECT_TRUE(prefs->shortcutNoteLabel()->text().contains(QStringLiteral("desktop's keyboard shortcut settings")));
    // The share shortcut keeps its recorder, and the window says where that one works.
    EXPECT_TRUE(prefs->shareFile()->isVisible());
    EXPECT_FALSE(prefs->assignedTriggerLabel(ParclyStatusMenu::TagShareFile)->isVisible());
    EXPECT_TRUE(prefs->shortcutNoteLabel()->text().contains(QStringLiteral("only work while an X11 window has focus")));
    EXPECT_TRUE(prefs->commandLinesLabel()->text().contains(QStringLiteral("parcly-lite --share-file")));
    if (const QString folder = qEnvironmentVariable("PARCLY_TEST_SCREENSHOTS"); !folder.isEmpty())
        prefs->grab().save(folder + QStringLiteral("/preferences-portal.png"));

    // The user reassigns a shortcut in the desktop's settings: menu and preferences follow.
    portal.send("change capture-window=Super+W");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return statusMenu.itemWithTag(ParclyStatusMenu::TagGrabWindow)->text().endsWith(QStringLiteral("\tSuper+W")); }, 15000));
    EXPECT_EQ(prefs->assignedTriggerLabel(ParclyStatusMenu::TagGrabWindow)->text(), QStringLiteral("Super+W"));
    prefs->close();
}
