// The app's login-items entry and the launcher's registration in a real autostart folder, and the
// "killLauncher" handshake observed on a private session bus.
#include "app/menubar/StartAtLogin.h"
#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"
#include "platform/LoginItemService.h"
#include "platform/LoginItems.h"
#include "platform/Workspace.h"
#include "shared/SharedConstants.h"

#include "PrivateSessionBus.h"
#include "QtPrinters.h"
#include "SessionBusEnvironment.h"
#include "TempBundle.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

} // namespace

// Records the distributed notifications seen on its own connection to the bus.
class NotificationRecorder : public QObject {
    Q_OBJECT
public:
    NotificationRecorder()
        : m_bus(QDBusConnection::connectToBus(SessionBusEnvironment::bus->address(), QStringLiteral("recorder")))
    {
        m_connected = m_bus.connect(QString(), DistributedNotificationCenter::kPath, DistributedNotificationCenter::kInterface,
                                    DistributedNotificationCenter::kMember, this, SLOT(record(QString, QString)));
    }
    ~NotificationRecorder() override { QDBusConnection::disconnectFromBus(QStringLiteral("recorder")); }

    bool isConnected() const { return m_connected; }
    // Everything posted before `marker` by this process, once `marker` has arrived: the bus keeps
    // one sender's signals in order.
    QList<QPair<QString, QString>> postedBefore(const QString& marker)
    {
        DistributedNotificationCenter::defaultCenter().postNotificationName(marker);
        const bool arrived = QTest::qWaitFor([&] { return !m_seen.isEmpty() && m_seen.last().first == marker; }, 10000);
        EXPECT_TRUE(arrived) << "the marker notification never arrived";
        QList<QPair<QString, QString>> seen = m_seen;
        if (arrived)
            seen.removeLast();
        m_seen.clear();
        return seen;
    }

public slots:
    void record(const QString& name, const QString& object) { m_seen.append({name, object}); }

private:
    QDBusConnection m_bus;
    bool m_connected = false;
    QList<QPair<QString, QString>> m_seen;
};

namespace {

class StartAtLoginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid() && m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        const QString root = QFileInfo(m_root.path()).canonicalFilePath();
        m_app = root + QStringLiteral("/Parcly Lite.app");
        m_appExecutable = makeBundleWithScript(m_app, QString::fromLatin1(kMainAppBundleID), QStringLiteral("parcly-lite"), "exit 0\n");
        m_launcherExecutable = makeBundleWithScript(m_app + QStringLiteral("/Contents/Library/LoginItems/ParclyLiteLauncher.app"),
                                                    QString::fromLatin1(kLauncherID), QStringLiteral("parcly-lite-launcher"), "exit 0\n");
        m_otherCopyExecutable = makeBundleWithScript(root + QStringLiteral("/Other/Parcly Lite.app"), QString::fromLatin1(kMainAppBundleID),
                                                     QStringLiteral("parcly-lite"), "exit 0\n");
        ASSERT_FALSE(m_appExecutable.isEmpty() || m_launcherExecutable.isEmpty() || m_otherCopyExecutable.isEmpty());
        Bundle::setMainBundlePath(m_app);
        m_items = LoginItems::create();
        ASSERT_TRUE(m_items.has_value());
    }
    void TearDown() override { Bundle::setMainBundlePath({}); }

    // Each item's file name and the program it resolves to, in list order.
    QStringList listing() const
    {
        QStringList lines;
        for (const LoginItem& item : m_items->snapshot())
            lines.append(item.fileName() + QStringLiteral(" -> ") + LoginItems::resolve(item));
        return lines;
    }

    void writeRaw(const QString& fileName, const QByteArray& contents)
    {
        ASSERT_TRUE(QDir().mkpath(m_items->folderPath()));
        QFile file(m_items->folderPath() + QLatin1Char('/') + fileName);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    QTemporaryDir m_root;
    QTemporaryDir m_config;
    QString m_app;
    QString m_appExecutable;
    QString m_launcherExecutable;
    QString m_otherCopyExecutable;
    std::optional<LoginItems> m_items;
    StartAtLogin startAtLogin;
};

