#include "app/lifecycle/ApplicationMain.h"

#include "app/lifecycle/AppDelegate.h"
#include "platform/EventManager.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "platform/gui/PrimaryScreen.h"

#include <QApplication>
#include <QTimer>

#include <vector>

namespace {

// The URLs the desktop passes (Exec=parcly-lite %u); options meant for Qt are not URLs.
QStringList urlArguments(int argc, char** argv)
{
    QStringList urls;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (!argument.startsWith(QLatin1Char('-')))
            urls.append(argument);
    }
    return urls;
}

// In a Wayland session the app runs on XWayland when it can: a Wayland client may neither place
// its own windows (the drop target) nor grab keys (the shortcuts), while X clients can, and
// XWayland passes both on. A platform the user chose, in QT_QPA_PLATFORM or with -platform, stands.
// Given as an argument rather than in the environment, so that programs the app starts (the
// browser among them) choose for themselves.
bool shouldRunOnXWayland(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qgetenv("XDG_SESSION_TYPE") != "wayland")
        return false;
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            return false;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        logLine(QStringLiteral("Wayland session without XWayland (no DISPLAY): the drop target cannot be placed and global shortcuts are unavailable"));
        return false;
    }
    return true;
}

} // namespace

int ApplicationMain(int argc, char** argv)
{
    const QStringList urls = urlArguments(argc, argv);
    // Before the application object: a second start leaves without touching the display.
    SingleInstance instance;
    if (instance.claim(urls) == SingleInstance::Role::Secondary)
        return 0;

    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char xcb[] = "xcb";
    if (shouldRunOnXWayland(argc, argv)) {
        arguments.push_back(platformOption);
        arguments.push_back(xcb);
    }
    int argumentCount = int(arguments.size());
    arguments.push_back(nullptr);
    QApplication app(argumentCount, arguments.data());
    QApplication::setApplicationName(QStringLiteral("Parcly Lite"));
    QApplication::setApplicationDisplayName(QStringLiteral("Parcly Lite"));
    QApplication::setDesktopFileName(QStringLiteral("parcly-lite"));
    // A tray app keeps running with no window open.
    QApplication::setQuitOnLastWindowClosed(false);
    // Uploads tell the service the screen's density, so that screenshots show at their real size.
    installPrimaryScreen();

    EventManager& events = EventManager::sharedAppleEventManager();
    if (instance.role() == SingleInstance::Role::Primary) {
        QObject::connect(&instance, &SingleInstance::urlsReceived, &app, [&events](const QStringList& received) {
            for (const QString& url : received)
                events.dispatchGetURL(url);
        });
        instance.listen();
    }
    // They wait for the delegate's handler, installed at the end of the launch sequence.
    for (const QString& url : urls)
        events.dispatchGetURL(url);

    AppDelegate& delegate = AppDelegate::instance();
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    return app.exec();
}
