#include "DesktopWindows.h"
#include "MenubarTestSupport.h"

#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/SharePopover.h"
#include "platform/DefaultsController.h"
#include "platform/Log.h"
#include "platform/gui/DesktopManagers.h"
#include "platform/gui/KeyCodes.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QPointer>
#include <QProcess>

namespace {

void storeShortcut(const QString& key, const QVariantMap& shortcut)
{
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(shortcut, QStringLiteral("values.") + key);
}

} // namespace

TEST_F(MenubarTest, DropCountTitles)
{
    QAction* count = menu().itemWithTag(ParclyStatusMenu::TagDropCount);
    ASSERT_NE(count, nullptr);
    for (const auto& [drops, title] : {std::pair{0, "No drops yet"}, {1, "1 Drops shared"}, {25, "25 Drops shared"}}) {
        menu().setDropCount(drops);
        EXPECT_TRUE(menu().validateMenuItem(count));
        EXPECT_EQ(count->text(), title);
    }
}

TEST_F(MenubarTest, OpeningTheMenuRefreshesTheCount)
{
    menu().setDropCount(0);
    server.reply("GET", "/users/me", {.body = R"({"activeDrops": 25})"});
    const size_t before = requestsFor("GET", "/users/me").size();
    menu().menuWillOpen();
    ASSERT_TRUE(waitForRequest("GET", "/users/me", before + 1));
    ASSERT_TRUE(QTest::qWaitFor([] { return menu().dropCount() == 25; }, 10000));
    menu().menuWillOpen();
    EXPECT_EQ(menu().itemWithTag(ParclyStatusMenu::TagDropCount)->text(), "25 Drops shared");
}

TEST_F(MenubarTest, AFailedCountKeepsTheLastOne)
{
    menu().setDropCount(9);
    server.reply("GET", "/users/me", {.status = 500, .body = "{}"});
    // The completion has run once the service client has logged this failure (not a late line of
    // an earlier case's request to a server that has gone).
    ScopedLogCapture log;
    menu().updateDropCount();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log.linesStartingWith(QStringLiteral("Error: ")).join(QLatin1Char('\n')).contains(QStringLiteral("500")); }, 15000));
    QCoreApplication::processEvents();
    EXPECT_EQ(menu().dropCount(), 9);
}

TEST_F(MenubarTest, DefaultShortcutsWhenNoneIsStored)
{
    const auto share = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagShareFile);
    EXPECT_EQ(share.keyCode, 2u);
    EXPECT_EQ(share.modifierFlags, 655360u);
    const auto region = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagScreenshot);
    EXPECT_EQ(region.keyCode, 21u);
    EXPECT_EQ(region.modifierFlags, 655360u);
    const auto window = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagGrabWindow);
    EXPECT_EQ(window.keyCode, 13u);
    EXPECT_EQ(window.modifierFlags, 393216u);

    QAction* item = menu().itemWithTag(ParclyStatusMenu::TagShareFile);
    menu().validateMenuItem(item);
    EXPECT_EQ(item->shortcut(), QKeySequence(Qt::SHIFT | Qt::ALT | Qt::Key_D));
}

TEST_F(MenubarTest, StoredShortcutEntriesOverrideTheDefaultOneByOne)
{
    storeShortcut(QStringLiteral("shareFile"), {{QStringLiteral("modifierFlags"), 1048576}});
    storeShortcut(QStringLiteral("takeScreenshot"), {{QStringLiteral("keyCode"), 20}});
    storeShortcut(QStringLiteral("grabWindow"), {{QStringLiteral("keyCode"), 1}, {QStringLiteral("modifierFlags"), 262144}});

    const auto share = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagShareFile);
    EXPECT_EQ(share.keyCode, 2u);
    EXPECT_EQ(share.modifierFlags, 1048576u);
    const auto region = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagScreenshot);
    EXPECT_EQ(region.keyCode, 20u);
    EXPECT_EQ(region.modifierFlags, 655360u);
    const auto window = ParclyStatusMenu::shortcutForTag(ParclyStatusMenu::TagGrabWindow);
    EXPECT_EQ(window.keyCode, 1u);
    EXPECT_EQ(window.modifierFlags, 262144u);

    QAction* item = menu().itemWithTag(ParclyStatusMenu::TagGrabWindow);
    menu().validateMenuItem(item);
    EXPECT_EQ(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
}

TEST_F(MenubarTest, KeyCodeZeroGivesNoKeyEquivalent)
{
    QAction* item = menu().itemWithTag(ParclyStatusMenu::TagScreenshot);
    item->setShortcut({});
    storeShortcut(QStringLiteral("takeScreenshot"), {{QStringLiteral("keyCode"), 0}, {QStringLiteral("modifierFlags"), 655360}});
    menu().validateMenuItem(item);
    EXPECT_TRUE(item->shortcut().isEmpty());
}

TEST_F(MenubarTest, OnlyTheShortcutItemsGetKeyEquivalents)
{
    menu().menuWillOpen();
    for (QAction* item : menu().actions()) {
        const int tag = item->data().toInt();
        const bool hasShortcutTag = item->data().isValid() && (tag == 1 || tag == 2 || tag == 4);
        EXPECT_EQ(!item->shortcut().isEmpty(), hasShortcutTag) << item->text().toStdString();
    }
}

