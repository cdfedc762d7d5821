#include "platform/gui/PrimaryScreen.h"

#include "platform/Screen.h"

#include <QGuiApplication>
#include <QScreen>

void installPrimaryScreen()
{
    Screen::setScaleFactorSource([] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? screen->devicePixelRatio() : 1.0;
    });
}
