// A tray that starts after the app, as a panel does at login: the real parcly-lite on an X display
// with no tray at first, then trayer. What counts is what the X server shows: the app's icon window
// inside trayer's panel, the menu next to it, the keyboard focus left where the user had it.
// Then the same on a real Wayland desktop: a headless sway with XWayland, whose bar (swaybar)
// is a StatusNotifier tray on the session bus, started after the app; and there, the share
// popover closing when a Wayland window takes the focus.
#include "ChildProcess.h"
#include "DesktopWindows.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kShownLine = QStringLiteral("A system tray appeared; the app's icon is shown there.");

// The parent of a window in the X tree ("" for the root's).
QString parentOf(const QString& window)
{
    const QString tree = runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-children"), QStringLiteral("-id"), window});
    const QString parent = QRegularExpression(QStringLiteral("Parent window id: (0x[0-9a-f]+)")).match(tree).captured(1);
    return tree.contains(QStringLiteral("Parent window id: ") + parent + QStringLiteral(" (the root window)")) ? QString() : parent;
}

// The app's window that trayer's panel ("panel") holds, if any.
QString iconInTray(qint64 appPid)
{
    const QString panel = findWindow(QStringLiteral("panel"));
    if (panel.isEmpty())
        return {};
    const QStringList ours
        = runCommand(QStringLiteral("xdotool"), {"search", "--pid", QString::number(appPid)}).split('\n', Qt::SkipEmptyParts);
    for (const QString& decimal : ours) {
        const QString window = QStringLiteral("0x") + QString::number(decimal.toULongLong(), 16);
        for (QString up = parentOf(window); !up.isEmpty(); up = parentOf(up)) {
            if (up == panel)
                return window;
        }
    }
    return {};
}

// The app's mapped windows other than these, at least menu-sized.
QString newWindowOf(qint64 appPid, const QStringList& known)
{
    const QStringList ours = runCommand(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--pid", QString::number(appPid)})
                                 .split('\n', Qt::SkipEmptyParts);
    for (const QString& decimal : ours) {
        const QString window = QStringLiteral("0x") + QString::number(decimal.toULongLong(), 16);
        if (!known.contains(window) && windowGeometry(window).width() > 32)
            return window;
    }
    return {};
}

std::string describe(const QRect& rect)
{
    return QStringLiteral("%1x%2+%3+%4").arg(rect.width()).arg(rect.height()).arg(rect.x()).arg(rect.y()).toStdString();
}

// How far apart two rectangles are (0 when they touch or overlap).
int distance(const QRect& a, const QRect& b)
{
    const int dx = std::max({0, a.left() - b.right(), b.left() - a.right()});
    const int dy = std::max({0, a.top() - b.bottom(), b.top() - a.bottom()});
    return std::max(dx, dy);
}

void startTrayer(ChildProcess& tray)
{
    tray.process.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "64"});
    ASSERT_TRUE(tray.process.waitForStarted(5000));
}

