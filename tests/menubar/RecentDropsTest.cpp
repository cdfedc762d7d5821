// "Recent Drops" in the status menu against the real service (in this process, on a loopback
// port), with the clipboard, the browser and the notification server of the test's own.
#include "MenubarTestSupport.h"

#include "BrowserRecorder.h"
#include "ChildProcess.h"
#include "ServerHarness.h"
#include "SessionBusEnvironment.h"
#include "app/menubar/DropExpiryPicker.h"
#include "app/menubar/PreferencesWindowController.h"
#include "app/menubar/RecentDropsMenu.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include <filesystem>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

// The drops' entries as the menu shows them, and the menu of each.
QList<QMenu*> entries(const RecentDropsMenu& recent)
{
    QList<QMenu*> menus;
    for (QAction* action : recent.actions()) {
        if (action->menu())
            menus.append(action->menu());
    }
    return menus;
}

QStringList texts(const QList<QAction*>& actions)
{
    QStringList result;
    for (const QAction* action : actions) {
        if (!action->isSeparator())
            result.append(action->text());
    }
    return result;
}

QAction* actionNamed(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QMenu* entryFor(const RecentDropsMenu& recent, const QString& code)
{
    return recent.findChild<QMenu*>(QStringLiteral("drop-") + code);
}

// Everything the service keeps on disk, by path.
size_t storedFiles(const std::filesystem::path& folder)
{
    size_t count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

} // namespace

TEST(RecentDrops, UploadsListCopyOpenAndDeleteFromTheMenuAgainstTheService)
{
    ChildProcess notifier;
    const QString record = QDir::home().filePath(QStringLiteral("drops-notifications.jsonl"));
    notifier.process.start(QStringLiteral(FAKE_NOTIFICATION_SERVER), {QStringLiteral("--record"), record});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.process.canReadLine() || notifier.process.state() == QProcess::NotRunning; }, 10000));
    ASSERT_EQ(notifier.process.readLine().trimmed(), "ready");
    BrowserRecorder browser;
    const ScopedEnvironment useRecorder({{"BROWSER", browser.command()}});

    RunningService service;
    const Credentials account = registerAccount(service);
    Defaults& defaults = Defaults::standard();
    defaults.clear();
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(service.port());
    defaults.setValue(ServiceConfiguration::kAPIURLKey, origin);
    defaults.setValue(ServiceConfiguration::kWebURLKey, origin);
    defaults.setValue(QStringLiteral("parcly-username"), QString::fromStdString(account.email));
    defaults.setValue(QStringLiteral("parcly-password"), QString::fromStdString(account.password));
    defaults.synchronize();

    RecentDropsMenu& recent = *menu().recentDropsMenu();
    ASSERT_TRUE(QTest::qWaitFor([&] { return texts(recent.actions()).contains(QStringLiteral("No drops yet")); }, 15000))
        << texts(recent.actions()).join(QLatin1Char('|')).toStdString();

    // "Delete new drops after: 1 hour", chosen with the keyboard, goes with the next upload.
    menu().preferences();
    auto* picker = menu().prefsWindow()->findChild<DropExpiryPicker*>();
    ASSERT_NE(picker, nullptr);
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(picker->currentText(), QStringLiteral("1 hour"));
    EXPECT_EQ(defaults.value(QStringLiteral("parcly-drop-expiry")).toLongLong(), 3600);

    // Each drop is on top of the list as soon as its upload has ended, with no list asked for.
    QStringList links;
    for (const QString& name : {QStringLiteral("a.txt"), QStringLiteral("b & c.txt"), QStringLiteral("d.txt")}) {
        QFile file(QDir::home().filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name.toUtf8() + " contents");
        file.close();
        std::optional<bool> ended;
        menu().uploadFile(QUrl::fromLocalFile(file.fileName()), [&](bool success) { ended = success; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended.has_value(); }, 15000));
        ASSERT_TRUE(*ended);
        ASSERT_FALSE(recent.drops().isEmpty());
        EXPECT_EQ(recent.drops().first().title, name);
        links.prepend(recent.drops().first().shortlink.toString());
        // Only the first is to expire.
        QTest::keyClick(picker, Qt::Key_Up);
    }
    EXPECT_EQ(defaults.value(QStringLiteral("parcly-drop-expiry")).toLongLong(), 0);
    const auto listed = service.client().Get("/drops?limit=10", basicAuthorization(account));
    ASSERT_TRUE(listed && listed->status == 200);
    const QJsonArray onService = jsonObject(listed->body).value(QStringLiteral("drops")).toArray();
    ASSERT_EQ(onService.size(), 3);
    const QJsonObject first = onService.at(2).toObject();
    EXPECT_EQ(QDateTime::fromString(first.value(QStringLiteral("created")).toString(), Qt::ISODate)
                  .secsTo(QDateTime::fromString(first.value(QStringLiteral("expires")).toString(), Qt::ISODate)),
              3600);
    EXPECT_TRUE(onService.at(0).toObject().value(QStringLiteral("expires")).isNull());

    // Opened from the keyboard, the menu shows the entries, newest first, each with its actions.
    menu().popup(QPoint(100, 100));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu()));
    menu().setActiveAction(recent.menuAction());
    QTest::keyClick(&menu(), Qt::Key_Right);
    ASSERT_TRUE(QTest::qWaitFor([&] { return recent.isVisible(); }, 5000));
    const QList<QMenu*> shown = entries(recent);
    ASSERT_EQ(shown.size(), 3);
    EXPECT_TRUE(shown.at(0)->menuAction()->text().startsWith(QStringLiteral("d.txt — just now, "))) << shown.at(0)->title().toStdString();
    EXPECT_TRUE(shown.at(1)->menuAction()->text().startsWith(QStringLiteral("b && c.txt — "))) << shown.at(1)->title().toStdString();
    EXPECT_EQ(shown.at(1)->accessibleName(), QStringLiteral("b & c.txt"));
    for (QMenu* entry : shown)
        EXPECT_EQ(texts(entry->actions()),
                  (QStringList{QStringLiteral("Copy Link"), QStringLiteral("Open in Browser"), QStringLiteral("Delete Drop…")}));
    EXPECT_EQ(texts(recent.actions()).last(), QStringLiteral("Show All Drops"));
    menu().hide();

    // An earlier drop's link, again on the clipboard and in the browser.
    const QString codeA = recent.drops().at(2).code;
    const QString codeB = recent.drops().at(1).code;
    actionNamed(entryFor(recent, codeA), QStringLiteral("Copy Link"))->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), links.at(2));
    actionNamed(entryFor(recent, codeB), QStringLiteral("Open in Browser"))->trigger();
    // Once when it was made, once now.
    const QStringList opened = browser.waitForCalls(4);
    EXPECT_EQ(opened.count(links.at(1)), 2) << opened.join(QLatin1Char('\n')).toStdString();

    // Delete asks first, naming the drop; cancelled, nothing goes.
    const size_t filesBefore = storedFiles(service.dataDirectory());
    actionNamed(entryFor(recent, codeA), QStringLiteral("Delete Drop…"))->trigger();
    ASSERT_NE(recent.openDialog(), nullptr);
    EXPECT_EQ(recent.openDialog()->text(), QStringLiteral("Delete “a.txt”?"));
    recent.openDialog()->button(QMessageBox::Cancel)->click();
    QTest::qWait(0);
    EXPECT_EQ(entries(recent).size(), 3);
    actionNamed(entryFor(recent, codeA), QStringLiteral("Delete Drop…"))->trigger();
    ASSERT_NE(recent.openDialog(), nullptr);
    QAbstractButton* confirm = nullptr;
    for (QAbstractButton* button : recent.openDialog()->buttons())
        confirm = button->text() == QStringLiteral("Delete") ? button : confirm;
    ASSERT_NE(confirm, nullptr);
    confirm->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return entries(recent).size() == 2; }, 15000));
    EXPECT_EQ(entryFor(recent, codeA), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notificationsIn(record).filter(QStringLiteral("Drop Deleted")).isEmpty(); }, 15000));
    EXPECT_EQ(notificationsIn(record).filter(QStringLiteral("Drop Deleted")),
              QStringList{QStringLiteral("Drop Deleted: “a.txt” is deleted; its link no longer works.")});
    for (const std::string& page : {"/" + codeA.toStdString(), "/" + codeA.toStdString() + "/raw"}) {
        const auto answer = service.client().Get(page);
        EXPECT_TRUE(answer && answer->status == 410) << page;
    }
    EXPECT_EQ(storedFiles(service.dataDirectory()), filesBefore - 1);
    EXPECT_TRUE(QTest::qWaitFor([] { return menu().dropCount() == 2; }, 15000)) << menu().dropCount();

    // A drop already deleted elsewhere: the user is told why, and the entry goes.
    const auto elsewhere = service.client().Delete(("/drops/" + codeB).toStdString(), basicAuthorization(account));
    ASSERT_TRUE(elsewhere && elsewhere->status == 204);
    actionNamed(entryFor(recent, codeB), QStringLiteral("Delete Drop…"))->trigger();
    for (QAbstractButton* button : recent.openDialog()->buttons()) {
        if (button->text() == QStringLiteral("Delete"))
            button->click();
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return recent.openDialog() && recent.openDialog()->objectName() == QStringLiteral("deleteDropFailed"); }, 15000));
    EXPECT_EQ(recent.openDialog()->text(), QStringLiteral("“b & c.txt” could not be deleted."));
    EXPECT_TRUE(recent.openDialog()->informativeText().contains(QStringLiteral("No such drop")))
        << recent.openDialog()->informativeText().toStdString();
    EXPECT_EQ(entryFor(recent, codeB), nullptr);
    recent.openDialog()->close();

    // A drop made elsewhere shows once the menu has opened again.
    const auto fromElsewhere = upload(service, account, {.bytes = "e", .name = "e.txt"});
    ASSERT_TRUE(fromElsewhere && fromElsewhere->status == 201);
    menu().popup(QPoint(100, 100));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !recent.drops().isEmpty() && recent.drops().first().title == QStringLiteral("e.txt"); }, 15000));
    EXPECT_EQ(entries(recent).size(), 2);
    menu().hide();

    // "Show All Drops": the account's page, signed in with its token.
    actionNamed(&recent, QStringLiteral("Show All Drops"))->trigger();
    const QStringList calls = browser.waitForCalls(5);
    EXPECT_EQ(calls.filter(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(origin) + QStringLiteral("/account/drops")))
                  .size(),
              1)
        << calls.join(QLatin1Char('\n')).toStdString();
}
