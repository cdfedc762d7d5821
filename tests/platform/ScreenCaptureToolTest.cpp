// The capture tool as the app runs it, on a private Xvfb with xdotool acting as the user.
#include "CaptureDriver.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

using namespace CaptureDriver;

namespace {

struct ToolRun {
    int exitCode = -1;
    QByteArray standardError;
};

class ScreenCaptureToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        const QSize screen(1280, 800);
        m_pattern = std::make_unique<PictureWindow>(QRect(QPoint(0, 0), screen), patternImage(screen));
        ASSERT_TRUE(showAndWaitUntilOnScreen(*m_pattern, QPoint(300, 250), patternPixel(300, 250)));
    }

    // Starts the tool, lets xdotool act once the overlay is up, and waits for the tool to end.
    ToolRun run(const QStringList& arguments, const std::string& actions)
    {
        QProcess tool;
        tool.start(QStringLiteral(PARCLY_SCREENCAPTURE_TOOL), arguments);
        EXPECT_TRUE(tool.waitForStarted());
        EXPECT_TRUE(whenOverlayIsUp(actions)) << "the overlay never appeared";
        if (!tool.waitForFinished(15000))
            tool.kill();
        tool.waitForFinished();
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardError()};
    }

    QString path(const QString& name) const { return m_folder.filePath(name); }
    QStringList filesInFolder() const { return QDir(m_folder.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir m_folder;
    std::unique_ptr<PictureWindow> m_pattern;
};

TEST_F(ScreenCaptureToolTest, DraggedRegionIsWrittenWithThePixelsOfThatRegion)
{
    const ToolRun result = run({QStringLiteral("-i"), path(QStringLiteral("region.png"))}, kDragFrom100x100To300x250);

    ASSERT_EQ(result.exitCode, 0) << result.standardError.constData();
    const QImage image(path(QStringLiteral("region.png")));
    ASSERT_EQ(image.size(), QSize(200, 150));
    int wrong = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            wrong += image.pixel(x, y) != patternPixel(100 + x, 100 + y);
    EXPECT_EQ(wrong, 0) << "first pixel " << std::hex << image.pixel(0, 0);
    // Written under a temporary name and renamed: nothing else is left beside it.
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("region.png")});
}

TEST_F(ScreenCaptureToolTest, DragTowardsTheTopLeftSelectsTheSameRegion)
{
    const ToolRun result = run({QStringLiteral("-i"), path(QStringLiteral("up.png"))},
                               "mousemove 300 250 mousedown 1 mousemove 100 100 mouseup 1");

    ASSERT_EQ(result.exitCode, 0) << result.standardError.constData();
    const QImage image(path(QStringLiteral("up.png")));
    ASSERT_EQ(image.size(), QSize(200, 150));
    EXPECT_EQ(image.pixel(0, 0), patternPixel(100, 100));
    EXPECT_EQ(image.pixel(199, 149), patternPixel(299, 249));
}

TEST_F(ScreenCaptureToolTest, EscapeAndRightClickCancelWithoutWritingAnything)
{
    // A click without a drag selects nothing, so the overlay is still up for the Escape.
    const ToolRun escaped = run({QStringLiteral("-i"), path(QStringLiteral("escape.png"))},
                                "mousemove 500 500 click 1 key Escape");
    EXPECT_EQ(escaped.exitCode, 1) << escaped.standardError.constData();

    const ToolRun rightClicked = run({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("right.png"))},
                                     "mousemove 500 500 click 3");
    EXPECT_EQ(rightClicked.exitCode, 1) << rightClicked.standardError.constData();

    EXPECT_TRUE(filesInFolder().isEmpty()) << filesInFolder().join(u' ').toStdString();
}

TEST_F(ScreenCaptureToolTest, WindowModeWritesTheTopmostWindowUnderThePointer)
{
    // A small window over the full-screen one: the click inside it picks the small one.
    PictureWindow front(QRect(400, 300, 320, 200), solidImage(QSize(320, 200), QColor(20, 200, 60)));
    ASSERT_TRUE(showAndWaitUntilOnScreen(front, QPoint(500, 350), qRgb(20, 200, 60)));

    const ToolRun result = run({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("window.png"))},
                               "mousemove 500 350 click 1");

    ASSERT_EQ(result.exitCode, 0) << result.standardError.constData();
    const QImage image(path(QStringLiteral("window.png")));
    ASSERT_EQ(image.size(), QSize(320, 200));
    EXPECT_EQ(image.pixel(0, 0), qRgb(20, 200, 60));
    EXPECT_EQ(image.pixel(319, 199), qRgb(20, 200, 60));
}

TEST_F(ScreenCaptureToolTest, UsageErrorsAndUnwritableDestinationsExitWithOneLine)
{
    const QString missingFolder = path(QStringLiteral("no/such/folder/out.png"));
    const QList<QStringList> cases{
        {QStringLiteral("-x"), path(QStringLiteral("a.png"))},
        {path(QStringLiteral("b.png"))},
        {QStringLiteral("-i")},
        {QStringLiteral("-i"), path(QStringLiteral("c.png")), path(QStringLiteral("d.png"))},
        {QStringLiteral("-i"), missingFolder},
    };
    for (const QStringList& arguments : cases) {
        QProcess tool;
        tool.start(QStringLiteral(PARCLY_SCREENCAPTURE_TOOL), arguments);
        ASSERT_TRUE(tool.waitForFinished(10000)) << arguments.join(u' ').toStdString();
        const QString stderrText = QString::fromLocal8Bit(tool.readAllStandardError());
        EXPECT_EQ(tool.exitCode(), 2) << arguments.join(u' ').toStdString();
        EXPECT_TRUE(stderrText.startsWith(QLatin1String("screencapture: "))) << stderrText.toStdString();
        EXPECT_EQ(stderrText.count(u'\n'), 1) << stderrText.toStdString();
    }
    EXPECT_TRUE(filesInFolder().isEmpty());
}

} // namespace