TEST(LateTray, TheIconReachesATrayThatStartsAfterTheAppAndTheMenuOpensAtIt)
{
    ReferenceService service{{}, QDir::homePath() + QStringLiteral("/service")};
    ASSERT_FALSE(service.url.isEmpty());
    QDir().mkpath(QDir::homePath() + QStringLiteral("/.config/parcly"));
    {
        QSettings settings(QDir::homePath() + QStringLiteral("/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("parcly-api-url"), service.url);
        settings.setValue(QStringLiteral("parcly-web-url"), service.url);
        settings.setValue(QStringLiteral("hasShownOnboarding"), true);
        settings.remove(QStringLiteral("showDropTarget"));
        settings.remove(QStringLiteral("dropTargetPosition"));
    }

    // The user works in another program, which has the keyboard focus when the app starts.
    ChildProcess other;
    other.process.start(QStringLiteral("xmessage"),
                        {QStringLiteral("-name"), QStringLiteral("parcly-other"), QStringLiteral("another program")});
    ASSERT_TRUE(other.process.waitForStarted(5000));
    QString otherWindow;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !(otherWindow = runCommand(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--classname", "parcly-other"})
                                       .section('\n', 0, 0))
                        .isEmpty();
        },
        10000));
    xdotool({"windowfocus", "--sync", otherWindow});

    ChildProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
    app.process.setProcessEnvironment(environment);
    app.process.start(QStringLiteral(PARCLY_LITE_PATH), {});
    ASSERT_TRUE(app.process.waitForStarted(5000));
    ASSERT_TRUE(app.waitForLog(QStringLiteral("No system tray on this desktop"))) << app.log.toStdString();
    const QString dropTarget = waitForWindow(QStringLiteral("Parcly Lite"));
    ASSERT_FALSE(dropTarget.isEmpty());

    // The drop target showed without taking the focus, and tells the X server it never takes it.
    EXPECT_EQ(runCommand(QStringLiteral("xdotool"), {"getwindowfocus"}), otherWindow);
    EXPECT_TRUE(runCommand(QStringLiteral("xprop"), {"-id", dropTarget, "WM_HINTS"})
                    .contains(QStringLiteral("accepts input or input focus: False")));

    // Moved elsewhere as soon as it showed, as a desktop that places windows itself does: the app
    // says so once and leaves it there, even when a tray later changes where it would stand.
    xdotool({"windowmove", dropTarget, "300", "300"});
    EXPECT_TRUE(app.waitForLog(QStringLiteral("The desktop placed the drop target at (300, 300), not at"))) << app.log.toStdString();

    // The tray starts late: the icon goes into it, and only then does the log say so.
    ChildProcess tray;
    startTrayer(tray);
    ASSERT_TRUE(app.waitForLog(kShownLine)) << app.log.toStdString();
    EXPECT_EQ(windowGeometry(dropTarget).topLeft(), QPoint(300, 300));
    EXPECT_EQ(app.log.count(QStringLiteral("The desktop placed the drop target")), 1);
    QString icon = iconInTray(app.process.processId());
    ASSERT_FALSE(icon.isEmpty()) << "the log says the icon is shown, but trayer's panel does not hold it";

    // A click on the icon, with the pointer last seen far away, opens the menu at the icon.
    const QRect iconRect = windowGeometry(icon);
    xdotool({"mousemove", "10", "700", "sleep", "0.2"});
    xdotool({"mousemove", QString::number(iconRect.center().x()), QString::number(iconRect.center().y()), "sleep", "0.2", "click", "1"});
    QString menu;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !(menu = newWindowOf(app.process.processId(), {dropTarget, icon})).isEmpty();
        },
        10000))
        << "no menu opened";
    EXPECT_LE(distance(windowGeometry(menu), iconRect), 8)
        << "menu at " << describe(windowGeometry(menu)) << ", icon at " << describe(iconRect);
    xdotool({"key", "Escape"});

    // The tray goes and comes back: the icon comes back with it.
    tray.stop();
    ASSERT_TRUE(app.waitForLog(QStringLiteral("The system tray went away"))) << app.log.toStdString();
    EXPECT_EQ(app.log.count(kShownLine), 1);
    startTrayer(tray);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.logged(QString()), app.log.count(kShownLine) == 2; }, 20000)) << app.log.toStdString();
    EXPECT_FALSE(iconInTray(app.process.processId()).isEmpty());
    EXPECT_EQ(app.process.state(), QProcess::Running);
}

// A program run as the unprivileged user "nobody" (sway refuses to run as root), with only the
// environment given.
void startAsNobody(ChildProcess& child, const QStringList& environment, const QString& program, const QStringList& arguments = {})
{
    child.process.start(QStringLiteral("setpriv"),
                        QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "env", "-i"} + environment + QStringList{program}
                            + arguments);
    child.process.waitForStarted(5000);
}

QString runAsNobody(const QStringList& environment, const QString& program, const QStringList& arguments)
{
    return runCommand(QStringLiteral("setpriv"),
                      QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "env", "-i"} + environment + QStringList{program}
                          + arguments);
}

