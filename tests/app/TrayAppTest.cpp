// The tray app as a user meets it: the real parcly-lite from the build's bundle on a private X
// display and session bus, talking to the real reference service. Files are dragged onto its drop
// target from another program and keys are pressed with xdotool.
#include "ChildProcess.h"
#include "DesktopWindows.h"
#include "PrivateSessionBus.h"
#include "ProcessTree.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <algorithm>

namespace {

// The file panel's title; the desktop adds the application's name.
const QString kFilePanelTitle = QStringLiteral("Share a File — Parcly Lite");

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Drags these files from another program onto the window, as a user does with the mouse.
void dragOnto(const QString& window, const QStringList& paths, QProcess& source)
{
    source.start(QStringLiteral(PARCLY_DRAG_SOURCE), paths);
    const QString sourceWindow = waitForWindow(QStringLiteral("Drag Source"));
    ASSERT_FALSE(sourceWindow.isEmpty());
    const QPoint from = windowCentre(sourceWindow);
    const QPoint to = windowCentre(window);
    dragWithMouse(from, to);
}

} // namespace

class TrayApp : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new PrivateSessionBus;
        ASSERT_TRUE(bus->isRunning());
    }
    static void TearDownTestSuite()
    {
        delete bus;
        bus = nullptr;
    }

    void SetUp() override
    {
        home = QDir::homePath();
        // The tests share one home; each keeps its own records.
        const QString test = QString::fromLatin1(testing::UnitTest::GetInstance()->current_test_info()->name());
        notifications = home + QStringLiteral("/notifications-%1.jsonl").arg(test);
        browserLog = home + QStringLiteral("/browser-%1.log").arg(test);

        notificationServer.process.setProcessChannelMode(QProcess::SeparateChannels);
        notificationServer.process.start(QStringLiteral(PARCLY_FAKE_NOTIFICATION_SERVER), {QStringLiteral("--record"), notifications});
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return notificationServer.process.canReadLine() || notificationServer.process.state() == QProcess::NotRunning; }, 10000));
        ASSERT_EQ(notificationServer.process.readLine().trimmed(), "ready");

        ASSERT_FALSE(service.url.isEmpty()) << service.banner.toStdString();

        // Where GNOME's screenshot tool saves; the app watches it from launch.
        QDir().mkpath(home + QStringLiteral("/Pictures/Screenshots"));

        // The app reads where the service is from the user's settings, as a user would configure it.
        QDir().mkpath(home + QStringLiteral("/.config/parcly"));
        QSettings settings(home + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("parcly-api-url"), service.url);
        settings.setValue(QStringLiteral("parcly-web-url"), service.url);
        // A returning user: the welcome window, centred over the desktop, would lie in the way of
        // the drags and clicks here (the launch and onboarding tests cover the first launch).
        settings.setValue(QStringLiteral("hasShownOnboarding"), true);
        settings.sync();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("BROWSER"), QStringLiteral(PARCLY_RECORD_BROWSER));
        environment.insert(QStringLiteral("PARCLY_TEST_BROWSER_LOG"), browserLog);
        environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        app.process.setProcessEnvironment(environment);
        app.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.process.start(QStringLiteral(PARCLY_LITE_PATH), {});
        dropTarget = waitForWindow(QStringLiteral("Parcly Lite"));
        ASSERT_FALSE(dropTarget.isEmpty()) << "the drop target never showed";
        // The free account is registered at launch; uploads need it.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                QSettings stored(home + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
                return !stored.value(QStringLiteral("parcly-token")).toString().isEmpty();
            },
            15000));
    }

    QJsonObject lastNotification() const
    {
        const QStringList lines = readFile(notifications).split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last().toUtf8()).object();
    }

    static PrivateSessionBus* bus;
    QString home, notifications, browserLog, dropTarget;
    ChildProcess notificationServer;
    // The service keeps its drops in the tests' shared home.
    ReferenceService service{{}, QDir::homePath() + QStringLiteral("/service")};
    ChildProcess app;
};

PrivateSessionBus* TrayApp::bus = nullptr;

