// bench-app: how fast the tray app comes up, what it costs at rest, and how often a large upload
// repaints its icon.
//
//   start_ms      from starting parcly-lite to its status item's window being mapped on the display
//   idle_rss_mib  its resident memory 2 s later
//   icon_updates  progress images set on the status item during one upload of --mib MiB (1 GiB)
//   second_start_ms  a second parcly-lite, which hands over to the running one and exits (median of five)
//   action_ms     from starting parcly-lite --capture-region beside the running app to the capture
//                 tool's process starting below the app (median of five)
//   handoff_ms    from starting parcly-share FILE to the running app's upload request reaching the
//                 service (median of five)
//   first_page_ms from pressing the share shortcut in the running app (first share of the run, so
//                 the popover with its page) to the page's button showing on the display at full
//                 colour: read back from the X server, so the page is really painted, not only loaded
//   web_close_rss_mib  the app and every process below it, 5 s after that popover closed
//   popover_1_rss_mib, popover_20_rss_mib  the app's resident memory after the share popover (with
//                 its page) has been opened and closed by a click elsewhere once, and 20 times:
//                 run in this process, as the app's own code, so that it can be shown again and again
//   menu_open_ms  from opening the status menu to its "Recent Drops" submenu, with 10 drops, being
//                 exposed on the display, opened from the keyboard in this process (median of five)
//   stall_ms      the longest gap of a 10 ms main-thread heartbeat while a dropped folder of 2,000
//                 files and 256 MiB is zipped and uploaded
//
// Needs an X display; run it as  tests/support/with-xvfb build/bench/app/bench-app
#include "../../tests/support/ProcessTree.h"
#include "../upload/SinkServer.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/RecentDropsMenu.h"
#include "app/menubar/ShareFileViewController.h"
#include "app/menubar/SharePopover.h"
#include "app/menubar/StatusItem.h"
#include "app/menubar/StatusItemController.h"
#include "app/web/WebView.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/gui/Pasteboard.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {

QString windowName(xcb_connection_t* connection, xcb_window_t window)
{
    const auto cookie = xcb_get_property(connection, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (!reply)
        return {};
    const QString name = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)), xcb_get_property_value_length(reply));
    free(reply);
    return name;
}

double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

bool writeFile(const QString& path, qint64 mib)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, 'p');
    for (qint64 i = 0; i < mib; ++i) {
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

// A service that notes when an upload request arrives and answers every request with a drop.
class RecordingService : public QTcpServer {
public:
    RecordingService()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }
    int uploads() const { return m_uploads; }
    QElapsedTimer lastUpload;

private:
    void answer(QTcpSocket* socket)
    {
        QByteArray& request = m_requests[socket];
        const bool headersBefore = request.contains("\r\n\r\n");
        request += socket->readAll();
        if (headersBefore || !request.contains("\r\n\r\n"))
            return;
        if (request.startsWith("POST /files")) {
            lastUpload.start();
            ++m_uploads;
        }
        const QByteArray body
            = request.startsWith("GET /drops") ? tenDrops() : R"({"title":"shared.txt","shortlink":"http://127.0.0.1/x","activeDrops":1})";
        socket->write("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket->disconnectFromHost();
        m_requests.remove(socket);
    }

    // A full "Recent Drops" submenu, as a user who shares every day has it.
    static QByteArray tenDrops()
    {
        QByteArray drops;
        for (int i = 0; i < 10; ++i) {
            drops += (i ? "," : "")
                + QByteArrayLiteral(R"({"code":"drop%1","title":"Screenshot %1.png","size":123456,"contentType":"image/png",)"
                                    R"("created":"2026-01-01T10:00:00Z","expires":null,"shortlink":"http://127.0.0.1/drop%1"})")
                      .replace("%1", QByteArray::number(i));
        }
        return R"({"drops":[)" + drops + R"(],"next":null})";
    }

    QHash<QTcpSocket*, QByteArray> m_requests;
    int m_uploads = 0;
};

// The X server's view of the display: windows as they are mapped, and the pixels they show.
class Display {
public:
    Display()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
    }
    ~Display() { xcb_disconnect(m_connection); }

    bool isOpen() const { return !xcb_connection_has_error(m_connection); }

    // The next window with this title to be mapped from now on, or XCB_NONE.
    xcb_window_t waitForMap(const QString& title, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        pollfd fd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        while (clock.elapsed() < timeoutMs) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                xcb_window_t found = XCB_NONE;
                if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                    const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                    if (windowName(m_connection, map->window) == title)
                        found = map->window;
                }
                free(event);
                if (found != XCB_NONE)
                    return found;
            }
            poll(&fd, 1, 10);
        }
        return XCB_NONE;
    }

    // The window's rectangle on the root window.
    QRect geometry(xcb_window_t window)
    {
        xcb_get_geometry_reply_t* size = xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
        xcb_translate_coordinates_reply_t* origin
            = xcb_translate_coordinates_reply(m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0), nullptr);
        const QRect rect = size && origin ? QRect(origin->dst_x, origin->dst_y, size->width, size->height) : QRect();
        free(size);
        free(origin);
        return rect;
    }

    // What the display shows at this point of the root window (24-bit colour).
    QRgb pixel(const QPoint& point)
    {
        xcb_get_image_reply_t* image = xcb_get_image_reply(
            m_connection, xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, point.x(), point.y(), 1, 1, ~0u), nullptr);
        QRgb value = 0;
        if (image && xcb_get_image_data_length(image) >= 4) {
            const uint8_t* bgrx = xcb_get_image_data(image);
            value = qRgb(bgrx[2], bgrx[1], bgrx[0]);
        }
        free(image);
        return value;
    }

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root = XCB_NONE;
};