// A headless sway with XWayland, run as "nobody" (sway refuses root) with a session bus of its
// own, in a runtime folder that holds the app's home too. Skips the test, saying why, where it
// cannot run.
class WaylandDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* program : {"sway", "swaybar", "Xwayland", "setpriv", "dbus-daemon", "dbus-send"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                GTEST_SKIP() << program << " is not installed: no Wayland desktop to try";
        }
        if (::geteuid() != 0)
            GTEST_SKIP() << "sway needs another user than root, and only root can run it as one";
        ASSERT_TRUE(runtime.isValid());
        rt = runtime.path();
        ASSERT_FALSE(service.url.isEmpty());
        QDir().mkpath(rt + QStringLiteral("/home/.config/parcly"));
        {
            QSettings settings(rt + QStringLiteral("/home/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("parcly-api-url"), service.url);
            settings.setValue(QStringLiteral("parcly-web-url"), service.url);
            settings.setValue(QStringLiteral("hasShownOnboarding"), true);
        }
        QFile config(rt + QStringLiteral("/sway.conf"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        // A bar whose program a test starts itself, later.
        config.write(
            "xwayland enable\noutput HEADLESS-1 resolution 1280x800\nbar {\n    id late\n    position top\n    swaybar_command true\n}\n");
        config.close();
        runCommand(QStringLiteral("chown"), {"-R", "65534:65534", rt});
        ::chmod(rt.toLocal8Bit().constData(), 0700);

        base = QStringList{"PATH=/usr/bin:/bin", "HOME=" + rt + "/home", "XDG_RUNTIME_DIR=" + rt,
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=" + rt + "/bus"};
        startAsNobody(bus, base, QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--address=unix:path=" + rt + "/bus"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(rt + "/bus"); }, 10000)) << "no session bus";
        startAsNobody(sway, base + QStringList{"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"},
                      QStringLiteral("sway"), {"-c", rt + "/sway.conf"});
        QString socket;
        if (!QTest::qWaitFor(
                [&] {
                    const QStringList sockets = QDir(rt).entryList({"sway-ipc.*"}, QDir::System);
                    socket = sockets.isEmpty() ? QString() : rt + "/" + sockets.first();
                    return !socket.isEmpty() || sway.process.state() == QProcess::NotRunning;
                },
                15000)
            || socket.isEmpty()) {
            sway.logged(QString());
            GTEST_SKIP() << "headless sway did not start here: " << sway.log.toStdString();
        }
        desktop = base + QStringList{"SWAYSOCK=" + socket, "WAYLAND_DISPLAY=wayland-1"};
        // XWayland starts with its first client; sway's children are told its display.
        runAsNobody(desktop, QStringLiteral("swaymsg"), {"exec", "echo $DISPLAY > $XDG_RUNTIME_DIR/display"});
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                QFile file(rt + "/display");
                return file.open(QIODevice::ReadOnly) && !(display = QString::fromUtf8(file.readAll()).trimmed()).isEmpty();
            },
            10000));
        x11 = base + QStringList{"DISPLAY=" + display};
    }

    void TearDown() override
    {
        sway.stop();
        bus.stop();
    }

    // The mapped X windows of a process, in hex as the window tree names them.
    QStringList visibleWindowsOf(qint64 pid) const
    {
        QStringList windows;
        for (const QString& decimal :
             runAsNobody(x11, QStringLiteral("xdotool"), {"search", "--onlyvisible", "--pid", QString::number(pid)})
                 .split('\n', Qt::SkipEmptyParts))
            windows.append(QStringLiteral("0x") + QString::number(decimal.toULongLong(), 16));
        return windows;
    }

    QRect geometryOf(const QString& window) const
    {
        const QString info = runAsNobody(x11, QStringLiteral("xwininfo"), {"-id", window});
        auto field = [&](const char* name) {
            return QRegularExpression(QStringLiteral("%1:\\s+(-?\\d+)").arg(QLatin1String(name))).match(info).captured(1).toInt();
        };
        return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height"));
    }

    // Opens a Wayland-native window (the drag source on Qt's Wayland platform), which sway gives the
    // focus as a click into it would; false when none appears.
    bool openWaylandWindow(ChildProcess& window) const
    {
        startAsNobody(window, desktop + QStringList{"QT_QPA_PLATFORM=wayland"}, QStringLiteral(PARCLY_DRAG_SOURCE));
        return QTest::qWaitFor(
            [&] {
                return runAsNobody(desktop, QStringLiteral("swaymsg"), {"-t", "get_tree"})
                    .contains(QStringLiteral("\"app_id\": \"parcly-drag-source\""));
            },
            15000);
    }

    // The desktop's own folder, "nobody"'s: its runtime folder, the app's home, sway's settings.
    QTemporaryDir runtime{QStringLiteral("/tmp/parcly-sway-XXXXXX")};
    ReferenceService service;
    QString rt, display;
    QStringList base, desktop, x11;
    ChildProcess bus, sway;
};

TEST_F(WaylandDesktop, TheIconReachesABarThatStartsAfterTheApp)
{
    ChildProcess app, bar;
    startAsNobody(app, desktop + QStringList{"DISPLAY=" + display, "XDG_SESSION_TYPE=wayland", "BROWSER=true"},
                  QStringLiteral(PARCLY_LITE_PATH));
    ASSERT_TRUE(app.waitForLog(QStringLiteral("No system tray on this desktop"))) << app.log.toStdString();
    // sway would centre a window it manages and give it the focus: the drop target is one it does
    // not manage, so it stands at the top-right, where it asked, and the focus is not ours.
    QString dropTarget;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QString tree = runAsNobody(x11, QStringLiteral("xwininfo"), {"-root", "-children"});
            dropTarget = QRegularExpression(QStringLiteral("(0x[0-9a-f]+) \"Parcly Lite\": \\(\"parcly-lite\"")).match(tree).captured(1);
            return !dropTarget.isEmpty()
                && runAsNobody(x11, QStringLiteral("xwininfo"), {"-id", dropTarget}).contains(QStringLiteral("IsViewable"));
        },
        15000))
        << runAsNobody(x11, QStringLiteral("xwininfo"), {"-root", "-children"}).toStdString();
    const QString info = runAsNobody(x11, QStringLiteral("xwininfo"), {"-id", dropTarget});
    EXPECT_TRUE(info.contains(QStringLiteral("Absolute upper-left X:  1192"))
                && info.contains(QStringLiteral("Absolute upper-left Y:  24")))
        << info.toStdString();
    const QString active = runAsNobody(x11, QStringLiteral("xprop"), {"-root", "_NET_ACTIVE_WINDOW"});
    EXPECT_FALSE(active.endsWith(dropTarget)) << active.toStdString();

    // The bus name of the app's item in the bar's watcher ("" when it lists none of the app's).
    auto appItemInWatcher = [&]() -> QString {
        const QString list = runAsNobody(base, QStringLiteral("dbus-send"),
                                         {"--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                          "org.freedesktop.DBus.Properties.Get", "string:org.kde.StatusNotifierWatcher",
                                          "string:RegisteredStatusNotifierItems"});
        for (const auto& match : QRegularExpression(QStringLiteral("string \"([^\"/]+)")).globalMatch(list)) {
            const QString owner = runAsNobody(base, QStringLiteral("dbus-send"),
                                              {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + match.captured(1)});
            if (owner.endsWith(QStringLiteral("uint32 ") + QString::number(app.process.processId())))
                return match.captured(1);
        }
        return {};
    };
    for (int round = 1; round <= 2; ++round) {
        startAsNobody(bar, desktop, QStringLiteral("swaybar"), {"-b", "late"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return app.logged(QString()), app.log.count(kShownLine) == round; }, 20000))
            << "round " << round << ": " << app.log.toStdString();
        const QString item = appItemInWatcher();
        EXPECT_FALSE(item.isEmpty()) << "round " << round << ": the log says the icon is shown, but the bar does not list it";
        if (round == 1 && !item.isEmpty()) {
            // The bar asks for the menu as a click on the icon does, saying where it was clicked:
            // the menu opens there, not where the X pointer last was.
            const QStringList before = visibleWindowsOf(app.process.processId());
            runAsNobody(base, QStringLiteral("dbus-send"),
                        {"--session", "--type=method_call", "--dest=" + item, "/StatusNotifierItem", "org.kde.StatusNotifierItem.Activate",
                         "int32:600", "int32:10"});
            QString menu;
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    for (const QString& window : visibleWindowsOf(app.process.processId())) {
                        if (!before.contains(window) && geometryOf(window).width() > 32)
                            menu = window;
                    }
                    return !menu.isEmpty();
                },
                10000))
                << "no menu opened";
            const QRect clicked(600, 10, 1, 1);
            EXPECT_LE(distance(geometryOf(menu), clicked), 8) << "menu at " << describe(geometryOf(menu)) << ", clicked at 600,10";
            runAsNobody(x11, QStringLiteral("xdotool"), {"key", "Escape"});
        }
        // The bar goes, taking its watcher: the next round is a tray that comes back.
        bar.stop();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return app.logged(QString()), app.log.count(QStringLiteral("The system tray went away")) == round; }, 20000))
            << app.log.toStdString();
    }
    EXPECT_EQ(app.process.state(), QProcess::Running);
    app.stop();
}

