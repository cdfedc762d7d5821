// screencapture -i [-w] FILE
//
// Lets the user pick a region of the screen (or with -w a window) and writes it to FILE as PNG.
//
// Exit status:
//   0  written
//   1  cancelled by the user (nothing written)
//   2  failed, or a usage error (nothing written; one line on stderr, "screencapture: REASON",
//      the reason being fit to show the user)
//
// On X11 it grabs the screen and shows its own overlay. Wherever a Wayland display is named
// (WAYLAND_DISPLAY, whatever XDG_SESSION_TYPE says) it asks the desktop's screenshot portal
// instead, whose own dialog then lets the user choose the screen, a window or an area: -w picks
// no window there. A Wayland session whose X grab fails also falls back to the portal.
#include "CaptureFile.h"
#include "CaptureOverlay.h"
#include "PortalScreenshot.h"
#include "X11Desktop.h"

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <xcb/xcb.h>

namespace {

enum ExitStatus { Written = 0, Cancelled = 1, Failed = 2 };

struct Options {
    bool window = false;
    QString path;
};

int fail(const QString& reason)
{
    std::fprintf(stderr, "screencapture: %s\n", reason.toLocal8Bit().constData());
    return Failed;
}

std::optional<Options> parseArguments(int argc, char** argv, QString* error)
{
    const QString usage = QStringLiteral(" (usage: screencapture -i [-w] FILE; exits 0 written, 1 cancelled, 2 failed)");
    Options options;
    bool interactive = false;
    bool optionsEnded = false;
    QStringList paths;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.size() > 1 && argument.startsWith(QLatin1Char('-'))) {
            for (const QChar flag : argument.mid(1)) {
                if (flag == QLatin1Char('i'))
                    interactive = true;
                else if (flag == QLatin1Char('w'))
                    options.window = true;
                else {
                    *error = QStringLiteral("unknown option -%1").arg(flag) + usage;
                    return std::nullopt;
                }
            }
        } else {
            paths.append(argument);
        }
    }
    if (!interactive)
        *error = QStringLiteral("only interactive captures (-i) are supported") + usage;
    else if (paths.isEmpty())
        *error = QStringLiteral("no file given") + usage;
    else if (paths.size() > 1)
        *error = QStringLiteral("more than one file given") + usage;
    if (!error->isEmpty())
        return std::nullopt;
    options.path = paths.first();
    return options;
}

bool xServerAnswers()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool usable = connection && !xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    return usable;
}

// Under a Wayland compositor an X server, if any, only sees the programs that run through it:
// its grab shows black where the real windows are, or fails outright (X error 8). A compositor
// started from a console leaves XDG_SESSION_TYPE at "tty", so the display variable decides.
bool waylandDisplayNamed()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool inAWaylandSession()
{
    return waylandDisplayNamed() || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

int captureThroughThePortal(int argc, char** argv, const Options& options)
{
    QCoreApplication app(argc, argv);
    PortalScreenshot portal;
    QUrl image;
    QString error;
    switch (portal.take(&image, &error)) {
    case PortalScreenshot::Outcome::Cancelled:
        return Cancelled;
    case PortalScreenshot::Outcome::Failed:
        return fail(error);
    case PortalScreenshot::Outcome::Taken:
        break;
    }
    // Moved rather than copied: left in the pictures folder, the portal's file would also be
    // found by the screenshot watcher and shared a second time.
    if (!CaptureFile::moveInto(image.toLocalFile(), options.path, &error))
        return fail(error);
    return Written;
}

// Returns -1 when the screen could not be grabbed and the portal should be asked instead.
int captureOnX11(int argc, char** argv, const Options& options)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    auto* x11 = app.nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return fail(QStringLiteral("cannot connect to the X display"));
    xcb_connection_t* connection = x11->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const X11Desktop desktop(connection, root);

    // Screen and windows are read before the overlay exists, so it is neither in the image nor
    // among the windows to pick.
    QString error;
    QImage grab = desktop.grab(&error);
    if (grab.isNull() && inAWaylandSession()) {
        std::fprintf(stderr, "screencapture: %s; asking the desktop's screenshot portal instead\n", error.toLocal8Bit().constData());
        return -1;
    }
    if (grab.isNull())
        return fail(error);
    const QList<QRect> windows = options.window ? desktop.windowsInStackingOrder() : QList<QRect>();

    CaptureOverlay overlay(options.window ? CaptureOverlay::Mode::Window : CaptureOverlay::Mode::Region, std::move(grab), windows);
    int status = Cancelled;
    QObject::connect(&overlay, &CaptureOverlay::cancelled, &app, [&] {
        status = Cancelled;
        overlay.hide();
        app.quit();
    });
    QObject::connect(&overlay, &CaptureOverlay::picked, &app, [&](const QImage& image) {
        overlay.hide();
        QString writeError;
        status = CaptureFile::writePng(image, options.path, &writeError) ? Written : fail(writeError);
        app.quit();
    });
    overlay.show();
    app.exec();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    QString error;
    const std::optional<Options> options = parseArguments(argc, argv, &error);
    if (!options)
        return fail(error);
    // Refused before the user spends time selecting.
    if (const QString problem = CaptureFile::problemWriting(options->path); !problem.isEmpty())
        return fail(problem);

    if (waylandDisplayNamed())
        return captureThroughThePortal(argc, argv, *options);
    if (!xServerAnswers()) {
        if (inAWaylandSession())
            return captureThroughThePortal(argc, argv, *options);
        return fail(QStringLiteral("cannot connect to the X display"));
    }
    const int status = captureOnX11(argc, argv, *options);
    return status >= 0 ? status : captureThroughThePortal(argc, argv, *options);
}
