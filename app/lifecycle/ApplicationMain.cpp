#include "app/lifecycle/ApplicationMain.h"

#include "app/lifecycle/AppDelegate.h"
#include "platform/EventManager.h"
#include "platform/SingleInstance.h"
#include "platform/gui/PrimaryScreen.h"

#include <QApplication>
#include <QTimer>

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

} // namespace

int ApplicationMain(int argc, char** argv)
{
    const QStringList urls = urlArguments(argc, argv);
    // Before the application object: a second start leaves without touching the display.
    SingleInstance instance;
    if (instance.claim(urls) == SingleInstance::Role::Secondary)
        return 0;

    QApplication app(argc, argv);
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
