// The capture tool as the app runs it, on a private Xvfb with xdotool acting as the user.
#include "CaptureDriver.h"
#include "SessionBusEnvironment.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

using namespace CaptureDriver;

namespace {

// The portal the tool asks, if any, is on a bus of the test's own.
const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

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
    const ToolRun result
        = run({QStringLiteral("-i"), path(QStringLiteral("up.png"))}, "mousemove 300 250 mousedown 1 mousemove 100 100 mouseup 1");

    ASSERT_EQ(result.exitCode, 0) << result.standardError.constData();
    const QImage image(path(QStringLiteral("up.png")));
    ASSERT_EQ(image.size(), QSize(200, 150));
    EXPECT_EQ(image.pixel(0, 0), patternPixel(100, 100));
    EXPECT_EQ(image.pixel(199, 149), patternPixel(299, 249));
}

TEST_F(ScreenCaptureToolTest, EscapeAndRightClickCancelWithoutWritingAnything)
{
    // A click without a drag selects nothing, so the overlay is still up for the Escape.
    const ToolRun escaped = run({QStringLiteral("-i"), path(QStringLiteral("escape.png"))}, "mousemove 500 500 click 1 key Escape");
    EXPECT_EQ(escaped.exitCode, 1) << escaped.standardError.constData();

    const ToolRun rightClicked
        = run({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("right.png"))}, "mousemove 500 500 click 3");
    EXPECT_EQ(rightClicked.exitCode, 1) << rightClicked.standardError.constData();

    EXPECT_TRUE(filesInFolder().isEmpty()) << filesInFolder().join(u' ').toStdString();
}

TEST_F(ScreenCaptureToolTest, WindowModeWritesTheTopmostWindowUnderThePointer)
{
    // A small window over the full-screen one: the click inside it picks the small one.
    PictureWindow front(QRect(400, 300, 320, 200), solidImage(QSize(320, 200), QColor(20, 200, 60)));
    ASSERT_TRUE(showAndWaitUntilOnScreen(front, QPoint(500, 350), qRgb(20, 200, 60)));

    const ToolRun result
        = run({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("window.png"))}, "mousemove 500 350 click 1");

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

// A compositor started from a console: a Wayland display is named but the session type is
// "tty", and the X server (Xvfb here) answers. The tool must still go to the portal, whose
// answer codes decide the outcome, and -w must leave the choice to the portal's dialog.
class PortalCaptureTest : public ScreenCaptureToolTest {
protected:
    ToolRun runThroughThePortal(const QStringList& arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), m_folder.filePath(QStringLiteral("no-such-wayland-socket")));
        environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("tty"));
        QProcess tool;
        tool.setProcessEnvironment(environment);
        tool.start(QStringLiteral(PARCLY_SCREENCAPTURE_TOOL), arguments);
        EXPECT_TRUE(tool.waitForStarted());
        // The stand-in answers from this thread's event loop. A tool that went to X instead
        // would sit in its overlay: that is a failure, not a wait.
        if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 20000)) {
            tool.kill();
            tool.waitForFinished();
            ADD_FAILURE() << "the tool did not end; overlay up: "
                          << (std::system("xdotool search --onlyvisible --name 'Parcly Screen Capture' >/dev/null") == 0);
        }
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardError()};
    }
};

TEST_F(PortalCaptureTest, ThePortalsAnswerCodesDecideWrittenCancelledOrFailed)
{
    PortalStandIn portal;
    ASSERT_TRUE(portal.isRunning());
    QTemporaryDir pictures;
    const QString taken = pictures.filePath(QStringLiteral("Screenshot.png"));
    ASSERT_TRUE(solidImage(QSize(64, 48), QColor(10, 90, 200)).save(taken));

    // 0: the portal's file is moved to the destination, so no watcher of the pictures folder
    // shares it a second time. Window captures ask the same interactive dialog.
    portal.answer(0, taken);
    const ToolRun written = runThroughThePortal({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("window.png"))});
    ASSERT_EQ(written.exitCode, 0) << written.standardError.constData();
    EXPECT_EQ(portal.calls(), 1);
    EXPECT_EQ(portal.lastOptions().value(QStringLiteral("interactive")), QVariant(true));
    const QImage image(path(QStringLiteral("window.png")));
    EXPECT_EQ(image.size(), QSize(64, 48));
    EXPECT_EQ(image.pixel(10, 10), qRgb(10, 90, 200));
    EXPECT_FALSE(QFileInfo::exists(taken));

    // 1: the user closed the dialog. Quietly, and nothing written.
    portal.answer(1);
    const ToolRun cancelled = runThroughThePortal({QStringLiteral("-i"), path(QStringLiteral("cancelled.png"))});
    EXPECT_EQ(cancelled.exitCode, 1) << cancelled.standardError.constData();
    EXPECT_TRUE(cancelled.standardError.isEmpty()) << cancelled.standardError.constData();

    // 2: the backend failed: one line that says so.
    portal.answer(2);
    const ToolRun failed = runThroughThePortal({QStringLiteral("-i"), path(QStringLiteral("failed.png"))});
    EXPECT_EQ(failed.exitCode, 2);
    EXPECT_EQ(failed.standardError, "screencapture: The desktop's screenshot service could not take the screenshot.\n");

    // 0 without an image is no success.
    portal.answer(0);
    const ToolRun empty = runThroughThePortal({QStringLiteral("-i"), path(QStringLiteral("empty.png"))});
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_TRUE(empty.standardError.contains("returned no image file")) << empty.standardError.constData();

    EXPECT_EQ(portal.calls(), 4);
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("window.png")});
}

