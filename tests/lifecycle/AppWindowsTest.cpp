// The app's windows in the running app's process: the preferences window with its shortcut
// recorders, and the upgrade prompt against a fixture service and the reference service.
#include "../menubar/MenubarTestSupport.h"
#include "WindowsTestSupport.h"

#include "BrowserRecorder.h"
#include "SessionBusEnvironment.h"
#include "app/lifecycle/AppDelegate.h"
#include "app/lifecycle/AuthWindowController.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/PreferencesWindowController.h"
#include "app/menubar/ShortcutRecorder.h"
#include "platform/Bundle.h"
#include "platform/DefaultsController.h"
#include "platform/LoginItemService.h"
#include "platform/NotificationCenter.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"
#include "shared/SharedConstants.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

constexpr quint64 kShiftOption = KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask;
constexpr quint64 kControlOption = KeyCodes::ControlKeyMask | KeyCodes::AlternateKeyMask;
constexpr quint16 kKeyD = 2, kKey4 = 21, kKeyW = 13, kKeyK = 40, kKeyJ = 38;

// The desktop's notification server on the program's private bus, recording what it is sent.
struct FakeNotificationServer {
    FakeNotificationServer()
    {
        process.start(QStringLiteral(PARCLY_FAKE_NOTIFICATION_SERVER),
                      {QStringLiteral("--record"), folder.filePath(QStringLiteral("n.jsonl"))});
        ready = QTest::qWaitFor([this] { return process.canReadLine(); }, 10000);
    }
    ~FakeNotificationServer() { process.terminate(), process.waitForFinished(3000); }
    // The first notification it was sent.
    QJsonObject first() const
    {
        QFile file(folder.filePath(QStringLiteral("n.jsonl")));
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readLine()).object() : QJsonObject();
    }
    QTemporaryDir folder;
    QProcess process;
    bool ready = false;
};

class Preferences : public MenubarTest {
protected:
    void SetUp() override
    {
        MenubarTest::SetUp();
        // The build's bundle: start at login writes an entry that runs its executable.
        Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
        DefaultsController::sharedUserDefaultsController().setInitialValues({{QStringLiteral("uploadAllScreenshots"), true}});
        menu().validateMenuItems();
    }
    void TearDown() override
    {
        Bundle::setMainBundlePath({});
        // Back to the defaults, and the hot keys with them.
        for (const char* key : {"values.shareFile", "values.takeScreenshot", "values.grabWindow"})
            DefaultsController::sharedUserDefaultsController().setValueForKeyPath(QVariant(), QString::fromLatin1(key));
    }
};

} // namespace

TEST_F(Preferences, AFreshHomeShowsTheDefaultsAndTheCheckBoxesFollowTheirSettings)
{
    PreferencesWindowController window(menu(), startAtLogin());
    window.showWindow();
    screenshot(QStringLiteral("preferences"));
    EXPECT_EQ(window.shareFile()->objectValue(), ShortcutRecorder::shortcutDictionary(kKeyD, kShiftOption));
    EXPECT_EQ(window.takeScreenshot()->objectValue(), ShortcutRecorder::shortcutDictionary(kKey4, kShiftOption));
    EXPECT_EQ(window.grabWindow()->objectValue(),
              ShortcutRecorder::shortcutDictionary(kKeyW, KeyCodes::ShiftKeyMask | KeyCodes::ControlKeyMask));
    EXPECT_EQ(window.shareFile()->keySequence(), QKeySequence(Qt::SHIFT | Qt::ALT | Qt::Key_D));
    EXPECT_FALSE(Defaults::standard().contains(QStringLiteral("shareFile")));
    EXPECT_FALSE(window.messageLabel()->isVisible());

    // Upload every screenshot: on while never set; the box and the setting follow each other.
    EXPECT_TRUE(window.uploadAllScreenshotsButton()->isChecked());
    window.uploadAllScreenshotsButton()->click();
    EXPECT_EQ(Defaults::standard().value(QStringLiteral("uploadAllScreenshots")).toBool(), false);
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(true, QStringLiteral("values.uploadAllScreenshots"));
    EXPECT_TRUE(window.uploadAllScreenshotsButton()->isChecked());

    // Start at login: read when the window loads; the box turns both the app's autostart entry
    // and the launcher's on and off.
    const QDir autostart(QDir::homePath() + QStringLiteral("/.config/autostart"));
    const QString launcherEntry = QString::fromLatin1(kLauncherID) + QStringLiteral(".desktop");
    const auto entries = [&] { return autostart.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name); };
    EXPECT_FALSE(window.startAtLoginButton()->isChecked());
    window.startAtLoginButton()->click();
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("00-parcly-lite.desktop"), launcherEntry}));
    PreferencesWindowController second(menu(), startAtLogin());
    EXPECT_TRUE(second.startAtLoginButton()->isChecked());
    second.startAtLoginButton()->click();
    EXPECT_EQ(entries(), QStringList());
    // The launcher alone starts the app at login: the box says so, and unticking removes it.
    ASSERT_TRUE(LoginItemService::setEnabled(QString::fromLatin1(kLauncherID), true));
    PreferencesWindowController third(menu(), startAtLogin());
    EXPECT_TRUE(third.startAtLoginButton()->isChecked());
    third.startAtLoginButton()->click();
    EXPECT_EQ(entries(), QStringList());
}

