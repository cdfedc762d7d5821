// ScreenGrabber with the real capture tool from the build's bundle, on a private Xvfb.
#include "app/sources/ScreenGrabber.h"

#include "../platform/CaptureDriver.h"
#include "platform/Bundle.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using namespace CaptureDriver;

namespace {

const QRegularExpression kCaptureName(QStringLiteral(R"(^Screen Shot on \d{4}-\d\d-\d\d at \d\d:\d\d:\d\d\.png$)"));

QStringList screenShotsInTemporaryDirectory()
{
    return QDir(temporaryDirectory()).entryList({QStringLiteral("Screen Shot*")}, QDir::Files);
}

using Capture = void (*)(ScreenGrabber::Completion);

// Starts the capture and runs the event loop until it has handed back its result.
QUrl captureAndWait(Capture capture)
{
    bool done = false;
    QUrl result;
    capture([&](const QUrl& url) {
        result = url;
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 60000));
    return result;
}

// Runs the capture from this thread's event loop while another thread plays the user.
QUrl captureWhileUserDoes(Capture capture, const std::string& actions, bool* overlayAppeared)
{
    std::atomic<bool> appeared = false;
    std::thread user([&] { appeared = whenOverlayIsUp(actions); });
    const QUrl result = captureAndWait(capture);
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
    EXPECT_TRUE(captureAndWait(&ScreenGrabber::captureScreen).isEmpty());

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
    EXPECT_TRUE(captureAndWait(&ScreenGrabber::captureScreen).isEmpty());
    EXPECT_TRUE(captureAndWait(&ScreenGrabber::captureWindow).isEmpty());
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
    const QUrl url = captureWhileUserDoes(&ScreenGrabber::captureScreen, kDragFrom100x100To300x250, &appeared);

    ASSERT_TRUE(appeared);
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
    const QUrl url = captureWhileUserDoes(&ScreenGrabber::captureWindow, "mousemove 250 250 click 1", &appeared);

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
        QFile earlier(temporaryDirectory() + QStringLiteral("Screen Shot on %1 at %2.png")
                          .arg(QLocale::system().toString(time, QStringLiteral("yyyy-MM-dd")),
                               QLocale::system().toString(time, QStringLiteral("HH:mm:ss"))));
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    }
    const QStringList before = screenShotsInTemporaryDirectory();

    bool appeared = false;
    const QUrl url = captureWhileUserDoes(&ScreenGrabber::captureScreen, "key Escape", &appeared);

    ASSERT_TRUE(appeared);
    EXPECT_TRUE(url.isEmpty()) << url.toString().toStdString();
    EXPECT_EQ(screenShotsInTemporaryDirectory(), before);
}

} // namespace
