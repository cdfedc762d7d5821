#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

#include <functional>

#include "app/menubar/StartAtLogin.h"
#include "app/menubar/StatusItemController.h"

class AppleEvent;
class AuthWindowController;
class Updater;
class OnboardingController;
struct Notification;

// The root of the tray app: runs the launch sequence, owns the long-lived controllers, makes sure a
// service account exists, takes files handed over through "parcly-lite:" URLs, and answers the
// service forgetting the user.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    static AppDelegate& instance();

    StatusItemController* statusItemController() const { return m_statusItemController; }
    void setStatusItemController(StatusItemController* controller) { m_statusItemController = controller; }
    // The upgrade prompt, once the service has first forgotten the account.
    AuthWindowController* auth() const { return m_auth; }
    // The software updater, made on first use.
    Updater* sparkle();
    // The welcome window's controller: first launch only, kept after the window has gone.
    OnboardingController* onboarding() const { return m_onboarding; }
    void setOnboarding(OnboardingController* onboarding) { m_onboarding = onboarding; }

    // The launch sequence, once, from the event loop.
    void applicationDidFinishLaunching();
    // Nothing is saved at exit.
    void applicationWillTerminate();

    // A get-URL event: uploads the file its "handleURL" parameter names; a refusal's reason goes
    // into the reply as keyErrorString.
    void getUrl(const AppleEvent& event, AppleEvent* replyEvent);
    // Runs a status menu action asked for on the command line (`parcly-lite --capture-region`).
    void performAction(const AppleEvent& event, AppleEvent* replyEvent);

    // Makes sure an account exists, and gives "uploadAllScreenshots" its initial value.
    void handleUserSetup();
    void subscribeNotifications();
    void handleUnknownUserError(const Notification& notification);

    // Start at login: the app's own autostart entry, and the launcher handshake. The welcome
    // window and the preferences drive the same object.
    void setStartAtLogin(bool startAtLogin);
    bool startAtLoginIsEnabled() const;
    void handleStartAtLogin();

    static inline const QString kHasShownOnboardingKey = QStringLiteral("hasShownOnboarding");
    static inline const QString kUploadAllScreenshotsKey = QStringLiteral("uploadAllScreenshots");
    static inline const QString kHandleURLKey = QStringLiteral("handleURL");

private:
    AppDelegate() = default;

    void showOnboardingWindow();
    // Empty when the upload was started (or waits for the account), else why not.
    QString uploadHandedOverFile(const QUrl& url);
    void uploadWhenAccountIsSettled(const QUrl& upload, const std::function<void(bool success)>& ended);

    struct AwaitingUpload {
        QUrl url;
        std::function<void(bool success)> ended;
    };

    StartAtLogin m_startAtLogin;
    QPointer<StatusItemController> m_statusItemController;
    AuthWindowController* m_auth = nullptr;
    Updater* m_sparkle = nullptr;
    OnboardingController* m_onboarding = nullptr;
    // False while a new account's registration is on its way to the service.
    bool m_accountSettled = true;
    QList<AwaitingUpload> m_uploadsAwaitingAccount;
    // The hand-offs taken so far (HandedOverFile::identity).
    QSet<QString> m_takenHandOffs;
};
