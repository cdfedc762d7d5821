// The real launcher program, copied into a bundle laid out in a temporary folder, starting a fake
// app (a script that records each start) or finding it already running.
#include "platform/Workspace.h"
#include "shared/SharedConstants.h"

#include "QtPrinters.h"
#include "TempBundle.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A display of this test's own, which the launchers and the fake apps it starts inherit:
        // a Parcly Lite another test run has started elsewhere on the machine is then rightly not
        // the app of this display.
        qputenv("DISPLAY", QByteArray(":launcher-test.") + QByteArray::number(QCoreApplication::applicationPid()));
        qunsetenv("WAYLAND_DISPLAY");
        ASSERT_TRUE(m_root.isValid());
        m_rootPath = QFileInfo(m_root.path()).canonicalFilePath();
        m_app = m_rootPath + QStringLiteral("/Applications/Parcly Lite.app");
        m_appExecutable = makeBundleWithScript(m_app, QString::fromLatin1(kMainAppBundleID), QStringLiteral("parcly-lite"),
                                               "echo started >> \"$(dirname \"$0\")/starts\"\n");
        ASSERT_FALSE(m_appExecutable.isEmpty());
        m_launcher = installLauncher(m_app);
    }

    // A copy of the built launcher with its Info.plist in <app>/Contents/Library/LoginItems.
    QString installLauncher(const QString& appPath)
    {
        const QString bundle = appPath + QStringLiteral("/Contents/Library/LoginItems/ParclyLiteLauncher.app");
        const QString built = QFileInfo(QStringLiteral(PARCLY_LAUNCHER_PATH)).absoluteDir().filePath(QStringLiteral("../Info.plist"));
        const QString executable = makeBundleWithProgram(bundle, QString::fromLatin1(kLauncherID), QStringLiteral(PARCLY_LAUNCHER_PATH),
                                                         QStringLiteral("parcly-lite-launcher"));
        EXPECT_FALSE(executable.isEmpty());
        QFile::remove(bundle + QStringLiteral("/Contents/Info.plist"));
        EXPECT_TRUE(QFile::copy(built, bundle + QStringLiteral("/Contents/Info.plist"))) << "the build's launcher has its Info.plist";
        return bundle;
    }

    // Runs the launcher to its end; the lines it logged.
    QStringList runLauncher(const QString& bundle)
    {
        QProcess launcher;
        launcher.start(bundle + QStringLiteral("/Contents/MacOS/parcly-lite-launcher"), {});
        EXPECT_TRUE(launcher.waitForFinished(20000)) << "the launcher quits by itself";
        EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(launcher.exitCode(), 0);
        return QString::fromUtf8(launcher.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    }

    int starts() const
    {
        QFile file(m_app + QStringLiteral("/Contents/MacOS/starts"));
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
    }

    // A copy of Parcly Lite that this test did not start (another test run on the machine) would
    // make the launcher rightly start nothing.
    static bool anotherAppRuns(const QString& ownRoot)
    {
        for (const RunningApplication& application : Workspace::sharedWorkspace().runningApplications()) {
            if (application.bundleIdentifier == QLatin1String(kMainAppBundleID) && application.isMainExecutable
                && application.display == Workspace::displayOfThisProcess() && !application.bundlePath.startsWith(ownRoot))
                return true;
        }
        return false;
    }

    QTemporaryDir m_root;
    QString m_rootPath;
    QString m_app;
    QString m_appExecutable;
    QString m_launcher;
};

TEST_F(LauncherTest, StartsTheAppFourComponentsUpOnce)
{
    if (anotherAppRuns(m_rootPath))
        GTEST_SKIP() << "another Parcly Lite runs on this machine";
    EXPECT_EQ(runLauncher(m_launcher),
              (QStringList{QStringLiteral("Launching Parcly Lite at ") + m_launcher, QStringLiteral("App Path: ") + m_app,
                           QStringLiteral("Launching Binary: ") + m_appExecutable, QStringLiteral("Terminate Helper")}));
    EXPECT_TRUE(QTest::qWaitFor([this] { return starts() > 0; }, 10000)) << "the app was started";
    EXPECT_EQ(starts(), 1);
}

