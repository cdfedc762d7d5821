// ScreenGrabber with the real capture tool from the build's bundle, on a private Xvfb.
#include "app/sources/ScreenGrabber.h"

#include "../platform/CaptureDriver.h"
#include "SessionBusEnvironment.h"
#include "platform/Bundle.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLocale>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using namespace CaptureDriver;

namespace {

// The portal the tool asks, if any, is on a bus of the test's own.
const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

const QRegularExpression kCaptureName(QStringLiteral(R"(^Screen Shot on \d{4}-\d\d-\d\d at \d\d:\d\d:\d\d\.png$)"));

QStringList screenShotsInTemporaryDirectory()
{
    return QDir(temporaryDirectory()).entryList({QStringLiteral("Screen Shot*")}, QDir::Files);
}

using Capture = void (*)(ScreenGrabber::Completion);

struct Outcome {
    QUrl capture;
    QString failure;
};

// Starts the capture and runs the event loop until it has handed back its result.
Outcome captureAndWait(Capture capture)
{
    bool done = false;
    Outcome result;
    capture([&](const QUrl& url, const QString& failure) {
        result = {url, failure};
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 60000));
    EXPECT_FALSE(ScreenGrabber::isCapturing());
    return result;
}

// Runs the capture from this thread's event loop while another thread plays the user.
Outcome captureWhileUserDoes(Capture capture, const std::string& actions, bool* overlayAppeared)
{
    std::atomic<bool> appeared = false;
    std::thread user([&] { appeared = whenOverlayIsUp(actions); });
    const Outcome result = captureAndWait(capture);
    user.join();
    *overlayAppeared = appeared;
    return result;
}

class ScreenGrabberTest : public ::testing::Test {
protected:
    void TearDown() override { Bundle::setMainBundlePath({}); }
};

TEST_F(ScreenGrabberTest, WithoutTheToolNothingRunsAndNothingIsReturned)
{
    // Not inside a bundle, and then a bundle that lacks the tool.
    EXPECT_TRUE(ScreenGrabber::captureToolPath().isEmpty());
    const Outcome outside = captureAndWait(&ScreenGrabber::captureScreen);
    EXPECT_TRUE(outside.capture.isEmpty());
    EXPECT_EQ(outside.failure, QStringLiteral("The screen capture tool is missing: reinstall Parcly Lite."));

    QTemporaryDir root;
    const QString bundle = root.filePath(QStringLiteral("Empty.app"));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")));
    QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write("<plist><dict><key>CFBundleExecutable</key><string>parcly-lite</string></dict></plist>");
    info.close();
    Bundle::setMainBundlePath(bundle);
    ASSERT_TRUE(Bundle::mainBundle().isValid());

    EXPECT_TRUE(ScreenGrabber::captureToolPath().isEmpty());
    const Outcome screen = captureAndWait(&ScreenGrabber::captureScreen);
    const Outcome window = captureAndWait(&ScreenGrabber::captureWindow);
    EXPECT_TRUE(screen.capture.isEmpty());
    EXPECT_TRUE(window.capture.isEmpty());
    EXPECT_FALSE(screen.failure.isEmpty());
    EXPECT_FALSE(window.failure.isEmpty());
    EXPECT_TRUE(screenShotsInTemporaryDirectory().isEmpty());
}

TEST_F(ScreenGrabberTest, CaptureFilesAreTimestampedScreenShotsInTheTemporaryDirectory)
{
    const QString path = ScreenGrabber::captureTemporaryFilePath();
    const QFileInfo file(path);
    EXPECT_EQ(file.absolutePath() + QLatin1Char('/'), temporaryDirectory());
    EXPECT_TRUE(kCaptureName.match(file.fileName()).hasMatch()) << path.toStdString();
}

TEST_F(ScreenGrabberTest, ACompletedRegionCaptureReturnsTheWrittenFile)
{
    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
    ASSERT_FALSE(ScreenGrabber::captureToolPath().isEmpty());

    bool appeared = false;
    const Outcome outcome = captureWhileUserDoes(&ScreenGrabber::captureScreen, kDragFrom100x100To300x250, &appeared);
    const QUrl& url = outcome.capture;

    ASSERT_TRUE(appeared);
    EXPECT_TRUE(outcome.failure.isEmpty()) << outcome.failure.toStdString();
    ASSERT_TRUE(url.isLocalFile()) << url.toString().toStdString();
    const QFileInfo file(url.toLocalFile());
    EXPECT_EQ(file.absolutePath() + QLatin1Char('/'), temporaryDirectory());
    EXPECT_TRUE(kCaptureName.match(file.fileName()).hasMatch()) << file.fileName().toStdString();
    EXPECT_EQ(QImage(file.filePath()).size(), QSize(200, 150));
}

TEST_F(ScreenGrabberTest, AWindowCaptureReturnsThatWindowsImage)
{
    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
    PictureWindow window(QRect(200, 200, 300, 100), solidImage(QSize(300, 100), QColor(200, 40, 40)));
    ASSERT_TRUE(showAndWaitUntilOnScreen(window, QPoint(250, 250), qRgb(200, 40, 40)));

    bool appeared = false;
    const QUrl url = captureWhileUserDoes(&ScreenGrabber::captureWindow, "mousemove 250 250 click 1", &appeared).capture;

    ASSERT_TRUE(appeared);
    ASSERT_TRUE(url.isLocalFile());
    const QImage image(url.toLocalFile());
    EXPECT_EQ(image.size(), QSize(300, 100));
    EXPECT_EQ(image.pixel(150, 50), qRgb(200, 40, 40));
}

TEST_F(ScreenGrabberTest, ACancelledCaptureReturnsNothingEvenWhenAnEarlierCaptureHasItsName)
{
    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
    // Captures made within the same second share a name: these stand for an earlier capture
    // the cancelled one would be named like.
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = 0; second < 10; ++second) {
        const QDateTime time = now.addSecs(second);
        QFile earlier(temporaryDirectory()
                      + QStringLiteral("Screen Shot on %1 at %2.png")
                            .arg(QLocale::system().toString(time, QStringLiteral("yyyy-MM-dd")),
                                 QLocale::system().toString(time, QStringLiteral("HH:mm:ss"))));
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    }
    const QStringList before = screenShotsInTemporaryDirectory();