TEST_F(Preferences, ARecordedShortcutIsStoredAndWorksAtOnceAndClearingBringsBackTheDefault)
{
    HotKeyCenter& hotKeys = HotKeyCenter::sharedHotKeyCenter();
    ASSERT_TRUE(hotKeys.hasRegisteredHotKey(kKeyD, kShiftOption)) << "the default share shortcut is live from the start";
    PreferencesWindowController window(menu(), startAtLogin());
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    // Typed as a person types it, through the X server: while the field has the keyboard the hot
    // keys let go, so even a combination the app itself uses reaches the field.
    window.shareFile()->setFocus();
    EXPECT_FALSE(hotKeys.hasRegisteredHotKey(kKeyD, kShiftOption));
    xdotool({QStringLiteral("key"), QStringLiteral("ctrl+alt+k")});
    ASSERT_TRUE(QTest::qWaitFor([] { return Defaults::standard().contains(QStringLiteral("shareFile")); }, 5000));
    const QVariantMap stored = Defaults::standard().value(QStringLiteral("shareFile")).toMap();
    EXPECT_EQ(stored.value(QStringLiteral("keyCode")).toUInt(), kKeyK);
    EXPECT_EQ(stored.value(QStringLiteral("modifierFlags")).toULongLong(), kControlOption);
    EXPECT_EQ(window.shareFile()->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));
    EXPECT_EQ(ParclyStatusMenu::keyNamesForTag(ParclyStatusMenu::TagShareFile), (QStringList{"Ctrl", "Alt", "K"}));
    EXPECT_EQ(menu().itemWithTag(ParclyStatusMenu::TagShareFile)->shortcut(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));

    // Leaving the field, without reopening the menu: the new combination is grabbed and works,
    // the one it replaced is let go.
    window.shareFile()->clearFocus();
    EXPECT_TRUE(hotKeys.hasRegisteredHotKey(kKeyK, kControlOption));
    EXPECT_FALSE(hotKeys.hasRegisteredHotKey(kKeyD, kShiftOption));
    Defaults::standard().setValue(ParclyStatusMenu::kHasShownSharePopKey, true);
    xdotool({QStringLiteral("key"), QStringLiteral("ctrl+alt+k")});
    ASSERT_TRUE(QTest::qWaitFor([] { return openPanel() != nullptr; }, 5000)) << "the new shortcut did not share a file";
    openPanel()->reject();

    // Clearing removes the stored shortcut: the default shows and works again.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.shareFile()->setFocus();
    xdotool({QStringLiteral("key"), QStringLiteral("BackSpace")});
    ASSERT_TRUE(QTest::qWaitFor([] { return !Defaults::standard().contains(QStringLiteral("shareFile")); }, 5000));
    EXPECT_EQ(window.shareFile()->objectValue(), ShortcutRecorder::shortcutDictionary(kKeyD, kShiftOption));
    window.shareFile()->clearFocus();
    EXPECT_TRUE(hotKeys.hasRegisteredHotKey(kKeyD, kShiftOption));
    EXPECT_FALSE(hotKeys.hasRegisteredHotKey(kKeyK, kControlOption));
}