TEST_F(TrayApp, AFileDraggedOntoTheDropTargetBecomesADrop)
{
    const QString path = home + QStringLiteral("/holiday notes.txt");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("notes from the holiday\n");
    file.close();

    ChildProcess source;
    dragOnto(dropTarget, {path}, source.process);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !lastNotification().isEmpty(); }, 20000)) << "no notification";
    const QJsonObject notification = lastNotification();
    EXPECT_EQ(notification.value("summary").toString(), "Drop Created");
    const QStringList body = notification.value("body").toString().split('\n');
    ASSERT_EQ(body.size(), 2);
    EXPECT_EQ(body[0], "holiday notes.txt");
    const QString link = body[1];
    EXPECT_TRUE(link.startsWith(service.url)) << link.toStdString();

    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(browserLog).contains(link); }, 10000));
    EXPECT_EQ(readFile(browserLog).trimmed(), link);
    EXPECT_EQ(runCommand(QStringLiteral("xclip"), {"-o", "-selection", "clipboard"}), link);
    EXPECT_EQ(runCommand(QStringLiteral("xclip"), {"-o", "-selection", "clipboard", "-t", "text/uri-list"}), link);
    EXPECT_EQ(runCommand(QStringLiteral("curl"), {"-sS", link + QStringLiteral("/raw")}), "notes from the holiday");
}

TEST_F(TrayApp, TheShareShortcutFiresOncePerPress)
{
    // Only the processes the share page starts count.
    const QList<qint64> before = processTree(app.process.processId());
    // Right after launch, the menu never opened: the shortcut works all the same.
    xdotool({"key", "shift+alt+d"});
    // The first share shows the introduction popover; a second firing would open the file panel.
    EXPECT_FALSE(waitForWindow(QStringLiteral("Share a File with Parcly Lite"), 15000).isEmpty());
    QTest::qWait(1500);
    EXPECT_TRUE(findWindow(kFilePanelTitle).isEmpty()) << "the shortcut fired twice";
    QSettings stored(home + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
    EXPECT_TRUE(stored.value(QStringLiteral("hashShownSharePop")).toBool());

    // The page's button asks for a file: the panel opens. The page fades in once loaded, which
    // takes a few seconds here, so keep pressing until it answers.
    const QString popover = findWindow(QStringLiteral("Share a File with Parcly Lite"));
    ASSERT_FALSE(popover.isEmpty());
    // No compositing manager runs here: a translucent window would show black around the page.
    EXPECT_TRUE(runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-id"), popover}).contains(QStringLiteral("Depth: 24")));
    // The page lives in a helper process of the app, with the engine's processes below it.
    QList<qint64> engine;
    // The share page's processes: below the app, but not below a helper that ran before.
    const auto pageProcesses = [&] {
        QList<qint64> others{app.process.processId()};
        for (qint64 pid : before.mid(1))
            others += processTree(pid);
        QList<qint64> tree = processTree(app.process.processId());
        tree.removeIf([&](qint64 pid) { return others.contains(pid); });
        return tree;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return (engine = pageProcesses()).size() > 1; }, 10000)) << "no helper shows the page";
    const QPoint centre = windowCentre(popover);
    const QPoint button(centre.x(), centre.y() - 180 + 307);
    const bool panelOpened = QTest::qWaitFor(
        [&] {
            xdotool({"mousemove", QString::number(button.x()), QString::number(button.y()), "click", "1"});
            return !waitForWindow(kFilePanelTitle, 1000).isEmpty();
        },
        30000);
    EXPECT_TRUE(panelOpened) << "the page's button did not open the file panel";

    // Once the panel and the popover have closed, the page's processes are gone within seconds.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            xdotool({"key", "Escape"});
            return findWindow(kFilePanelTitle).isEmpty() && findWindow(QStringLiteral("Share a File with Parcly Lite")).isEmpty();
        },
        10000))
        << "the panel or the popover did not close";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !anyAlive(engine); }, 5000)) << "engine processes remain";
    EXPECT_EQ(pageProcesses(), QList<qint64>());
}

