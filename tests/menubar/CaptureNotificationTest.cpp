// How a capture started from the menu ends for the user: the real capture tool from the build's
// bundle, a notification server of the test's own on the private bus the other menu tests set up.
#include "MenubarTestSupport.h"

#include "../platform/CaptureDriver.h"
#include "ChildProcess.h"
#include "app/sources/ScreenGrabber.h"
#include "platform/Bundle.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

class CaptureEnds : public MenubarTest { };

TEST_F(CaptureEnds, AFailedCaptureIsAnnouncedWithWhatToInstallAndACancelStaysSilent)
{
    ChildProcess notifier;
    const QString record = QDir::home().filePath(QStringLiteral("capture-notifications.jsonl"));
    notifier.process.start(QStringLiteral(FAKE_NOTIFICATION_SERVER), {QStringLiteral("--record"), record});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.process.canReadLine() || notifier.process.state() == QProcess::NotRunning; }, 10000));
    ASSERT_EQ(notifier.process.readLine().trimmed(), "ready");

    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
    QTemporaryDir runtime;
    const QByteArray missingWayland = runtime.filePath(QStringLiteral("no-such-wayland-socket")).toLocal8Bit();
    const auto restore = qScopeGuard([] {
        Bundle::setMainBundlePath({});
        qunsetenv("WAYLAND_DISPLAY");
    });
    const QString failure = QStringLiteral("Screen capture failed: The desktop offers no screenshot service: install "
                                           "xdg-desktop-portal and a backend such as xdg-desktop-portal-gtk, -kde, -gnome or -wlr.");

    // A Wayland display named, no portal on the bus: the tool cannot take anything.
    qputenv("WAYLAND_DISPLAY", missingWayland);
    menu().screenshot();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notificationsIn(record).isEmpty(); }, 30000));
    EXPECT_EQ(notificationsIn(record), QStringList{failure});

    // On X the tool's own overlay comes up; Escape cancels it.
    qunsetenv("WAYLAND_DISPLAY");
    std::atomic<bool> overlayAppeared = false;
    std::thread user([&] { overlayAppeared = CaptureDriver::whenOverlayIsUp("key Escape"); });
    menu().grabWindow();
    EXPECT_TRUE(QTest::qWaitFor([] { return !ScreenGrabber::isCapturing(); }, 30000));
    user.join();
    ASSERT_TRUE(overlayAppeared);

    // A second failure: notifications arrive in the order they were sent, so had the cancel
    // said anything it would sit between the two.
    qputenv("WAYLAND_DISPLAY", missingWayland);
    menu().grabWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return notificationsIn(record).size() >= 2; }, 30000));
    EXPECT_EQ(notificationsIn(record), (QStringList{failure, failure}));
    EXPECT_TRUE(requestsFor("POST", "/files").empty());
}
