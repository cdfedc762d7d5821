#include "app/lifecycle/AppDelegate.h"

#include "app/lifecycle/AppActions.h"
#include "app/lifecycle/AuthWindowController.h"
#include "app/lifecycle/HandedOverFile.h"
#include "app/lifecycle/OnboardingController.h"
#include "app/lifecycle/URLExtensions.h"
#include "app/lifecycle/Updater.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/StatusItemController.h"
#include "app/service/AccountSetup.h"
#include "platform/Defaults.h"
#include "platform/DefaultsController.h"
#include "platform/EventManager.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/TemporaryDirectory.h"
#include "platform/gui/Application.h"
#include "shared/Archiver.h"
#include "shared/HandOffFolder.h"
#include "shared/SharedConstants.h"
#include "shared/WorkFolder.h"

#include <QFileInfo>
#include <QThreadPool>

#include <utility>

AppDelegate& AppDelegate::instance()
{
    static AppDelegate* delegate = new AppDelegate;
    return *delegate;
}

void AppDelegate::applicationDidFinishLaunching()
{
    Defaults& defaults = Defaults::standard();
    const bool hasShownOnboarding = defaults.boolValue(kHasShownOnboardingKey);

    // The menu reports to the icon, opens the preferences with what they drive, and passes their
    // update check up here, where the updater lives.
    ParclyStatusMenu& menu = ParclyStatusMenu::instance();
    setStatusItemController(new StatusItemController(menu, this));
    menu.setStartAtLogin(&m_startAtLogin);
    connect(&menu, &ParclyStatusMenu::updateCheckRequested, this, [this] { sparkle()->checkForUpdates(); });

    // Work folders an earlier run left behind (a crash mid-upload), a day old and more: a walk of
    // the disk, so off the GUI thread.
    QThreadPool::globalInstance()->start([] {
        WorkFolder::sweep(temporaryDirectory(), std::chrono::hours(24));
        WorkFolder::sweep(shareHandOffDirectory(), std::chrono::hours(24));
    });

    if (!hasShownOnboarding) {
        showOnboardingWindow();
        // Stored once shown, not once finished: a user who quits during onboarding is not asked again.
        defaults.setValue(kHasShownOnboardingKey, true);
        defaults.synchronize();
        setStartAtLogin(true);
    }

    handleStartAtLogin();
    handleUserSetup();
    subscribeNotifications();

    EventManager::sharedAppleEventManager().setEventHandler(
        [this](const AppleEvent& event, AppleEvent* replyEvent) { getUrl(event, replyEvent); }, kInternetEventClass, kAEGetURL);
    EventManager::sharedAppleEventManager().setEventHandler(
        [this](const AppleEvent& event, AppleEvent* replyEvent) { performAction(event, replyEvent); }, AppActions::kActionEventClass,
        AppActions::kAEPerformAction);
}

void AppDelegate::performAction(const AppleEvent& event, AppleEvent* replyEvent)
{
    const QString action = event.paramDescriptorForKeyword(keyDirectObject);
    ParclyStatusMenu& menu = ParclyStatusMenu::instance();
    logLine(QStringLiteral("Action from the command line: %1").arg(action));
    if (action == QLatin1String("--share-file"))
        menu.file();
    else if (action == QLatin1String("--capture-region"))
        menu.screenshot();
    else if (action == QLatin1String("--capture-window"))
        menu.grabWindow();
    else if (replyEvent)
        replyEvent->setParamDescriptor(keyErrorString, QStringLiteral("unknown action %1").arg(action));
}

void AppDelegate::applicationWillTerminate() { }

void AppDelegate::showOnboardingWindow()
{
    setOnboarding(new OnboardingController(m_startAtLogin, m_statusItemController->statusItem(), this));
    Application::activateIgnoringOtherApps();
    onboarding()->showWindow();
}

void AppDelegate::handleUserSetup()
{
    // Credentials whose registration failed (the service was down at the first launch) are
    // registered again here, as the command line does; only an account the service really
    // forgot leads to the upgrade prompt.
    m_accountSettled = false;
    AccountSetup::ensureAccount([this](bool, const QVariant&) {
        m_accountSettled = true;
        // Files handed over while a new account was being registered (the share extension started
        // the app at its first launch) go up now, with the account the service has just taken.
        const QList<AwaitingUpload> waiting = std::exchange(m_uploadsAwaitingAccount, {});
        for (const AwaitingUpload& upload : waiting)
            ParclyStatusMenu::instance().uploadFile(upload.url, upload.ended);
    });
    DefaultsController::sharedUserDefaultsController().setInitialValues({{kUploadAllScreenshotsKey, true}});
}

