#include "app/lifecycle/ApplicationMain.h"

#include "app/lifecycle/AppActions.h"
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

// One message of the single-instance channel, a URL or an action, as the event that carries it;
// `replied` gets the event's reply (its error string: why it was refused, if it was).
void dispatchMessage(const QString& message, EventManager::ReplyHandler replied = {})
{
    EventManager& events = EventManager::sharedAppleEventManager();
    if (AppActions::isAction(message)) {
        AppleEvent event(AppActions::kActionEventClass, AppActions::kAEPerformAction);
        event.setParamDescriptor(keyDirectObject, message);
        events.dispatch(event, std::move(replied));
        return;
    }
    events.dispatchGetURL(message, std::move(replied));
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
        logLine(QStringLiteral(
            "Wayland session without XWayland (no DISPLAY): the drop target cannot be placed and global shortcuts are unavailable"));
        return false;
    }
    return true;
}

} // namespace

int ApplicationMain(int argc, char** argv)
{
    const AppActions::Arguments parsed = AppActions::parse(argc, argv);
    if (parsed.help) {
        std::fputs(AppActions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parsed.unknownOption.isEmpty()) {
        std::fprintf(stderr, "parcly-lite: unknown option %s\n%s", parsed.unknownOption.toLocal8Bit().constData(),
                     AppActions::usage().toLocal8Bit().constData());
        return 2;
    }
    // Actions first: a URL given beside one waits for nothing it does.
    const QStringList messages = parsed.actions + parsed.urls;
    // Before the application object: a second start leaves without touching the display.
    SingleInstance instance;
    switch (instance.claim(messages)) {
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

    if (instance.role() == SingleInstance::Role::Primary) {
        // Each message's verdict is the reply of its event; the sender hears all of them at once.
        instance.listen([](const QStringList& received, const SingleInstance::Answer& answer) {
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
                dispatchMessage(received.at(i), [verdicts, i, answer](const AppleEvent& reply) {
                    verdicts->list[i] = reply.paramDescriptorForKeyword(keyErrorString);
                    if (--verdicts->waiting == 0)
                        answer(verdicts->list);
                });
            }
        });
    }
    // They wait for the delegate's handlers, installed at the end of the launch sequence.
    for (const QString& message : messages)
        dispatchMessage(message);

    AppDelegate& delegate = AppDelegate::instance();
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    return app.exec();
}
