// The tray app on a plain X desktop: a tray (trayer) but no compositing manager and no
// notification server (the session bus is unreachable). The real parcly-lite from the build, the
// real reference service, drags from another program through xdotool.
#include "ChildProcess.h"
#include "DesktopWindows.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

namespace {

const QColor kBackground(30, 140, 90);

QColor pixelAt(const QPoint& point)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, point.x(), point.y(), 1, 1).toImage().pixelColor(0, 0);
}

class DesktopFit : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(service.url.isEmpty());
        QSettings settings = appSettings();
        settings.setValue(QStringLiteral("parcly-api-url"), service.url);
        settings.setValue(QStringLiteral("parcly-web-url"), service.url);
        // A returning user: the welcome window would cover the desktop's pixels and drags here.
        settings.setValue(QStringLiteral("hasShownOnboarding"), true);
        // The tests share one home: each starts with the drop target shown, at its first place.
        settings.remove(QStringLiteral("showDropTarget"));
        settings.remove(QStringLiteral("dropTargetPosition"));

        // A desktop background of one colour, below every window the app shows.
        background.setWindowFlag(Qt::FramelessWindowHint);
        background.setGeometry(QGuiApplication::primaryScreen()->geometry());
        background.setPalette(QPalette(kBackground));
        background.setAutoFillBackground(true);
        background.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&background));
        ASSERT_TRUE(QTest::qWaitFor([] { return pixelAt(QPoint(5, 5)) == kBackground; }, 5000));

        tray.process.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "64"});
        ASSERT_TRUE(tray.process.waitForStarted(5000));
        ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
    }

    static QSettings appSettings()
    {
        QDir().mkpath(QDir::homePath() + QStringLiteral("/.config/parcly"));
        return QSettings(QDir::homePath() + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
    }

    static QProcessEnvironment appEnvironment()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
        return environment;
    }

    void startApp(const QProcessEnvironment& environment = appEnvironment())
    {
        app.process.setProcessEnvironment(environment);
        app.process.start(QStringLiteral(PARCLY_LITE_PATH), {});
        ASSERT_TRUE(app.process.waitForStarted(5000));
    }

    QRect available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }

    QWidget background;
    // The service keeps its drops in the tests' shared home.
    ReferenceService service{{}, QDir::homePath() + QStringLiteral("/service")};
    ChildProcess tray, app;
};

TEST_F(DesktopFit, WithATrayButNoCompositorNorNotificationServer)
{
    startApp();
    QString dropTarget;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(dropTarget = findWindow(QStringLiteral("Parcly Lite"))).isEmpty(); }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([] { return !appSettings().value(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000));

    // With a tray, the drop target waits at the bottom-right, clear of maximised windows' buttons.
    QRect target = windowGeometry(dropTarget);
    EXPECT_EQ(target.right(), available().right() - 24);
    EXPECT_EQ(target.bottom(), available().bottom() - 24);

    // No compositor: the rounded corners show the desktop, not black, and the plate is opaque.
    ASSERT_TRUE(QTest::qWaitFor([&] { return pixelAt(target.center()) != kBackground; }, 5000));
    EXPECT_EQ(pixelAt(target.topLeft()), kBackground);
    EXPECT_EQ(pixelAt(target.bottomRight()), kBackground);
    const QColor plate = pixelAt(target.topLeft() + QPoint(6, target.height() / 2));
    EXPECT_NE(plate, kBackground);
    EXPECT_EQ(plate.alpha(), 255);

    // A drag whose web archive nests 50,000 deep: the archive is refused, the image it also
    // carries is shared, and the announcement, with no notification server, is a tray balloon.
    ChildProcess source;
    source.process.start(QStringLiteral(PARCLY_DRAG_SOURCE), {QStringLiteral("--hostile-web-archive")});
    QString sourceWindow;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(sourceWindow = findWindow(QStringLiteral("Drag Source"))).isEmpty(); }, 10000));
    const QPoint from = windowGeometry(sourceWindow).center();
    const QPoint to = target.center();
    dragWithMouse(from, to);
    EXPECT_TRUE(app.waitForLog(QStringLiteral("Web archive in the drag ignored: it nests deeper than"))) << app.log.toStdString();
    EXPECT_TRUE(app.waitForLog(QStringLiteral("showing the notification on the tray icon"))) << app.log.toStdString();
    EXPECT_EQ(app.process.state(), QProcess::Running);
    source.stop();

    // The tray goes away: the drop target stands in for it, at the top-right.
    tray.stop();
    ASSERT_TRUE(app.waitForLog(QStringLiteral("The system tray went away")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return windowGeometry(dropTarget).top() == available().top() + 24; }, 5000));
    EXPECT_EQ(windowGeometry(dropTarget).right(), available().right() - 24);
}

TEST_F(DesktopFit, AHiddenDropTargetComesBackWhenTheTrayGoesAway)
{
    appSettings().setValue(QStringLiteral("showDropTarget"), false);
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([] { return !appSettings().value(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000));
    QTest::qWait(500);
    EXPECT_TRUE(findWindow(QStringLiteral("Parcly Lite")).isEmpty()) << "hidden as the user chose, while the tray shows the icon";

    tray.stop();
    QString dropTarget;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(dropTarget = findWindow(QStringLiteral("Parcly Lite"))).isEmpty(); }, 10000))
        << "without a tray the drop target is the app's only face";
}

TEST_F(DesktopFit, InAWaylandSessionTheAppRunsOnXWayland)
{
    QProcessEnvironment wayland = appEnvironment();
    wayland.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    wayland.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-parcly-test"));
    wayland.remove(QStringLiteral("QT_QPA_PLATFORM"));

    // Without XWayland there is nothing to fall back to: one line says what is missing.
    QProcessEnvironment pureWayland = wayland;
    pureWayland.remove(QStringLiteral("DISPLAY"));
    startApp(pureWayland);
    EXPECT_TRUE(app.waitForLog(QStringLiteral(
        "Wayland session without XWayland (no DISPLAY): the drop target cannot be placed and global shortcuts are unavailable")))
        << app.log.toStdString();
    app.stop();

    app.log.clear();
    startApp(wayland);
    EXPECT_TRUE(QTest::qWaitFor([] { return !findWindow(QStringLiteral("Parcly Lite")).isEmpty(); }, 20000))
        << "the drop target never showed on the X display: " << app.log.toStdString();
    // Asked for XWayland outright: Qt never went looking for its Wayland platform.
    app.waitForLog(QString());
    EXPECT_FALSE(app.log.contains(QStringLiteral("\"wayland\""))) << app.log.toStdString();
}

} // namespace