TEST_F(Preferences, ACombinationThatCannotWorkIsRefusedWithAVisibleMessage)
{
    PreferencesWindowController window(menu(), startAtLogin());
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto refusedWith = [&](const char* words) {
        EXPECT_TRUE(window.messageLabel()->isVisible());
        EXPECT_TRUE(window.messageLabel()->text().contains(QString::fromUtf8(words))) << window.messageLabel()->text().toStdString();
        EXPECT_FALSE(Defaults::standard().contains(QStringLiteral("grabWindow")));
        EXPECT_EQ(window.grabWindow()->objectValue(),
                  ShortcutRecorder::shortcutDictionary(kKeyW, KeyCodes::ShiftKeyMask | KeyCodes::ControlKeyMask));
    };

    // The share shortcut's default combination, for another item, typed through the X server.
    window.grabWindow()->setFocus();
    xdotool({QStringLiteral("key"), QStringLiteral("shift+alt+d")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.messageLabel()->isVisible(); }, 5000));
    refusedWith("already the shortcut for “Share a file”");
    screenshot(QStringLiteral("preferences-refused"));

    // No modifier.
    QTest::keyClick(window.grabWindow(), Qt::Key_J);
    refusedWith("needs Ctrl, Alt, Shift or Super");

    // Another X client holds Ctrl+Alt+J.
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(other);
    xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols, XK_j);
    ASSERT_NE(keycodes, nullptr);
    EXPECT_EQ(xcb_request_check(
                  other, xcb_grab_key_checked(other, 0, root, XCB_MOD_MASK_ANY, keycodes[0], XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
              nullptr);
    std::free(keycodes);
    xcb_key_symbols_free(symbols);
    QTest::keyClick(window.grabWindow(), Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
    refusedWith("taken by another program");
    xcb_disconnect(other);

    // Once the other program lets go the combination is taken, and the message goes.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QTest::keyClick(window.grabWindow(), Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
            return Defaults::standard().contains(QStringLiteral("grabWindow"));
        },
        5000));
    EXPECT_FALSE(window.messageLabel()->isVisible());
    window.grabWindow()->clearFocus();
    EXPECT_TRUE(HotKeyCenter::sharedHotKeyCenter().hasRegisteredHotKey(kKeyJ, kControlOption));
}

TEST_F(Preferences, TheMenuOpensOneWindow)
{
    QAction* item = nullptr;
    for (QAction* action : menu().actions()) {
        if (action->text().startsWith(QStringLiteral("Preferences")))
            item = action;
    }
    ASSERT_NE(item, nullptr);
    item->trigger();
    PreferencesWindowController* window = menu().prefsWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    window->close();
    item->trigger();
    EXPECT_EQ(menu().prefsWindow(), window);
    EXPECT_TRUE(window->isVisible());
    window->close();
}

// --- Upgrade prompt -----------------------------------------------------------------------------

namespace {

class UpgradePrompt : public MenubarTest {
protected:
    void SetUp() override
    {
        MenubarTest::SetUp();
        Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, server.baseURL());
        Defaults::standard().synchronize();
    }

    static AuthWindowController* showPrompt()
    {
        NotificationCenter::defaultCenter().post(QString::fromLatin1(kUnknownUserAPIErrorNotification));
        return AppDelegate::instance().auth();
    }

    static void subscribeOnce()
    {
        static const bool subscribed = [] {
            AppDelegate::instance().subscribeNotifications();
            return true;
        }();
        (void)subscribed;
    }