    bool appeared = false;
    const Outcome outcome = captureWhileUserDoes(&ScreenGrabber::captureScreen, "key Escape", &appeared);

    ASSERT_TRUE(appeared);
    // A cancel is no failure: nothing for the user to read.
    EXPECT_TRUE(outcome.capture.isEmpty()) << outcome.capture.toString().toStdString();
    EXPECT_TRUE(outcome.failure.isEmpty()) << outcome.failure.toStdString();
    EXPECT_EQ(screenShotsInTemporaryDirectory(), before);
}

// With a Wayland display named, the tool asks the portal: its cancel stays silent, and every
// failure comes back as the tool's reason, a sentence for the user.
TEST_F(ScreenGrabberTest, ThroughThePortalACancelIsSilentAndAFailureSaysWhy)
{
    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
    QTemporaryDir pictures;
    qputenv("WAYLAND_DISPLAY", pictures.filePath(QStringLiteral("no-such-wayland-socket")).toLocal8Bit());
    const auto restore = qScopeGuard([] { qunsetenv("WAYLAND_DISPLAY"); });
    EXPECT_FALSE(ScreenGrabber::picksWindowsItself());

    const Outcome noPortal = captureAndWait(&ScreenGrabber::captureWindow);
    EXPECT_TRUE(noPortal.capture.isEmpty());
    EXPECT_EQ(noPortal.failure,
              QStringLiteral("The desktop offers no screenshot service: install xdg-desktop-portal and a "
                             "backend such as xdg-desktop-portal-gtk, -kde, -gnome or -wlr."));

    PortalStandIn portal;
    ASSERT_TRUE(portal.isRunning());
    portal.answer(1);
    const Outcome cancelled = captureAndWait(&ScreenGrabber::captureScreen);
    EXPECT_TRUE(cancelled.capture.isEmpty());
    EXPECT_TRUE(cancelled.failure.isEmpty()) << cancelled.failure.toStdString();

    portal.answer(2);
    const Outcome failed = captureAndWait(&ScreenGrabber::captureScreen);
    EXPECT_TRUE(failed.capture.isEmpty());
    EXPECT_EQ(failed.failure, QStringLiteral("The desktop's screenshot service could not take the screenshot."));

    const QString taken = pictures.filePath(QStringLiteral("Screenshot.png"));
    ASSERT_TRUE(solidImage(QSize(30, 20), QColor(0, 128, 255)).save(taken));
    portal.answer(0, taken);
    const Outcome written = captureAndWait(&ScreenGrabber::captureWindow);
    EXPECT_TRUE(written.failure.isEmpty()) << written.failure.toStdString();
    ASSERT_TRUE(written.capture.isLocalFile());
    EXPECT_TRUE(kCaptureName.match(QFileInfo(written.capture.toLocalFile()).fileName()).hasMatch());
    EXPECT_EQ(QImage(written.capture.toLocalFile()).size(), QSize(30, 20));
    EXPECT_EQ(portal.calls(), 3);
}

} // namespace
