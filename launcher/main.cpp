// parcly-lite-launcher: started at login by its autostart entry, starts the tray app unless it
// already runs, and quits.
#include "launcher/LauncherAppDelegate.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    LauncherAppDelegate delegate;
    // Once the event loop runs, so that quitting from the delegate ends it.
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return app.exec();
}
