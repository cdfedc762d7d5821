// The tray app's launch sequence and URL entry, with the real parcly-lite started as a user's
// desktop would start it, against a recording HTTP server and the real reference service.
#include "AppProcess.h"
#include "BrowserRecorder.h"
#include "FixtureServer.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include "app/lifecycle/AppDelegate.h"
#include "platform/DefaultsController.h"
#include "shared/SharedConstants.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

namespace {

const QString kLaunched = QStringLiteral("Ignoring handed-over URL");

int accountRequests(const FixtureServer& server)
{
    int count = 0;
    for (const RecordedRequest& request : server.requests())
        count += request.method == "POST" && request.target == "/account";
    return count;
}

QString autostartFolder()
{
    return QDir::homePath() + QStringLiteral("/.config/autostart");
}

// Launches the app and waits until its launch sequence has run to its end: the URL handler,
// installed last, answers a URL it must refuse.
void launch(AppProcess& app)
{
    app.start({QStringLiteral("parcly-lite://?handleURL=file:///nowhere")});
    ASSERT_TRUE(app.waitForLog(kLaunched)) << app.log().toStdString();
}

void removeSettingsAndAutostart()
{
    QFile::remove(AppProcess::settingsPath());
    QDir(autostartFolder()).removeRecursively();
}

TEST(LaunchSequence, FirstLaunchRegistersOnceAndSecondLaunchChangesNothing)
{
    removeSettingsAndAutostart();
    FixtureServer service;
    service.reply("POST", "/account", {.headers = {{"x-parcly-authorization", "Bearer first-token"}}});
    AppProcess::configureService(service.baseURL());

    AppProcess first;
    launch(first);
    ASSERT_TRUE(
        QTest::qWaitFor([] { return AppProcess::setting(QStringLiteral("parcly-token")).toString().endsWith("first-token"); }, 10000));
    EXPECT_TRUE(AppProcess::setting(QStringLiteral("hasShownOnboarding")).toBool());
    EXPECT_FALSE(AppProcess::setting(QStringLiteral("parcly-username")).toString().isEmpty());
    EXPECT_EQ(accountRequests(service), 1);
    // The first launch puts the app into the login items: an entry that runs this very program,
    // and the launcher of its bundle.
    const QStringList entries = QDir(autostartFolder()).entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    ASSERT_EQ(entries.size(), 2) << entries.join(u' ').toStdString();
    QFile entry(autostartFolder() + QLatin1Char('/') + entries.first());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(entry.readAll()).contains(QFileInfo(QStringLiteral(PARCLY_LITE_PATH)).canonicalFilePath()));
    EXPECT_EQ(entries.last(), QString::fromLatin1(kLauncherID) + QStringLiteral(".desktop"));
    first.stop();

    // The user took the app out of the login items; a later launch must not put it back, nor
    // register again, nor show the onboarding again.
    QDir(autostartFolder()).removeRecursively();
    AppProcess second;
    launch(second);
    QTest::qWait(500);
    EXPECT_EQ(accountRequests(service), 1);
    EXPECT_FALSE(QDir(autostartFolder()).exists() && !QDir(autostartFolder()).isEmpty());
    EXPECT_FALSE(second.log().contains(QStringLiteral("First launch")));
}

TEST(LaunchSequence, AutomaticScreenshotUploadIsOnBeforeAnyoneSetsIt)
{
    DefaultsController& controller = DefaultsController::sharedUserDefaultsController();
    const QString keyPath = QStringLiteral("values.uploadAllScreenshots");
    controller.setValueForKeyPath(QVariant(), keyPath);
    {
        // A stored account, so that the set-up registers nothing.
        QSettings settings(AppProcess::settingsPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("parcly-username"), QStringLiteral("someone@free.parcly.example"));
        settings.setValue(QStringLiteral("parcly-password"), QStringLiteral("secret"));
    }
    AppDelegate::instance().handleUserSetup();
    EXPECT_EQ(controller.valueForKeyPath(keyPath), QVariant(true));
    controller.setValueForKeyPath(false, keyPath);
    EXPECT_EQ(controller.valueForKeyPath(keyPath), QVariant(false));
}