// Starts the app and waits for the X server to map its window titled "Parcly Lite".
qint64 measureStart(QProcess& app, const QString& program)
{
    Display display;
    if (!display.isOpen())
        return -1;
    QElapsedTimer clock;
    clock.start();
    app.start(program, {});
    return display.waitForMap(QStringLiteral("Parcly Lite"), 20000) != XCB_NONE ? clock.elapsed() : -1;
}

// The middle of the rounds' figures, or -1 when any round failed.
qint64 median(std::vector<qint64> figures)
{
    std::sort(figures.begin(), figures.end());
    return figures.front() < 0 ? -1 : figures[figures.size() / 2];
}

void xdotool(const QStringList& arguments)
{
    QProcess::execute(QStringLiteral("xdotool"), arguments);
}

double treeResidentMiB(qint64 root)
{
    double total = 0;
    for (qint64 pid : processTree(root))
        total += std::max(0.0, residentMiB(pid));
    return total;
}

struct PageFigures {
    qint64 firstPageMs = -1;
    double closeRssMiB = -1;
};

// The share page as a user first meets it in the running app: the share shortcut (pressed through
// the X server, as a keyboard would) opens the popover, whose page the app has the web helper
// render. It is the app's own code path end to end; only the key press is synthetic.
PageFigures measureSharePage(QProcess& app)
{
    PageFigures figures;
    Display display;
    // Hot keys are live from launch.
    QElapsedTimer clock;
    clock.start();
    xdotool({"key", "shift+alt+d"});
    const xcb_window_t popover = display.waitForMap(QStringLiteral("Share a File with Parcly Lite"), 10000);
    if (popover == XCB_NONE) {
        std::fprintf(stderr, "bench-app: the share popover did not open\n");
        return figures;
    }
    // The page's button, low in the card: blue once the page shows, the popover's grey plate before.
    const QRect shown = display.geometry(popover);
    const QPoint button(shown.left() + shown.width() / 2, shown.top() + 307);
    const auto isButton = [&] {
        const QRgb colour = display.pixel(button);
        return qBlue(colour) - qRed(colour) > 150;
    };
    while (!isButton() && clock.elapsed() < 20000)
        QTest::qWait(5);
    if (isButton())
        figures.firstPageMs = clock.elapsed();

    // Closed as a user closes a popover: a click elsewhere.
    xdotool({"mousemove", "2", "2", "click", "1"});
    QTest::qWait(5000);
    figures.closeRssMiB = treeResidentMiB(app.processId());
    std::printf(
        "share page: shown %lld ms after the shortcut; 5 s after closing, the app and its children hold %.1f MiB in %lld processes\n",
        static_cast<long long>(figures.firstPageMs), figures.closeRssMiB, static_cast<long long>(processTree(app.processId()).size()));
    return figures;
}

struct PopoverFigures {
    double afterOneMiB = -1;
    double afterTwentyMiB = -1;
};