TEST_F(WaylandDesktop, TheSharePopoverClosesWhenAWaylandWindowTakesTheFocus)
{
    // The popover from the app's own code, in a program of its own on XWayland.
    ChildProcess popover, other;
    popover.process.setProcessChannelMode(QProcess::MergedChannels);
    startAsNobody(popover, x11 + QStringList{"QT_QPA_PLATFORM=xcb"}, QStringLiteral(PARCLY_POPOVER_PROBE));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return popover.process.readAll().contains("shown") || popover.process.state() == QProcess::NotRunning; }, 15000));
    ASSERT_EQ(popover.process.state(), QProcess::Running);
    ASSERT_EQ(visibleWindowsOf(popover.process.processId()).size(), 1);

    // A Wayland program's window opens and sway gives it the focus, as a click into it would: no
    // X client sees that click, and the popover must still close.
    if (!openWaylandWindow(other))
        GTEST_SKIP() << "no Wayland client window here (Qt's Wayland platform is needed): "
                     << other.process.readAllStandardError().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return popover.process.state() == QProcess::NotRunning; }, 10000))
        << "the popover stayed open after the focus went to a Wayland window";
    popover.log = QString::fromUtf8(popover.process.readAll());
    EXPECT_TRUE(popover.log.contains(QStringLiteral("closed"))) << popover.log.toStdString();
    EXPECT_EQ(popover.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(popover.process.exitCode(), 0);
}