TEST_F(StartAtLoginTest, OneChoiceGovernsTheAppsEntryAndTheLauncher)
{
    ASSERT_TRUE(m_items->writeItem(QStringLiteral("other-copy.desktop"), m_otherCopyExecutable));
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled()) << "another copy's entry is not ours";
    const QString other = QStringLiteral("other-copy.desktop -> ") + m_otherCopyExecutable;
    const QString launcherEntry = QString::fromLatin1(kLauncherID) + QStringLiteral(".desktop -> ") + m_launcherExecutable;
    const QString appEntry = QStringLiteral("00-parcly-lite.desktop -> ") + m_appExecutable;

    startAtLogin.setStartAtLogin(true);
    EXPECT_TRUE(startAtLogin.startAtLoginIsEnabled());
    const QStringList enabled = listing();
    EXPECT_EQ(enabled, (QStringList{appEntry, launcherEntry, other})) << "ours goes first, the launcher registered";
    startAtLogin.setStartAtLogin(true);
    EXPECT_EQ(listing(), enabled) << "enabling twice adds no second entry";

    // Off: nothing of ours starts the app at login, whichever of the two was there.
    startAtLogin.setStartAtLogin(false);
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled());
    EXPECT_EQ(listing(), QStringList{other});
    startAtLogin.setStartAtLogin(false);
    EXPECT_EQ(listing(), QStringList{other});

    // The launcher alone still starts the app at login: the setting reads on, and off removes it.
    ASSERT_TRUE(LoginItemService::setEnabled(QString::fromLatin1(kLauncherID), true));
    EXPECT_TRUE(startAtLogin.startAtLoginIsEnabled());
    startAtLogin.setStartAtLogin(false);
    EXPECT_EQ(listing(), QStringList{other});
    // A hidden launcher entry starts nothing.
    writeRaw(QString::fromLatin1(kLauncherID) + QStringLiteral(".desktop"),
             "[Desktop Entry]\nType=Application\nHidden=true\nExec=\"" + m_launcherExecutable.toUtf8() + "\"\n");
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled());
    EXPECT_TRUE(LoginItemService::setEnabled(QString::fromLatin1(kLauncherID), false));
    EXPECT_TRUE(LoginItemService::setEnabled(QString::fromLatin1(kLauncherID), false)) << "already off is not a failure";

    ScopedLogCapture log;
    EXPECT_FALSE(LoginItemService::setEnabled(QStringLiteral("org.example.NoSuchHelper"), true));
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Login item service: no helper")).size(), 1);
}

TEST_F(StartAtLoginTest, DisablingRemovesEveryMatchingEntryAndSkipsWhatDoesNotResolve)
{
    const QByteArray exec = "Exec=\"" + m_appExecutable.toUtf8() + "\"\n";
    writeRaw(QStringLiteral("05-hidden.desktop"), "[Desktop Entry]\nType=Application\nHidden=true\n" + exec);
    writeRaw(QStringLiteral("06-gone.desktop"), "[Desktop Entry]\nType=Application\nExec=/nonexistent/parcly-lite\n");
    ASSERT_TRUE(m_items->writeItem(QStringLiteral("10-first.desktop"), m_appExecutable));
    writeRaw(QStringLiteral("20-second.desktop"), "[Desktop Entry]\nType=Application\nName=Second\n" + exec);
    ASSERT_EQ(LoginItems::resolve(*m_items->itemNamed(QStringLiteral("20-second.desktop"))), m_appExecutable);
    EXPECT_TRUE(startAtLogin.startAtLoginIsEnabled());

    startAtLogin.setStartAtLogin(false);
    EXPECT_EQ(listing(), (QStringList{QStringLiteral("05-hidden.desktop -> "), QStringLiteral("06-gone.desktop -> ")}));
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled()) << "a second entry would still start the app";

    // A list that cannot be opened reads as off and takes no change.
    QDir(m_items->folderPath()).removeRecursively();
    QFile blocker(m_items->folderPath());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ScopedLogCapture log;
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled());
    startAtLogin.setStartAtLogin(true);
    EXPECT_TRUE(QFileInfo(m_items->folderPath()).isFile());
    EXPECT_FALSE(log.linesStartingWith(QStringLiteral("Login items: ")).isEmpty());
}