TEST_F(LauncherTest, StartsNothingWhenTheAppRuns)
{
    // Two running copies of the app: /bin/sleep as the executable of a bundle with its identifier.
    const QString running
        = makeBundleWithProgram(m_rootPath + QStringLiteral("/Running/Parcly Lite.app"), QString::fromLatin1(kMainAppBundleID),
                                QStringLiteral("/bin/sleep"), QStringLiteral("sleep"));
    ASSERT_FALSE(running.isEmpty());
    std::vector<std::unique_ptr<QProcess>> apps;
    for (int i = 0; i < 2; ++i) {
        apps.push_back(std::make_unique<QProcess>());
        apps.back()->start(running, {QStringLiteral("60")});
        ASSERT_TRUE(apps.back()->waitForStarted());
    }

    EXPECT_EQ(runLauncher(m_launcher),
              (QStringList{QStringLiteral("Launching Parcly Lite at ") + m_launcher, QStringLiteral("Parcly Lite is already runnning"),
                           QStringLiteral("Terminate Helper")}));
    EXPECT_EQ(starts(), 0);

    for (auto& app : apps) {
        app->kill();
        app->waitForFinished();
    }
}

TEST_F(LauncherTest, OnlyTheAppsMainExecutableOnThisDisplayCountsAsRunning)
{
    if (anotherAppRuns(m_rootPath))
        GTEST_SKIP() << "another Parcly Lite runs on this machine";
    // A running copy of the app whose Contents/MacOS also holds a helper: both are /bin/sleep.
    const QString running = m_rootPath + QStringLiteral("/Running/Parcly Lite.app");
    const QString main = makeBundleWithProgram(running, QString::fromLatin1(kMainAppBundleID), QStringLiteral("/bin/sleep"),
                                               QStringLiteral("parcly-lite"));
    const QString helper = running + QStringLiteral("/Contents/MacOS/parcly-share");
    ASSERT_FALSE(main.isEmpty());
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), helper));
    ASSERT_TRUE(QFile::setPermissions(helper, QFile::permissions(main)));
    std::vector<std::unique_ptr<QProcess>> processes;
    const auto start = [&](const QString& program, const QProcessEnvironment& environment) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->setProcessEnvironment(environment);
        processes.back()->start(program, {QStringLiteral("60")});
        return processes.back()->waitForStarted();
    };
    const QStringList started = {QStringLiteral("Launching Parcly Lite at ") + m_launcher, QStringLiteral("App Path: ") + m_app,
                                 QStringLiteral("Launching Binary: ") + m_appExecutable, QStringLiteral("Terminate Helper")};

    // A waiting helper of the bundle is not the app.
    ASSERT_TRUE(start(helper, QProcessEnvironment::systemEnvironment()));
    EXPECT_EQ(runLauncher(m_launcher), started);
    EXPECT_TRUE(QTest::qWaitFor([this] { return starts() == 1; }, 10000)) << "the app was started beside the helper";

    // The app on another display of this user is not the app of this one.
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.remove(QStringLiteral("WAYLAND_DISPLAY"));
    elsewhere.insert(QStringLiteral("DISPLAY"), Workspace::displayOfThisProcess() + QStringLiteral("-elsewhere"));
    ASSERT_TRUE(start(main, elsewhere));
    EXPECT_EQ(runLauncher(m_launcher), started);
    EXPECT_TRUE(QTest::qWaitFor([this] { return starts() == 2; }, 10000)) << "the app was started beside another display's";

    // On this display it is.
    ASSERT_TRUE(start(main, QProcessEnvironment::systemEnvironment()));
    EXPECT_EQ(runLauncher(m_launcher),
              (QStringList{QStringLiteral("Launching Parcly Lite at ") + m_launcher, QStringLiteral("Parcly Lite is already runnning"),
                           QStringLiteral("Terminate Helper")}));
    QTest::qWait(300);
    EXPECT_EQ(starts(), 2);

    for (auto& process : processes) {
        process->kill();
        process->waitForFinished();
    }
}

TEST_F(LauncherTest, QuitsWhenNoAppLiesAtTheComputedPath)
{
    if (anotherAppRuns(m_rootPath))
        GTEST_SKIP() << "another Parcly Lite runs on this machine";
    const QString nowhere = m_rootPath + QStringLiteral("/Nowhere.app");
    const QString launcher = installLauncher(nowhere);
    EXPECT_EQ(runLauncher(launcher),
              (QStringList{QStringLiteral("Launching Parcly Lite at ") + launcher, QStringLiteral("App Path: ") + nowhere,
                           QStringLiteral("No application bundle at ") + nowhere + QStringLiteral(", nothing launched"),
                           QStringLiteral("Terminate Helper")}));
}

} // namespace