// Opens the share popover as the first share of a run does (its page shown by the web helper),
// closes it with a click elsewhere, and again: this process's resident memory after one round and
// after twenty.
PopoverFigures measurePopoverRounds()
{
    PopoverFigures figures;
    ParclyStatusMenu& menu = ParclyStatusMenu::instance();
    for (int round = 1; round <= 20; ++round) {
        // Only a run's first share shows the popover.
        Defaults::standard().setValue(ParclyStatusMenu::kHasShownSharePopKey, false);
        menu.file();
        QPointer<SharePopover> popover = menu.shareFilePopover();
        auto* content = popover ? popover->findChild<ShareFileViewController*>() : nullptr;
        WebView* page = content ? content->webView() : nullptr;
        if (!popover || !page) {
            std::fprintf(stderr, "bench-app: the share popover did not open with its page (round %d)\n", round);
            return figures;
        }
        QSignalSpy loaded(page, &WebView::didFinishNavigation);
        if (!QTest::qWaitForWindowExposed(popover) || !loaded.wait(20000)) {
            std::fprintf(stderr, "bench-app: the share popover's page did not show (round %d)\n", round);
            return figures;
        }
        xdotool({"mousemove", "2", "2", "click", "1"});
        if (!QTest::qWaitFor([&] { return !popover || !popover->isVisible(); }, 10000)) {
            std::fprintf(stderr, "bench-app: a click elsewhere did not close the popover (round %d)\n", round);
            return figures;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (round == 1 || round == 20) {
            QTest::qWait(1000);
            (round == 1 ? figures.afterOneMiB : figures.afterTwentyMiB) = residentMiB(QCoreApplication::applicationPid());
        }
    }
    std::printf("share popover: %.1f MiB after one open and close, %.1f MiB after 20\n", figures.afterOneMiB, figures.afterTwentyMiB);
    return figures;
}

// Opens the status menu and its "Recent Drops" with ten drops listed, as the keyboard does: from
// the call to the submenu's window being exposed. The median of five.
qint64 measureMenuOpen(const QString& service)
{
    ParclyStatusMenu& menu = ParclyStatusMenu::instance();
    RecentDropsMenu& recent = *menu.recentDropsMenu();
    recent.refresh();
    if (!QTest::qWaitFor([&] { return recent.drops().size() == RecentDropsMenu::kShownDrops; }, 10000)) {
        std::fprintf(stderr, "bench-app: the recent drops were not listed from %s\n", qPrintable(service));
        return -1;
    }
    std::vector<qint64> opens;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer clock;
        clock.start();
        menu.popup(QPoint(200, 200));
        menu.setActiveAction(recent.menuAction());
        QTest::keyClick(&menu, Qt::Key_Right);
        const bool shown = QTest::qWaitForWindowExposed(&recent, 5000);
        opens.push_back(shown ? clock.elapsed() : -1);
        menu.hide();
        QTest::qWait(200);
    }
    const qint64 openMs = median(opens);
    std::printf("menu: the status menu and its 10 recent drops shown in %lld ms (median of %zu)\n", static_cast<long long>(openMs),
                opens.size());
    return openMs;
}

// Times parcly-share handing a file to the running app until the upload request arrives.
qint64 measureHandoff(RecordingService& service, const QString& file)
{
    const int before = service.uploads();
    QElapsedTimer clock;
    clock.start();
    QProcess share;
    share.start(QStringLiteral(PARCLY_SHARE_PATH), {file});
    if (!QTest::qWaitFor([&] { return service.uploads() > before; }, 20000))
        return -1;
    const qint64 elapsed = clock.elapsed();
    share.waitForFinished(10000);
    return elapsed;
}

// The capture tool's process below the app, or 0.
qint64 captureToolBelow(qint64 app)
{
    for (qint64 pid : processTree(app)) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().endsWith(QStringLiteral("/Contents/MacOS/screencapture")))
            return pid;
    }
    return 0;
}

// Times `parcly-lite --capture-region` beside the running app until the app has started the
// capture tool, which is then ended (its overlay would wait for a user).
qint64 measureAction(qint64 app)
{
    QElapsedTimer clock;
    clock.start();
    QProcess action;
    action.start(QStringLiteral(PARCLY_LITE_PATH), {QStringLiteral("--capture-region")});
    qint64 tool = 0;
    // Polled without the event loop, every millisecond: the figure is a few dozen of them.
    while (!(tool = captureToolBelow(app)) && clock.elapsed() < 10000)
        QThread::usleep(1000);
    const qint64 elapsed = tool ? clock.elapsed() : -1;
    action.waitForFinished(5000);
    if (tool) {
        ::kill(pid_t(tool), SIGTERM);
        (void)QTest::qWaitFor([tool] { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(tool)); }, 10000);
    }
    return elapsed;
}