// --- URL entry -------------------------------------------------------------------------------

class UrlEntry : public ::testing::Test {
protected:
    void SetUp() override
    {
        removeSettingsAndAutostart();
        ASSERT_FALSE(service.url.isEmpty());
        AppProcess::configureService(service.url);
        handOff = handOffFolder();
        ASSERT_FALSE(handOff.isEmpty());
    }
    void TearDown() override
    {
        app.stop();
        service.server.stop();
    }

    void startApp(const QStringList& arguments = {})
    {
        app.start(arguments, AppProcess::environment(QString::fromUtf8(browser.command())));
        ASSERT_TRUE(QTest::qWaitFor([] { return !AppProcess::setting(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000))
            << app.log().toStdString();
    }

    QString writeFile(const QString& path, const QByteArray& content)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }

    // The page of the drop that the app opened in the browser, as the service serves it.
    QByteArray openedDrop(int index)
    {
        const QStringList calls = browser.waitForCalls(index + 1, 15000);
        if (calls.size() <= index)
            return {};
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), calls.at(index) + QStringLiteral("/raw")});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput();
    }

    ReferenceService service;
    QString handOff;
    BrowserRecorder browser;
    AppProcess app;
};

TEST_F(UrlEntry, ASecondStartHandsItsURLToTheRunningAppWhichUploadsOnlyHandedOverFiles)
{
    // The first instance gets a URL on its command line, before its launch has finished.
    const QString early = writeFile(handOff + QStringLiteral("/early.txt"), "early bird\n");
    startApp({handOffURL(early)});
    EXPECT_EQ(openedDrop(0), "early bird\n");

    // A page's attempts: a file elsewhere, a way out through "..", a symlink out of the folder,
    // queries that are no key-value pairs or no UTF-8. None uploads, none stops the app.
    const QString secret = writeFile(QDir::homePath() + QStringLiteral("/id_secret"), "private key\n");
    QFile::link(secret, handOff + QStringLiteral("/innocent.txt"));
    for (const QString& url : {handOffURL(secret), handOffURL(handOff + QStringLiteral("/../../../id_secret")),
                               handOffURL(handOff + QStringLiteral("/innocent.txt")), QStringLiteral("parcly-lite://?handleURL"),
                               QStringLiteral("parcly-lite://?a=%FF&handleURL=%E2%28"), QStringLiteral("parcly-lite:no-query"),
                               QStringLiteral("not a url at all")}) {
        EXPECT_EQ(runSecondStart({url}), 0) << url.toStdString();
    }

    // The share extension's file, a space in its name: the URL carries it as %2520, and the drop
    // keeps the real name.
    const QString shared = writeFile(handOff + QStringLiteral("/holiday notes.txt"), "sun and sea\n");
    const QString url = handOffURL(shared);
    ASSERT_TRUE(url.contains(QStringLiteral("holiday%2520notes.txt"))) << url.toStdString();
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(runSecondStart({url}), 0);
    EXPECT_LT(clock.elapsed(), 2000); // generous: a second start must never hang around
    EXPECT_EQ(openedDrop(1), "sun and sea\n");
    EXPECT_TRUE(app.running());
    EXPECT_EQ(browser.calls().size(), 2) << browser.calls().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(app.log().count(QStringLiteral("not in the share extension's hand-off folder")), 3) << app.log().toStdString();

    ASSERT_GE(browser.calls().size(), 2);
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), browser.calls().at(1)});
    curl.waitForFinished(10000);
    EXPECT_TRUE(curl.readAllStandardOutput().contains("holiday notes.txt"));
}

