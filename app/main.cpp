#include "app/lifecycle/AppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcly Lite"));
    QApplication::setApplicationDisplayName(QStringLiteral("Parcly Lite"));
    QApplication::setDesktopFileName(QStringLiteral("parcly-lite"));
    // A tray app keeps running with no window open.
    QApplication::setQuitOnLastWindowClosed(false);

    QTimer::singleShot(0, &app, [] { AppDelegate::instance().applicationDidFinishLaunching(); });
    return app.exec();
}
