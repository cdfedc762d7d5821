#include "platform/gui/Application.h"

#include <QApplication>
#include <QWidget>

void Application::activateIgnoringOtherApps()
{
    QWidget* front = QApplication::activeModalWidget();
    if (!front)
        front = QApplication::activePopupWidget();
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (window->isVisible() && window->windowType() != Qt::ToolTip && window->windowType() != Qt::Popup)
            window->raise();
    }
    if (!front) {
        for (QWidget* window : windows) {
            if (window->isVisible() && window->isWindow() && !(window->windowFlags() & Qt::WindowStaysOnTopHint))
                front = window;
        }
    }
    if (front)
        front->activateWindow();
}