void AppDelegate::subscribeNotifications()
{
    NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(kUnknownUserAPIErrorNotification),
                                                    [this](const Notification& notification) { handleUnknownUserError(notification); });
}

void AppDelegate::handleUnknownUserError(const Notification&)
{
    if (!m_accountSettled) {
        // A request that left before the stored credentials were registered (the drop count at
        // launch) is refused for that alone: the account is being created, not forgotten.
        logLine(QStringLiteral("The service refused a request sent while this account was being registered"));
        return;
    }
    logLine(QStringLiteral("The service no longer knows this account; offering a new one"));
    // One window for the whole run: a later rejection brings the same one forward.
    if (!m_auth)
        m_auth = new AuthWindowController;
    Application::activateIgnoringOtherApps();
    m_auth->showWindow();
}

Updater* AppDelegate::sparkle()
{
    if (!m_sparkle)
        m_sparkle = new Updater(this);
    return m_sparkle;
}

void AppDelegate::getUrl(const AppleEvent& event, AppleEvent* replyEvent)
{
    const QUrl url = Extensions::URLWithString(event.paramDescriptorForKeyword(keyDirectObject));
    if (!url.isValid())
        return;
    bool handOff = false;
    const QUrl file = HandedOverFile::fileURL(url, &handOff);
    if (!handOff)
        return;
    const QString refusal = uploadHandedOverFile(file);
    // The sender hears why nothing will be uploaded.
    if (!refusal.isEmpty() && replyEvent)
        replyEvent->setParamDescriptor(keyErrorString, refusal);
}

QString AppDelegate::uploadHandedOverFile(const QUrl& url)
{
    QString reason;
    const QString path = HandedOverFile::acceptedPath(url, &reason);
    // Taken once: a second URL naming the same hand-off, as any page could open, uploads nothing.
    const QString identity = HandedOverFile::identity(path);
    if (!path.isEmpty() && m_takenHandOffs.contains(identity)) {
        reason = QStringLiteral("it has already been taken for upload");
        logLine(QStringLiteral("Ignoring handed-over URL %1: %2").arg(url.toString(QUrl::FullyEncoded), reason));
        return reason;
    }
    if (path.isEmpty()) {
        logLine(QStringLiteral("Ignoring handed-over URL %1: %2").arg(url.toString(QUrl::FullyEncoded), reason));
        return reason;
    }
    m_takenHandOffs.insert(identity);
    // Once its upload has ended, either way, the hand-off's own work folder has served its purpose.
    const auto removeHandOff = [path] {
        // Off the GUI thread: a shared folder can be a large tree.
        QThreadPool::globalInstance()->start([path] {
            if (WorkFolder::removeContaining(path))
                logLine(QStringLiteral("Removed the hand-off of %1").arg(path));
        });
    };
    // A shared folder is handed over whole; like a folder dropped on the icon, it goes up as one
    // zip, made without holding up the app.
    if (QFileInfo(path).isDir()) {
        Archiver::zipFiles({path}, [this, removeHandOff](const QUrl& archive, const QString& failure) {
            if (archive.isEmpty()) {
                ParclyStatusMenu::instance().uploadDidFail(failure);
                removeHandOff();
                return;
            }
            // The archive's own work folder goes with its upload, as for a folder dropped on the icon.
            uploadWhenAccountIsSettled(archive, [removeHandOff](bool) { removeHandOff(); });
        });
        return QString();
    }
    uploadWhenAccountIsSettled(QUrl::fromLocalFile(path), [removeHandOff](bool) { removeHandOff(); });
    return QString();
}

void AppDelegate::uploadWhenAccountIsSettled(const QUrl& upload, const std::function<void(bool success)>& ended)
{
    if (upload.isEmpty())
        return;
    if (!m_accountSettled) {
        m_uploadsAwaitingAccount.append({upload, ended});
        return;
    }
    ParclyStatusMenu::instance().uploadFile(upload, ended);
}

void AppDelegate::setStartAtLogin(bool startAtLogin)
{
    m_startAtLogin.setStartAtLogin(startAtLogin);
}

bool AppDelegate::startAtLoginIsEnabled() const
{
    return m_startAtLogin.startAtLoginIsEnabled();
}

void AppDelegate::handleStartAtLogin()
{
    m_startAtLogin.handleStartAtLogin();
}