TEST_F(MenubarTest, FirstShareWithoutTheWebModuleFallsBackToThePanelAndIsRemembered)
{
    ASSERT_FALSE(Defaults::standard().boolValue(ParclyStatusMenu::kHasShownSharePopKey));
    menu().file();
    EXPECT_TRUE(Defaults::standard().boolValue(ParclyStatusMenu::kHasShownSharePopKey));
    // The test program has no web helper beside it, so the introduction falls back to the panel.
    ASSERT_TRUE(QTest::qWaitFor([] { return openPanel() != nullptr; }, 5000));
    openPanel()->reject();
    QTest::qWait(50);
    ASSERT_EQ(openPanel(), nullptr);

    menu().file();
    ASSERT_NE(openPanel(), nullptr);
    openPanel()->reject();
}

TEST_F(MenubarTest, ChoosingAFileInThePanelUploadsIt)
{
    Defaults::standard().setValue(ParclyStatusMenu::kHasShownSharePopKey, true);
    const QString path = QDir::home().filePath(QStringLiteral("chosen.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("chosen bytes");
    file.close();
    server.reply("POST", "/files", {.body = R"({"title": "chosen.txt", "shortlink": "http://127.0.0.1:1/x"})"});

    menu().file();
    ASSERT_TRUE(QTest::qWaitFor([] { return openPanel() != nullptr; }, 5000));
    openPanel()->selectFile(path);
    static_cast<QDialog*>(openPanel())->accept(); // QFileDialog checks the selection, as the OK button does
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    EXPECT_EQ(requestsFor("POST", "/files").front().body, "chosen bytes");
}

TEST_F(MenubarTest, UpgradeOpensTheProPageWithAFreshTokenOnlyWhereCredentialsMayGo)
{
    server.reply("GET", "/users/me", {.headers = {{"X-Parcly-Authorization", "Bearer fresh.token"}}, .body = R"({"activeDrops": 1})"});
    const QString log = QDir::home().filePath(QStringLiteral("browser.log"));
    qputenv("PARCLY_TEST_BROWSER_LOG", log.toUtf8());
    const auto opened = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    };
    // Drops created by earlier tests may still be opening their links; look for the page's line.
    const auto upgradeOpens = [&](const QByteArray& expected) {
        menu().upgrade();
        return QTest::qWaitFor([&] { return opened().contains(expected); }, 15000);
    };
    EXPECT_TRUE(upgradeOpens(ServiceConfiguration::webOrigin().toUtf8() + "/pro?token=fresh.token")) << "loopback http";

    const QVariant before = Defaults::standard().value(ServiceConfiguration::kWebURLKey);
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, QStringLiteral("https://drop.example.com"));
    EXPECT_TRUE(upgradeOpens("https://drop.example.com/pro?token=fresh.token"));
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, QStringLiteral("http://drop.example.com"));
    EXPECT_TRUE(upgradeOpens("http://drop.example.com/pro")) << "the page still opens, without the token";
    if (before.isValid())
        Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, before);
    else
        Defaults::standard().remove(ServiceConfiguration::kWebURLKey);
    for (const QByteArray& line : opened())
        EXPECT_FALSE(line.startsWith("http://drop.example.com") && line.contains("token")) << line.constData();
}

TEST_F(MenubarTest, AClosedSharePopoverIsFreedWithItsContent)
{
    // Every first share of a run makes a popover; one kept after closing would add up all day.
    QPointer<SharePopover> popover = new SharePopover;
    QPointer<QWidget> content = new QWidget;
    popover->setContentViewController(content);
    popover->showRelativeToRect({});
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover));
    popover->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(popover.isNull());
    EXPECT_TRUE(content.isNull());
}

TEST_F(MenubarTest, TheSharePopoverClosesWhenAnotherProgramsWindowBecomesActive)
{
    // Another program's window, made active the way a window manager does it: through the root
    // window's "_NET_ACTIVE_WINDOW" (all a click into a Wayland window shows an X client).
    QProcess other;
    other.start(QStringLiteral("xmessage"), {QStringLiteral("-name"), QStringLiteral("parcly-other"), QStringLiteral("another program")});
    ASSERT_TRUE(other.waitForStarted(5000)) << "xmessage is needed for another program's window";
    QString otherWindow;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            otherWindow
                = runCommand(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--classname", "parcly-other"}).section('\n', 0, 0);
            return !otherWindow.isEmpty();
        },
        10000));
    auto activate = [](const QString& window) {
        QProcess::execute(QStringLiteral("xprop"), {"-root", "-f", "_NET_ACTIVE_WINDOW", "32x", "-set", "_NET_ACTIVE_WINDOW", window});
    };

    QWidget ours;
    ours.setWindowTitle(QStringLiteral("Our Own Window"));
    ours.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&ours));
    QPointer<SharePopover> popover = new SharePopover;
    popover->setContentViewController(new QWidget);
    popover->showRelativeToRect(QRect(600, 0, 22, 22));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover));

    // One of the app's own windows becoming active leaves it open.
    activate(QString::number(ours.winId()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return DesktopManagers::instance().activeWindow() == ours.winId(); }, 5000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(popover.isNull());
    EXPECT_TRUE(popover->isVisible());

    activate(otherWindow);
    EXPECT_TRUE(QTest::qWaitFor([&] { return popover.isNull(); }, 5000)) << "still open over the window the user went to";
    other.kill();
    other.waitForFinished(3000);
}
