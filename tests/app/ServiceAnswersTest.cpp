// The tray app against a service that misbehaves, with the desktop around it as a user has it: a
// 2x screen, proxy variables in the environment, a clipboard holding something of the user's.
#include "../lifecycle/AppProcess.h"
#include "BrowserRecorder.h"
#include "FixtureServer.h"
#include "PrivateSessionBus.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString clipboard()
{
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    xclip.waitForFinished(5000);
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

// A file the share extension left in its hand-off folder, and the URL that hands it to the app.
QString handOff(const QString& name)
{
    QFile file(handOffFolder() + QLatin1Char('/') + name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("contents of " + name.toUtf8());
    return handOffURL(file.fileName());
}

// A second start on the same display hands its URL to the running app and leaves.
bool handToRunningApp(const QString& url, const QProcessEnvironment& environment)
{
    return runSecondStart({url}, 10000, environment) == 0;
}

} // namespace

TEST(TrayAppAgainstAService, OnlyAnswersThatAreDropsReachTheUserAndNothingGoesThroughAProxy)
{
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.isRunning()) << bus.errorString().toStdString();
    const QString notifications = QDir::homePath() + QStringLiteral("/answers-notifications.jsonl");
    QProcess notificationServer;
    notificationServer.start(QStringLiteral(PARCLY_FAKE_NOTIFICATION_SERVER), {QStringLiteral("--record"), notifications});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notificationServer.canReadLine(); }, 10000));

    FixtureServer service, proxy;
    service.reply("POST", "/account", {.headers = {{"x-parcly-authorization", "Bearer t"}}});
    service.reply("GET", "/users/me", {.body = R"({"activeDrops":1})"});
    service.reply("POST", "/files", {.status = 200, .body = ""});
    // A home of its own: nothing the other tests left there (a screenshot) is uploaded beside ours.
    QTemporaryDir home(QDir::homePath() + QStringLiteral("/answers-XXXXXX"));
    QSettings settings(home.path() + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("parcly-api-url"), service.baseURL());
    settings.sync();

    // Something of the user's own on the clipboard, which a failed upload must leave there.
    QProcess holder;
    holder.start(QStringLiteral("xclip"), {QStringLiteral("-quiet"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    holder.write("the user's own text");
    holder.closeWriteChannel();
    ASSERT_TRUE(QTest::qWaitFor([] { return clipboard() == QStringLiteral("the user's own text"); }, 5000));

    BrowserRecorder browser;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("BROWSER"), QString::fromUtf8(browser.command()));
    environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "all_proxy"})
        environment.insert(QString::fromLatin1(name), proxy.baseURL());
    AppProcess app;
    // First an empty 200: no drop.
    app.start({handOff(QStringLiteral("empty.txt"))}, environment);
    ASSERT_TRUE(app.waitForLog(QStringLiteral("Upload failed: the service's answer (status 200) is not a drop")))
        << app.log().toStdString();

    // Then a "drop" whose link is a local file.
    service.reply("POST", "/files", {.status = 201, .body = R"({"title":"local.txt","shortlink":"file:///etc/hostname"})"});
    EXPECT_TRUE(handToRunningApp(handOff(QStringLiteral("local.txt")), environment));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return app.log().count(QStringLiteral("Upload failed: the service's answer (status 201)")) == 1; }, 15000))
        << app.log().toStdString();
    EXPECT_EQ(clipboard(), QStringLiteral("the user's own text"));

    // A real drop is announced, opened and copied: the two before were not.
    const std::string link = service.baseURL().toStdString() + "/Good1";
    service.reply("POST", "/files", {.status = 201, .body = R"({"title":"good.txt","shortlink":")" + link + R"("})"});
    EXPECT_TRUE(handToRunningApp(handOff(QStringLiteral("good.txt")), environment));
    ASSERT_EQ(browser.waitForCalls(1, 15000), QStringList{QString::fromStdString(link)});
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard() == QString::fromStdString(link); }, 5000)) << clipboard().toStdString();
    // Notifications go out first, on one connection: once ours is there, any earlier one would be.
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(notifications).contains(QStringLiteral("good.txt")); }, 5000));
    const QStringList announced = readFile(notifications).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(announced.size(), 1) << readFile(notifications).toStdString();
    EXPECT_TRUE(announced.first().contains(QStringLiteral("good.txt"))) << announced.first().toStdString();

    // Every upload went straight to the loopback service, telling it the screen's density; the
    // proxy saw nothing, so never the Basic credentials.
    int uploads = 0;
    for (const RecordedRequest& request : service.requests()) {
        if (request.method != "POST" || request.target.rfind("/files", 0) != 0)
            continue;
        ++uploads;
        EXPECT_EQ(request.target, "/files?pixel_density=2.0");
        EXPECT_EQ(request.header("Authorization").rfind("Basic ", 0), 0u);
    }
    EXPECT_EQ(uploads, 3);
    EXPECT_TRUE(proxy.requests().empty()) << proxy.requests().front().target;

    app.stop();
    holder.kill();
    holder.waitForFinished(2000);
    notificationServer.terminate();
    notificationServer.waitForFinished(5000);
}