TEST(LaunchOptions, HelpListsTheMenuActionsAndAnUnknownOptionIsAnError)
{
    QProcess help;
    help.start(QStringLiteral(PARCLY_LITE_PATH), {QStringLiteral("--help")});
    ASSERT_TRUE(help.waitForFinished(5000));
    EXPECT_EQ(help.exitCode(), 0);
    const QString usage = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const char* action : {"--share-file", "--capture-region", "--capture-window"})
        EXPECT_TRUE(usage.contains(QLatin1String(action))) << usage.toStdString();

    // Refused before anything starts: no instance is claimed, no window shown.
    QProcess unknown;
    unknown.start(QStringLiteral(PARCLY_LITE_PATH), {QStringLiteral("--capture-everything")});
    ASSERT_TRUE(unknown.waitForFinished(5000));
    EXPECT_EQ(unknown.exitCode(), 2);
    EXPECT_TRUE(unknown.readAllStandardError().contains("unknown option --capture-everything"));
}

TEST_F(UrlEntry, AnOfflineFirstLaunchRegistersAtTheNextAndSharesWork)
{
    // The first launch finds no service: a loopback port nobody listens on.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    AppProcess::configureService(nowhere);
    AppProcess offline;
    offline.start({}, AppProcess::environment(QString::fromUtf8(browser.command())));
    ASSERT_TRUE(offline.waitForLog(QStringLiteral("Error: "))) << offline.log().toStdString();
    offline.stop();
    const QString email = AppProcess::setting(QStringLiteral("parcly-username")).toString();
    EXPECT_FALSE(email.isEmpty());
    EXPECT_TRUE(AppProcess::setting(QStringLiteral("parcly-token")).toString().isEmpty());

    // The next launch, the service up: the stored credentials are registered, not taken for an
    // account the service forgot, and a share goes up at once.
    AppProcess::configureService(service.url);
    startApp();
    EXPECT_EQ(AppProcess::setting(QStringLiteral("parcly-username")).toString(), email);
    const QString shared = writeFile(handOff + QStringLiteral("/after the outage.txt"), "back online\n");
    EXPECT_EQ(runSecondStart({handOffURL(shared)}), 0);
    EXPECT_EQ(openedDrop(0), "back online\n");
    // No upgrade prompt: the drop count asked for while the registration was on its way may have
    // been refused, but that says nothing about the account.
    EXPECT_FALSE(app.log().contains(QStringLiteral("no longer knows this account"))) << app.log().toStdString();
    EXPECT_FALSE(app.log().contains(QStringLiteral("Upload failed"))) << app.log().toStdString();
}

TEST_F(UrlEntry, QuickStartsGiveOneInstanceAndACrashedOneDoesNotBlockTheNext)
{
    QProcess one, two;
    one.setProcessEnvironment(AppProcess::environment());
    two.setProcessEnvironment(AppProcess::environment());
    one.start(QStringLiteral(PARCLY_LITE_PATH), {});
    two.start(QStringLiteral(PARCLY_LITE_PATH), {});
    // One of them hands over and leaves; the other stays.
    ASSERT_TRUE(QTest::qWaitFor([&] { return one.state() == QProcess::NotRunning || two.state() == QProcess::NotRunning; }, 10000));
    QTest::qWait(500);
    QProcess& left = one.state() == QProcess::NotRunning ? one : two;
    QProcess& stayed = one.state() == QProcess::NotRunning ? two : one;
    EXPECT_EQ(left.exitCode(), 0);
    ASSERT_NE(stayed.state(), QProcess::NotRunning);

    // A crash leaves the lock and the socket behind; the next start takes them over. (Once the
    // account is registered: a crash before that leaves credentials without a token, which a
    // later launch rightly does not register again.)
    ASSERT_TRUE(QTest::qWaitFor([] { return !AppProcess::setting(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000));
    stayed.kill();
    stayed.waitForFinished(5000);
    const QString early = writeFile(handOff + QStringLiteral("/after crash.txt"), "still here\n");
    startApp({handOffURL(early)});
    EXPECT_EQ(openedDrop(0), "still here\n");
    EXPECT_EQ(runSecondStart({}), 0);
    EXPECT_TRUE(app.running());
}

} // namespace