TEST_F(PortalCaptureTest, WithoutAScreenshotServiceTheFailureSaysWhatToInstall)
{
    // No portal at all.
    const ToolRun noPortal = runThroughThePortal({QStringLiteral("-i"), path(QStringLiteral("a.png"))});
    EXPECT_EQ(noPortal.exitCode, 2);
    EXPECT_EQ(noPortal.standardError,
              "screencapture: The desktop offers no screenshot service: install xdg-desktop-portal and a backend such "
              "as xdg-desktop-portal-gtk, -kde, -gnome or -wlr.\n");

    // A portal, but no backend gives it the Screenshot interface.
    PortalStandIn portal(false);
    ASSERT_TRUE(portal.isRunning());
    const ToolRun noBackend = runThroughThePortal({QStringLiteral("-i"), QStringLiteral("-w"), path(QStringLiteral("b.png"))});
    EXPECT_EQ(noBackend.exitCode, 2);
    EXPECT_EQ(noBackend.standardError,
              "screencapture: The desktop portal offers no screenshot service: install a backend such as "
              "xdg-desktop-portal-gtk, -kde, -gnome or -wlr.\n");
    EXPECT_TRUE(filesInFolder().isEmpty());
}

// The real thing where it can run: headless sway with XWayland, the desktop portal from Debian with
// its wlroots backend (which takes the picture with grim), all as another user on a session bus of
// their own.
// Only the user's drag is played by a stand-in: the backend asks `slurp` for the area, and a
// headless compositor has no pointer to drag with.
const char* const kSwaySession = R"(#!/bin/sh
# portal-session TOOL HOME
export HOME="$2" XDG_RUNTIME_DIR="$2/runtime" PATH="$2/bin:/usr/bin:/bin"
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman XDG_CURRENT_DESKTOP=sway
sway -c "$HOME/sway.conf" >"$HOME/sway.log" 2>&1 & SWAY=$!
waitfor() { i=0; while ! eval "$1"; do i=$((i+1)); [ $i -gt 200 ] && { echo "gave up on: $1"; kill $SWAY; exit 3; }; sleep 0.1; done; }
waitfor '[ -S "$XDG_RUNTIME_DIR/wayland-1" ]'
# The X display sway's XWayland answers on, as sway's own programs see it.
SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock) swaymsg exec 'echo $DISPLAY >"$HOME/x-display"' >/dev/null
waitfor '[ -s "$HOME/x-display" ]'
export DISPLAY=$(cat "$HOME/x-display")
# Started from a console: the session type is not "wayland", and an X server answers.
export WAYLAND_DISPLAY=wayland-1 XDG_SESSION_TYPE=tty
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR PATH
pipewire >"$HOME/pipewire.log" 2>&1 & PIPEWIRE=$!
waitfor '[ -S "$XDG_RUNTIME_DIR/pipewire-0" ]'
/usr/libexec/xdg-desktop-portal-wlr >"$HOME/backend.log" 2>&1 & BACKEND=$!
waitfor 'dbus-send --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.freedesktop.impl.portal.desktop.wlr | grep -q true'
"$1" -i -w "$HOME/taken.png"; echo "taken $?"
# No Wayland display named in a Wayland session: XWayland refuses the grab, the portal steps in.
env -u WAYLAND_DISPLAY XDG_SESSION_TYPE=wayland "$1" -i "$HOME/fallback.png"; echo "fallback $?"
echo cancel >"$HOME/slurp-answer"
"$1" -i "$HOME/cancelled.png"; echo "cancelled $?"
kill $BACKEND $PIPEWIRE $SWAY
)";

