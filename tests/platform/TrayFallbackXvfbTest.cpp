// Without a notification server the notification still reaches the user: as a balloon of the tray
// icon, in a real tray (trayer) on a real X display. The test runs with an unreachable session bus.
#include "platform/Log.h"
#include "platform/gui/UserNotificationCenter.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

namespace {

QWidget* visibleBalloon()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && QByteArray(widget->metaObject()->className()) == "QBalloonTip")
            return widget;
    }
    return nullptr;
}

TEST(TrayFallback, NotificationBecomesABalloonOfTheTrayIcon)
{
    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "64"});
    ASSERT_TRUE(trayer.waitForStarted(5000)) << trayer.errorString().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.show();
    // The balloon points at the icon, which the tray takes in a moment after it is shown. Until
    // then the icon is a 22x22 window at the screen's origin (a non-empty geometry), and a balloon
    // asked for then never appeared on a loaded machine: wait until the icon sits in trayer's 64
    // pixels at the right edge.
    const int trayLeft = QGuiApplication::primaryScreen()->geometry().right() - 64;
    ASSERT_TRUE(QTest::qWaitFor([&] { return icon.geometry().left() >= trayLeft; }, 10000))
        << "icon at " << icon.geometry().x() << "," << icon.geometry().y();
    UserNotificationCenter& center = UserNotificationCenter::defaultUserNotificationCenter();
    center.setFallbackTrayIcon(&icon);

    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    QSignalSpy handled(&center, &UserNotificationCenter::notificationHandled);
    center.deliverNotification({"Drop Created", "beach.png", "http://127.0.0.1:8787/Bb1"});
    EXPECT_EQ(handled.count(), 0);
    ASSERT_TRUE(handled.wait(10000));
    EXPECT_FALSE(handled.first().first().toBool());
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().contains("tray icon")) << log.lines().first().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return visibleBalloon() != nullptr; }, 15000));

    center.setFallbackTrayIcon(nullptr);
    icon.hide();
    trayer.kill();
    trayer.waitForFinished(3000);
}

} // namespace