    static QString stored(const char* key) { return Defaults::standard().string(QString::fromLatin1(key)); }
};

} // namespace

TEST_F(UpgradePrompt, GetTheFullClientOpensTheDownloadPageTellsTheUserAndSendsNothing)
{
    subscribeOnce();
    FakeNotificationServer notifications;
    ASSERT_TRUE(notifications.ready);
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});

    AuthWindowController* window = showPrompt();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    screenshot(QStringLiteral("upgrade-prompt"));
    // A second rejection brings the same window forward.
    window->close();
    EXPECT_EQ(showPrompt(), window);
    EXPECT_TRUE(window->isVisible());

    const size_t before = server.requests().size();
    window->getProButton()->click();
    const QStringList opened = browser.waitForCalls(1);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened.first(), server.baseURL() + QStringLiteral("/download/mac_direct"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.first().isEmpty(); }, 10000));
    EXPECT_EQ(notifications.first().value("summary").toString(), "Download Parcly for Mac");
    EXPECT_EQ(notifications.first().value("body").toString(), "Then log in with your Parcly Pro account.");
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(stored("parcly-username"), "free-mac-test@free.parcly.example");
    window->close();
}

TEST_F(UpgradePrompt, StayStoresANewAccountBeforeAskingAndClosesWhateverTheServiceSays)
{
    subscribeOnce();
    for (const int status : {500, 200}) {
        server.reply("POST", "/account",
                     {.status = status,
                      .headers = {{"X-Parcly-Authorization", "Bearer new.token"}},
                      .body = status == 200 ? R"({"ok": true})" : "{}",
                      .delay = std::chrono::milliseconds(700)});
        AuthWindowController* window = showPrompt();
        const size_t before = requestsFor("POST", "/account").size();
        const QString oldUser = stored("parcly-username");
        window->stayLiteButton()->click();
        // Replaced before the service has answered, so a failure cannot bring the old account back.
        EXPECT_NE(stored("parcly-username"), oldUser);
        EXPECT_TRUE(window->isVisible());
        ASSERT_TRUE(waitForRequest("POST", "/account", before + 1));
        EXPECT_TRUE(requestsFor("POST", "/account").back().body.find(stored("parcly-username").toStdString()) != std::string::npos);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 10000)) << "status " << status;
    }
}

// With the reference service: an account it does not know brings the prompt up after an upload,
// and staying makes the next upload go through.
TEST_F(UpgradePrompt, StayingWithTheReferenceServiceMakesUploadsWorkAgain)
{
    subscribeOnce();
    ReferenceService service;
    const QString serviceURL = service.url;
    ASSERT_FALSE(serviceURL.isEmpty());
    Defaults& defaults = Defaults::standard();
    defaults.setValue(ServiceConfiguration::kAPIURLKey, serviceURL);
    defaults.setValue(ServiceConfiguration::kWebURLKey, serviceURL);
    defaults.setValue(QStringLiteral("parcly-username"), QStringLiteral("free-forgotten@free.parcly.example"));
    defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("never-registered"));
    defaults.synchronize();
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});

    const QString path = QDir::home().filePath(QStringLiteral("notes.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("notes");
    file.close();

    if (AppDelegate::instance().auth())
        AppDelegate::instance().auth()->close();
    menu().uploadFile(QUrl::fromLocalFile(path));
    ASSERT_TRUE(QTest::qWaitFor([] { return AppDelegate::instance().auth() && AppDelegate::instance().auth()->isVisible(); }, 15000));
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);
    AppDelegate::instance().auth()->stayLiteButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([] { return !AppDelegate::instance().auth()->isVisible(); }, 15000));

    menu().uploadFile(QUrl::fromLocalFile(path));
    const QStringList opened = browser.waitForCalls(1, 15000);
    ASSERT_EQ(opened.size(), 1) << "no drop was created";
    EXPECT_TRUE(opened.first().startsWith(serviceURL)) << opened.first().toStdString();
}