const char* const kSlurpStandIn = R"(#!/bin/sh
if [ -e "$HOME/slurp-answer" ]; then echo "selection cancelled" >&2; exit 1; fi
echo "10,20 200x100"
)";

TEST(RealPortalCaptureTest, OnHeadlessSwayTheRealPortalTakesTheAreaAsAnotherUser)
{
    QStringList missing;
    for (const char* program : {"sway", "swaymsg", "Xwayland", "pipewire", "grim", "setpriv", "dbus-run-session", "dbus-send"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            missing << QString::fromLatin1(program);
    }
    for (const char* program : {"/usr/libexec/xdg-desktop-portal", "/usr/libexec/xdg-desktop-portal-wlr"}) {
        if (!QFileInfo(QString::fromLatin1(program)).isExecutable())
            missing << QString::fromLatin1(program);
    }
    if (!missing.isEmpty())
        GTEST_SKIP() << "needs sway with Xwayland, xdg-desktop-portal, xdg-desktop-portal-wlr, grim and pipewire; missing: "
                     << missing.join(QStringLiteral(", ")).toStdString();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the session as another user (nobody) through setpriv";

    // Everything the other user touches, theirs; the tool is copied where they can run it.
    QTemporaryDir root(QStringLiteral("/tmp/parcly-portal-XXXXXX"));
    ASSERT_TRUE(root.isValid());
    const QString home = root.filePath(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/bin")) && QDir().mkpath(home + QStringLiteral("/runtime")));
    const auto write = [](const QString& path, const QByteArray& text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    ASSERT_TRUE(write(home + QStringLiteral("/sway.conf"), "output HEADLESS-1 resolution 640x480\noutput * bg #20a040 solid_color\n"));
    ASSERT_TRUE(write(home + QStringLiteral("/bin/slurp"), kSlurpStandIn));
    ASSERT_TRUE(write(home + QStringLiteral("/portal-session"), kSwaySession));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PARCLY_SCREENCAPTURE_TOOL), home + QStringLiteral("/screencapture")));
    const auto executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
    for (const QString& name : {QStringLiteral("/bin/slurp"), QStringLiteral("/portal-session"), QStringLiteral("/screencapture")})
        ASSERT_TRUE(QFile::setPermissions(home + name, executable));
    ASSERT_TRUE(
        QFile::setPermissions(root.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    QProcess chown;
    chown.start(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("65534:65534"), home});
    ASSERT_TRUE(chown.waitForFinished() && chown.exitCode() == 0);
    ASSERT_TRUE(QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QProcess session;
    session.setProcessEnvironment(QProcessEnvironment());
    session.start(QStringLiteral("setpriv"),
                  {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                   QStringLiteral("dbus-run-session"), QStringLiteral("--"), home + QStringLiteral("/portal-session"),
                   home + QStringLiteral("/screencapture"), home});
    ASSERT_TRUE(session.waitForStarted());
    if (!session.waitForFinished(90000))
        session.kill();
    session.waitForFinished();
    const QString output = QString::fromLocal8Bit(session.readAllStandardOutput());
    const QString log = QString::fromLocal8Bit(session.readAllStandardError());
    ASSERT_TRUE(output.contains(QLatin1String("taken "))) << output.toStdString() << log.right(3000).toStdString();

    // Went to the portal, and the backend's file became ours.
    EXPECT_TRUE(output.contains(QLatin1String("taken 0"))) << output.toStdString() << log.right(3000).toStdString();
    const QImage taken(home + QStringLiteral("/taken.png"));
    EXPECT_EQ(taken.size(), QSize(200, 100));
    EXPECT_EQ(taken.pixel(100, 50), qRgb(0x20, 0xa0, 0x40));
    EXPECT_TRUE(output.contains(QLatin1String("fallback 0"))) << output.toStdString() << log.right(3000).toStdString();
    EXPECT_TRUE(log.contains(QLatin1String("asking the desktop's screenshot portal instead"))) << log.right(3000).toStdString();
    EXPECT_EQ(QImage(home + QStringLiteral("/fallback.png")).size(), QSize(200, 100));
    // This backend answers a closed selector with 2 (failure), not 1: the tool can only say
    // what it was told, and writes nothing.
    EXPECT_FALSE(output.contains(QLatin1String("cancelled 0"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QLatin1String("cancelled 1")) || output.contains(QLatin1String("cancelled 2"))) << output.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/cancelled.png")));
}

} // namespace
