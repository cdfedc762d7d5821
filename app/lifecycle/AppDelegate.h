#pragma once

#include <QObject>
#include <QPointer>

#include "app/menubar/StatusItemController.h"

// The root of the tray app: runs the launch sequence and owns the long-lived controllers.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    static AppDelegate& instance();

    StatusItemController* statusItemController() const { return m_statusItemController; }
    void setStatusItemController(StatusItemController* controller) { m_statusItemController = controller; }

    void applicationDidFinishLaunching();
    // Makes sure an account exists, and gives "uploadAllScreenshots" its initial value.
    void handleUserSetup();

    static inline const QString kUploadAllScreenshotsKey = QStringLiteral("uploadAllScreenshots");

private:
    AppDelegate() = default;

    QPointer<StatusItemController> m_statusItemController;
};
