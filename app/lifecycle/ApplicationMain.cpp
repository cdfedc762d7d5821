#include "app/lifecycle/ApplicationMain.h"

#include "app/lifecycle/AppDelegate.h"
#include "platform/EventManager.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "platform/gui/PrimaryScreen.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
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
    switch (instance.claim(urls)) {
    case SingleInstance::Role::Secondary:
        return 0;
    case SingleInstance::Role::Unresponsive:
        // Never a second tray app beside a live one: it may only be stopped or busy.
        std::fprintf(stderr, "Parcly Lite is already running (pid %lld) but does not answer; not starting another one.\n",
                     static_cast<long long>(instance.lockOwner()));
        return 1;
    case SingleInstance::Role::TooLarge:
        std::fprintf(stderr, "Parcly Lite is already running, and these URLs are too large to hand to it (at most %u bytes).\n",
                     SingleInstance::kMaximumMessageSize);
        return 1;
    case SingleInstance::Role::Primary:
    case SingleInstance::Role::Failed:
        break;
    }
    // Every waiting sender costs the listener a file descriptor.
    SingleInstance::raiseFileLimit();

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
        // Each URL's verdict is the reply of its get-URL event; the sender hears all of them at once.
        instance.listen([&events](const QStringList& received, const SingleInstance::Answer& answer) {
            struct Verdicts {
                QStringList list;
                qsizetype waiting = 0;
            };
            auto verdicts = std::make_shared<Verdicts>();
            verdicts->list = QStringList(received.size(), QString());
            verdicts->waiting = received.size();
            if (received.isEmpty())
                answer({});
            for (qsizetype i = 0; i < received.size(); ++i) {
                events.dispatchGetURL(received.at(i), [verdicts, i, answer](const AppleEvent& reply) {
                    verdicts->list[i] = reply.paramDescriptorForKeyword(keyErrorString);
                    if (--verdicts->waiting == 0)
                        answer(verdicts->list);
                });
            }
        });
    }
    // They wait for the delegate's handler, installed at the end of the launch sequence.
    for (const QString& url : urls)
        events.dispatchGetURL(url);

    AppDelegate& delegate = AppDelegate::instance();
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    return app.exec();
}
