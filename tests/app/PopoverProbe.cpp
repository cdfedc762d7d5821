// The share popover on its own, for a desktop test: shows it next to a rectangle, says "shown",
// and says "closed" and ends when it closes (a timeout ends it with 1).
#include "app/menubar/SharePopover.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWindow>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    auto* popover = new SharePopover;
    popover->setContentViewController(new QLabel(QStringLiteral("Share a file")));
    QObject::connect(popover, &QObject::destroyed, &app, [] {
        std::puts("closed");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    popover->showRelativeToRect(QRect(600, 0, 22, 22));
    QTimer::singleShot(200, [] {
        std::puts("shown");
        std::fflush(stdout);
    });
    QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });
    return app.exec();
}