// The app_id of the window sway gives the focus, from its tree as `swaymsg -t get_tree` prints it.
QString focusedAppId(const QByteArray& tree)
{
    std::function<QString(const QJsonObject&)> find = [&find](const QJsonObject& node) -> QString {
        if (node.value(QStringLiteral("focused")).toBool())
            return node.value(QStringLiteral("app_id")).toString();
        for (const char* children : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(children)).toArray()) {
                const QString found = find(child.toObject());
                if (!found.isNull())
                    return found;
            }
        }
        return QString();
    };
    return find(QJsonDocument::fromJson(tree).object());
}

// The whole way on a Wayland desktop, as a user with a desktop custom shortcut meets it: a Wayland
// window has the focus (the app's X key grabs hear nothing), `parcly-lite --capture-region` hands
// the action to the running app, whose capture tool asks the desktop portal (its wlroots backend
// takes the picture with grim), and the picture is uploaded as a drop. Only the user's drag over
// the area is played by a stand-in `slurp`: a headless compositor has no pointer.
TEST_F(WaylandDesktop, ACaptureRegionActionWithAWaylandWindowFocusedGoesThroughThePortalAndIsUploaded)
{
    for (const char* program : {"/usr/bin/pipewire", "/usr/bin/grim", "/usr/libexec/xdg-desktop-portal",
                                "/usr/libexec/xdg-desktop-portal-wlr", "/usr/bin/dbus-update-activation-environment"}) {
        if (!QFileInfo(QString::fromLatin1(program)).isExecutable())
            GTEST_SKIP() << program << " is not installed: no screenshot portal on this desktop";
    }
    // The stand-in for the user's drag, and a browser that records what it is asked to open.
    const QString bin = rt + QStringLiteral("/bin");
    QDir().mkpath(bin);
    const auto writeScript = [](const QString& path, const QByteArray& text) {
        QFile file(path);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        file.close();
        return written
            && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    };
    ASSERT_TRUE(writeScript(bin + QStringLiteral("/slurp"), "#!/bin/sh\necho \"10,20 200x100\"\n"));
    const QString opened = rt + QStringLiteral("/opened.log");
    ASSERT_TRUE(writeScript(bin + QStringLiteral("/browser"), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$XDG_RUNTIME_DIR/opened.log\"\n"));
    runCommand(QStringLiteral("chown"), {"-R", "65534:65534", bin});

    // The portal and its backend, as the desktop's session would start them: the portal is started
    // by the bus when asked for, with the desktop's environment.
    const QStringList session = desktop + QStringList{"DISPLAY=" + display, "XDG_CURRENT_DESKTOP=sway", "PATH=" + bin + ":/usr/bin:/bin"};
    runAsNobody(session, QStringLiteral("dbus-update-activation-environment"),
                {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "PATH", "DISPLAY"});
    ChildProcess pipewire, backend, app, other;
    startAsNobody(pipewire, session, QStringLiteral("pipewire"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(rt + QStringLiteral("/pipewire-0")); }, 15000)) << "pipewire did not start";
    startAsNobody(backend, session, QStringLiteral("/usr/libexec/xdg-desktop-portal-wlr"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return runAsNobody(base, QStringLiteral("dbus-send"),
                               {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/", "org.freedesktop.DBus.NameHasOwner",
                                "string:org.freedesktop.impl.portal.desktop.wlr"})
                .contains(QStringLiteral("true"));
        },
        15000))
        << "the portal's wlroots backend did not start";

    const QStringList appEnvironment = session + QStringList{"XDG_SESSION_TYPE=wayland", "BROWSER=" + bin + "/browser"};
    startAsNobody(app, appEnvironment, QStringLiteral(PARCLY_LITE_PATH));
    ASSERT_TRUE(app.waitForLog(QStringLiteral("No system tray on this desktop"))) << app.log.toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QSettings stored(rt + QStringLiteral("/home/.config/parcly/Parcly Lite.conf"), QSettings::IniFormat);
            return !stored.value(QStringLiteral("parcly-token")).toString().isEmpty();
        },
        15000))
        << "no account: " << app.log.toStdString();

    // A Wayland window takes the focus, as a click into it would.
    if (!openWaylandWindow(other))
        GTEST_SKIP() << "no Wayland client window here (Qt's Wayland platform is needed): "
                     << other.process.readAllStandardError().toStdString();
    EXPECT_EQ(focusedAppId(runAsNobody(desktop, QStringLiteral("swaymsg"), {"-t", "get_tree"}).toUtf8()),
              QStringLiteral("parcly-drag-source"));

    const QString action = runAsNobody(appEnvironment, QStringLiteral(PARCLY_LITE_PATH), {"--capture-region"});
    QString link;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile file(opened);
            link = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
            return !link.isEmpty();
        },
        30000))
        << "nothing was uploaded: " << action.toStdString() << (app.logged(QString()), app.log.toStdString());
    EXPECT_TRUE(link.startsWith(service.url)) << link.toStdString();
    app.logged(QString());
    EXPECT_TRUE(app.log.contains(QStringLiteral("Action from the command line: --capture-region"))) << app.log.toStdString();

    // The drop holds the area the portal took, from sway's own screen: 200 x 100 pixels.
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), link + QStringLiteral("/raw")});
    ASSERT_TRUE(curl.waitForFinished(10000));
    const QImage image = QImage::fromData(curl.readAllStandardOutput());
    EXPECT_EQ(image.size(), QSize(200, 100));

    // The share item the same way: its window shows on the desktop (the introduction popover the
    // first time, or the file panel where the page cannot be shown).
    const auto shareWindowShows = [&] {
        return !runAsNobody(x11, QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "^Share a File"}).trimmed().isEmpty();
    };
    ASSERT_FALSE(shareWindowShows());
    runAsNobody(appEnvironment, QStringLiteral(PARCLY_LITE_PATH), {"--share-file"});
    EXPECT_TRUE(QTest::qWaitFor(shareWindowShows, 20000)) << (app.logged(QString()), app.log.toStdString());
    app.stop();
    backend.stop();
    pipewire.stop();
}

} // namespace