// The arguments the capture tool below the app was started with, once its overlay is up; the
// overlay is then cancelled, as a user does with Escape.
QString cancelCaptureStartedBy(qint64 app)
{
    if (waitForWindow(QStringLiteral("Parcly Screen Capture"), 15000).isEmpty())
        return QString();
    QString arguments;
    for (qint64 pid : processTree(app)) {
        if (!QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().endsWith(QStringLiteral("/Contents/MacOS/screencapture")))
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly))
            arguments = QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' ')).trimmed();
    }
    xdotool({"key", "Escape"});
    EXPECT_TRUE(QTest::qWaitFor([] { return findWindow(QStringLiteral("Parcly Screen Capture")).isEmpty(); }, 10000));
    return arguments;
}

TEST_F(TrayApp, MenuActionsFromTheCommandLineReachTheRunningAppOrStartIt)
{
    // What a desktop's own custom shortcut runs: handed to the running app, the command leaves at once.
    const auto runAction = [](const QString& action) {
        QProcess command;
        command.start(QStringLiteral(PARCLY_LITE_PATH), {action});
        const bool ended = command.waitForFinished(5000);
        return ended ? command.exitCode() : -1;
    };
    // The share item's window: the introduction the first time, the file panel after it.
    const auto shareWindow = [] {
        const QString popover = findWindow(QStringLiteral("Share a File with Parcly Lite"));
        return popover.isEmpty() ? findWindow(kFilePanelTitle) : popover;
    };
    EXPECT_EQ(runAction(QStringLiteral("--share-file")), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shareWindow().isEmpty(); }, 15000)) << "--share-file showed nothing";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            xdotool({"key", "Escape"});
            return shareWindow().isEmpty();
        },
        10000));

    EXPECT_EQ(runAction(QStringLiteral("--capture-window")), 0);
    const QString window = cancelCaptureStartedBy(app.process.processId());
    EXPECT_TRUE(window.contains(QStringLiteral(" -i -w "))) << window.toStdString();

    // With no app running, the action starts it and runs once its launch has finished.
    app.stop();
    ChildProcess started;
    started.process.setProcessEnvironment(app.process.processEnvironment());
    started.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    started.process.start(QStringLiteral(PARCLY_LITE_PATH), {QStringLiteral("--capture-region")});
    const QString region = cancelCaptureStartedBy(started.process.processId());
    EXPECT_TRUE(region.contains(QStringLiteral("-i ")) && !region.contains(QStringLiteral(" -w "))) << region.toStdString();
    // Cancelled: nothing was uploaded, nothing announced.
    EXPECT_TRUE(lastNotification().isEmpty());
}

TEST_F(TrayApp, TheMenuAnswersWhileADroppedFolderIsZippedAndItsKeysWorkInIt)
{
    // About 128 MiB of text, which zip takes seconds over.
    const QString album = home + QStringLiteral("/Album");
    ASSERT_TRUE(QDir().mkpath(album));
    QByteArray words;
    for (quint32 seed = 1; words.size() < (4 << 20); seed = seed * 1103515245u + 12345u)
        words += QByteArray::number(seed >> 12, 36) + ((seed >> 8) % 13 ? " " : "\n");
    for (int i = 0; i < 32; ++i) {
        QFile part(album + QStringLiteral("/part %1.txt").arg(i));
        ASSERT_TRUE(part.open(QIODevice::WriteOnly));
        words.prepend(QByteArray::number(i));
        part.write(words);
    }

    ChildProcess source;
    dragOnto(dropTarget, {album}, source.process);
    const QString appPid = QString::number(app.process.processId());
    const auto zipping = [&] { return !runCommand(QStringLiteral("pgrep"), {"-P", appPid, "-x", "zip"}).isEmpty(); };
    ASSERT_TRUE(QTest::qWaitFor(zipping, 10000)) << "the folder is not being zipped";

    // The menu opens while zip runs, rather than once it has ended.
    const QPoint target = windowCentre(dropTarget);
    xdotool({"mousemove", QString::number(target.x()), QString::number(target.y()), "click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([] { return findWindows(QStringLiteral("Parcly Lite")).size() == 2; }, 20000)) << "the menu did not open";
    EXPECT_TRUE(zipping()) << "the menu opened only once zipping was over";

    // The key equivalent shown on an item works while the menu holds the keyboard, once: the
    // first share shows the introduction and later ones the file panel (the tests share a home),
    // so a second firing would open a file panel too many.
    const bool introduced = QSettings(home + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat)
                                .value(QStringLiteral("hashShownSharePop"))
                                .toBool();
    xdotool({"key", "shift+alt+d"});
    if (introduced)
        EXPECT_FALSE(waitForWindow(kFilePanelTitle, 15000).isEmpty());
    else
        EXPECT_FALSE(waitForWindow(QStringLiteral("Share a File with Parcly Lite"), 15000).isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([] { return findWindows(QStringLiteral("Parcly Lite")).size() == 1; }, 5000)) << "the menu stayed open";
    QTest::qWait(1500);
    EXPECT_EQ(findWindows(kFilePanelTitle).size(), introduced ? 1 : 0) << "the key equivalent did not fire exactly once";

    // The archive is uploaded once made.
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(notifications).contains(QStringLiteral("\"body\":\"Album.zip\\n")); }, 60000))
        << readFile(notifications).toStdString();
}