// A folder of `files` files of incompressible bytes, `mib` MiB in all, as photos would be.
bool writeFolder(const QString& folder, int files, qint64 mib)
{
    if (!QDir().mkpath(folder))
        return false;
    QByteArray bytes(static_cast<qsizetype>(mib * 1024 * 1024 / files), Qt::Uninitialized);
    for (int i = 0; i < files; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        QFile file(QStringLiteral("%1/photo %2.jpg").arg(folder).arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

// Drops the folder on the status item as a drag would, and returns the longest gap between two
// beats of a 10 ms main-thread heartbeat until the folder's archive has been uploaded.
qint64 measureStall(StatusItemController& controller, const QString& folder)
{
    StatusItem& item = *controller.statusItem();
    QElapsedTimer sinceBeat;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { longest = std::max(longest, sinceBeat.restart()); });
    QMimeData drag;
    drag.setUrls({QUrl::fromLocalFile(folder)});
    const int before = item.imageUpdateCount();
    sinceBeat.start();
    heartbeat.start(10);
    controller.draggingEntered(Pasteboard(&drag));
    controller.performDragOperation(Pasteboard(&drag));
    // The drag image, progress, then normal (or the error image) once the service has answered.
    const bool uploaded = QTest::qWaitFor(
        [&] {
            const QString name = item.imageName();
            return item.imageUpdateCount() - before >= 3
                && (name == StatusItemController::kNormalImageName || name == StatusItemController::kErrorImageName);
        },
        600000);
    heartbeat.stop();
    return uploaded && item.imageName() == StatusItemController::kNormalImageName ? longest : -1;
}

} // namespace

int main(int argc, char** argv)
{
    qint64 mib = 1024;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--mib")
            mib = QByteArray(argv[i + 1]).toLongLong();
    }
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "bench-app: needs an X display; run it under tests/support/with-xvfb\n");
        return 2;
    }

    // A private home, so the app's settings point at the sink and nothing of the user's is touched.
    QTemporaryDir home;
    const QByteArray root = home.path().toUtf8();
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/.config").constData(), 1);
    setenv("TMPDIR", root.constData(), 1);
    // The app's single-instance socket lives here: never the user's own running app.
    QDir().mkpath(home.filePath(QStringLiteral("run")));
    QFile::setPermissions(home.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setenv("XDG_RUNTIME_DIR", (root + "/run").constData(), 1);
    setenv("BROWSER", "true", 1); // created drops must not open a real browser
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // The web engine refuses to run as root with its sandbox; the app never switches it off itself.
    if (geteuid() == 0)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    // Created drops must not reach the user's real notifications either.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");

    SinkServer sink; // forks: before any thread exists
    QApplication application(argc, argv);
    const QString service = QStringLiteral("http://127.0.0.1:%1").arg(sink.port());
    RecordingService recorder;
    Defaults& defaults = Defaults::standard();
    // The app under test talks to the recorder; the in-process upload below to the sink.
    defaults.setValue(QStringLiteral("parcly-api-url"), recorder.url());
    defaults.setValue(QStringLiteral("parcly-username"), QStringLiteral("bench@free.parcly.example"));
    defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("bench"));
    defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("bench"));
    defaults.setValue(QStringLiteral("hasShownOnboarding"), true);
    defaults.synchronize();

    QProcess app;
    const qint64 startMs = measureStart(app, QStringLiteral(PARCLY_LITE_PATH));
    QTest::qWait(2000);
    const double idleMiB = residentMiB(app.processId());
    std::printf("start: %lld ms to the status item, idle RSS %.1f MiB\n", static_cast<long long>(startMs), idleMiB);

    std::vector<qint64> secondStarts;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer clock;
        clock.start();
        QProcess second;
        second.start(QStringLiteral(PARCLY_LITE_PATH), {});
        const bool ended = second.waitForFinished(10000) && second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0;
        secondStarts.push_back(ended ? clock.elapsed() : -1);
    }
    const qint64 secondStartMs = median(secondStarts);
    std::printf("second start: handed over and exited in %lld ms (median of %zu)\n", static_cast<long long>(secondStartMs),
                secondStarts.size());

    std::vector<qint64> actions;
    for (int round = 0; round < 5; ++round)
        actions.push_back(measureAction(app.processId()));
    const qint64 actionMs = median(actions);
    std::printf("action: parcly-lite --capture-region to the capture tool starting in %lld ms (median of %zu)\n",
                static_cast<long long>(actionMs), actions.size());

    std::vector<qint64> handoffs;
    for (int round = 0; round < 5; ++round) {
        const QString shared = home.filePath(QStringLiteral("shared %1.txt").arg(round));
        QFile text(shared);
        if (!text.open(QIODevice::WriteOnly) || text.write("shared with the share extension\n") <= 0)
            return 1;
        text.close();
        handoffs.push_back(measureHandoff(recorder, shared));
    }
    const qint64 handoffMs = median(handoffs);
    std::printf("handoff: parcly-share to the upload request in %lld ms (median of %zu)\n", static_cast<long long>(handoffMs),
                handoffs.size());
    const PageFigures page = measureSharePage(app);
    app.terminate();
    app.waitForFinished(5000);
    defaults.setValue(QStringLiteral("parcly-api-url"), service);

    auto* controller = new StatusItemController(ParclyStatusMenu::instance(), nullptr, QStringLiteral(PARCLY_BUNDLE_RESOURCES));
    // The build's bundle: the popover's page and the web helper that shows it.
    Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_PATH));
    const PopoverFigures popover = measurePopoverRounds();
    // After the popover's figures, which the menu's windows would otherwise add to.
    defaults.setValue(QStringLiteral("parcly-api-url"), recorder.url());
    const qint64 menuOpenMs = measureMenuOpen(recorder.url());
    defaults.setValue(QStringLiteral("parcly-api-url"), service);
    const QString file = home.filePath(QStringLiteral("upload.bin"));
    if (!writeFile(file, mib)) {
        std::fprintf(stderr, "bench-app: cannot write %lld MiB to %s\n", static_cast<long long>(mib), qPrintable(file));
        return 1;
    }
    StatusItem& item = *controller->statusItem();
    const int before = item.imageUpdateCount();
    QElapsedTimer clock;
    clock.start();
    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(file));
    // Done when the icon has shown progress and then a state again.
    (void)QTest::qWaitFor(
        [&] {
            const QString name = item.imageName();
            return item.imageUpdateCount() - before >= 2
                && (name == StatusItemController::kNormalImageName || name == StatusItemController::kErrorImageName);
        },
        600000);
    if (item.imageName() != StatusItemController::kNormalImageName) {
        std::fprintf(stderr, "bench-app: the upload did not complete\n");
        return 1;
    }
    // The last update is the icon going back to normal when the service has answered.
    const int iconUpdates = item.imageUpdateCount() - before - 1;
    std::printf("upload: %lld MiB in %.1f s, %d progress images set\n", static_cast<long long>(mib), clock.elapsed() / 1000.0, iconUpdates);
    QFile::remove(file);

    const QString folder = home.filePath(QStringLiteral("Photos"));
    if (!writeFolder(folder, 2000, 256)) {
        std::fprintf(stderr, "bench-app: cannot write the folder %s\n", qPrintable(folder));
        return 1;
    }
    clock.restart();
    const qint64 stallMs = measureStall(*controller, folder);
    std::printf("folder drop: 2000 files, 256 MiB zipped and uploaded in %.1f s, main thread stalled at most %lld ms\n",
                clock.elapsed() / 1000.0, static_cast<long long>(stallMs));
    std::printf("RESULT start_ms=%lld idle_rss_mib=%.1f icon_updates=%d second_start_ms=%lld handoff_ms=%lld first_page_ms=%lld "
                "web_close_rss_mib=%.1f stall_ms=%lld popover_1_rss_mib=%.1f popover_20_rss_mib=%.1f action_ms=%lld menu_open_ms=%lld\n",
                static_cast<long long>(startMs), idleMiB, iconUpdates, static_cast<long long>(secondStartMs),
                static_cast<long long>(handoffMs), static_cast<long long>(page.firstPageMs), page.closeRssMiB,
                static_cast<long long>(stallMs), popover.afterOneMiB, popover.afterTwentyMiB, static_cast<long long>(actionMs),
                static_cast<long long>(menuOpenMs));
    return 0;
}