TEST_F(StartAtLoginTest, ExecIsReadAsTheDesktopEntrySpecQuotesIt)
{
    const QString sh = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("sh"))).canonicalFilePath();
    const QString spaced = m_otherCopyExecutable;
    const struct {
        const char* name;
        QByteArray entry;
        QString program;
    } cases[] = {
        {"quoted.desktop", "[Desktop Entry]\nExec=\"" + spaced.toUtf8() + "\" --flag %u\n", spaced},
        {"on-path.desktop", "# comment\n[Desktop Entry]\nExec=sh -c \"exit 0\"\n", sh},
        {"relative.desktop", "[Desktop Entry]\nExec=bin/sh\n", QString()},
        {"other-group.desktop", "[Desktop Action x]\nExec=/bin/sh\n", QString()},
        {"unterminated.desktop", "[Desktop Entry]\nExec=\"/bin/sh\n", QString()},
        {"no-exec.desktop", "[Desktop Entry]\nName=Nothing\n", QString()},
    };
    for (const auto& c : cases) {
        writeRaw(QString::fromLatin1(c.name), c.entry);
        EXPECT_EQ(LoginItems::resolve(*m_items->itemNamed(QString::fromLatin1(c.name))), c.program) << c.name;
    }

    // What we write reads back as the same program, whatever its path holds; nothing in the path
    // can add a line of its own to the entry.
    const QString odd = m_root.path() + QStringLiteral("/odd \"quote\" $HOME `x` 100% back\\slash\nHidden=true");
    ASSERT_FALSE(
        makeBundleWithScript(odd + QStringLiteral("/Odd.app"), QStringLiteral("org.example.Odd"), QStringLiteral("odd"), "exit 0\n")
            .isEmpty());
    const QString oddProgram = QFileInfo(odd + QStringLiteral("/Odd.app/Contents/MacOS/odd")).canonicalFilePath();
    const std::optional<LoginItem> item = m_items->insertItemBeforeFirst(oddProgram);
    ASSERT_TRUE(item);
    EXPECT_EQ(LoginItems::resolve(*item), oddProgram);
    QFile written(item->filePath);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().count('\n'), 4);
}

TEST_F(StartAtLoginTest, KillLauncherIsPostedOncePerRunningLauncher)
{
    // A launcher of another test run would rightly be signalled too.
    const auto foreignLaunchers = [root = QFileInfo(m_root.path()).canonicalFilePath()] {
        const QList<RunningApplication> running = Workspace::sharedWorkspace().runningApplications();
        return std::count_if(running.begin(), running.end(), [&](const RunningApplication& application) {
            return application.bundleIdentifier == QLatin1String(kLauncherID) && !application.bundlePath.startsWith(root);
        });
    };
    if (foreignLaunchers() > 0)
        GTEST_SKIP() << "a launcher of another run is running";
    NotificationRecorder recorder;
    ASSERT_TRUE(recorder.isConnected());

    startAtLogin.handleStartAtLogin();
    EXPECT_TRUE(recorder.postedBefore(QStringLiteral("marker-1")).isEmpty()) << "no launcher runs";

    // Two launchers: /bin/sleep as the executable of a bundle with the launcher's identifier.
    const QString sleeper = makeBundleWithProgram(m_root.path() + QStringLiteral("/Sleeper/ParclyLiteLauncher.app"),
                                                  QString::fromLatin1(kLauncherID), QStringLiteral("/bin/sleep"), QStringLiteral("sleep"));
    ASSERT_FALSE(sleeper.isEmpty());
    std::vector<std::unique_ptr<QProcess>> launchers;
    for (int i = 0; i < 2; ++i) {
        launchers.push_back(std::make_unique<QProcess>());
        launchers.back()->start(sleeper, {QStringLiteral("60")});
        ASSERT_TRUE(launchers.back()->waitForStarted());
    }

    startAtLogin.handleStartAtLogin();
    const QPair<QString, QString> killLauncher{QStringLiteral("killLauncher"), QString::fromLatin1(kMainAppBundleID)};
    EXPECT_EQ(recorder.postedBefore(QStringLiteral("marker-2")), (QList<QPair<QString, QString>>{killLauncher, killLauncher}));

    for (auto& launcher : launchers) {
        launcher->kill();
        launcher->waitForFinished();
    }
}

} // namespace

#include "StartAtLoginTest.moc"