TEST_F(TrayApp, AScreenshotTheDesktopSavesIsShared)
{
    // Where GNOME's screenshot tool saves, written the way it writes: to a new file, then closed.
    const QString folder = home + QStringLiteral("/Pictures/Screenshots");
    const QString name = QStringLiteral("Screenshot from 2026-12-07 14-02-11.png");
    QImage shot(64, 48, QImage::Format_RGB32);
    shot.fill(QColor(40, 120, 200));
    ASSERT_TRUE(shot.save(folder + QLatin1Char('/') + name));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !lastNotification().isEmpty(); }, 20000)) << "the screenshot was not shared";
    const QStringList body = lastNotification().value("body").toString().split('\n');
    ASSERT_EQ(body.size(), 2);
    EXPECT_EQ(body[0], name);
    QFile saved(folder + QLatin1Char('/') + name);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    QProcess curl;
    curl.start(QStringLiteral("curl"), {"-sS", body[1] + QStringLiteral("/raw")});
    ASSERT_TRUE(curl.waitForFinished(10000));
    EXPECT_EQ(curl.readAllStandardOutput(), saved.readAll());
}

TEST_F(TrayApp, AFileSharedFromAFileManagerIsUploadedUnderItsRealName)
{
    // The share extension as a file manager starts it, beside the running tray app.
    QFile file(home + QStringLiteral("/my file.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("shared from the file manager\n");
    file.close();
    QProcess share;
    share.setWorkingDirectory(home);
    share.start(QStringLiteral(PARCLY_SHARE_PATH), {QStringLiteral("my file.txt")});
    ASSERT_TRUE(share.waitForFinished(30000));
    EXPECT_EQ(share.exitCode(), 0) << share.readAllStandardError().toStdString();

    // Earlier tests' screenshots may be announced too: look for this drop's own notification.
    QString link;
    const bool uploaded = QTest::qWaitFor(
        [&] {
            for (const QString& line : readFile(notifications).split('\n', Qt::SkipEmptyParts)) {
                const QStringList body = QJsonDocument::fromJson(line.toUtf8()).object().value("body").toString().split('\n');
                if (body.size() == 2 && body[0] == QStringLiteral("my file.txt"))
                    link = body[1];
            }
            return !link.isEmpty();
        },
        20000);
    ASSERT_TRUE(uploaded) << "no drop named \"my file.txt\": " << readFile(notifications).toStdString();
    EXPECT_EQ(runCommand(QStringLiteral("curl"), {"-sS", link + QStringLiteral("/raw")}), "shared from the file manager");
}

TEST(TrayAppBinary, DoesNotLinkTheBrowserEngine)
{
    // The engine costs tens of megabytes at rest; only the web module, loaded on demand, links it.
    const QString libraries = runCommand(QStringLiteral("ldd"), {QStringLiteral(PARCLY_LITE_PATH)});
    ASSERT_TRUE(libraries.contains(QStringLiteral("libQt6Widgets")));
    EXPECT_FALSE(libraries.contains(QStringLiteral("WebEngine")));
}
