#include "app/menubar/StartAtLogin.h"

#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"
#include "platform/LoginItemService.h"
#include "platform/LoginItems.h"
#include "platform/Workspace.h"
#include "shared/SharedConstants.h"

#include <QFileInfo>

#include <optional>

namespace {

// The program an entry of ours runs: this copy's executable, links resolved as entries are.
QString applicationPath()
{
    return QFileInfo(Bundle::mainBundle().executablePath()).canonicalFilePath();
}

QList<LoginItem> entriesRunning(const LoginItems& items, const QString& application)
{
    QList<LoginItem> entries;
    for (const LoginItem& item : items.snapshot()) {
        if (LoginItems::resolve(item) == application)
            entries.append(item);
    }
    return entries;
}

// The app's own entry: added ahead of the list, or every one of them removed.
void setAppEntry(bool enabled)
{
    const QString application = applicationPath();
    if (application.isEmpty()) {
        // Outside a bundle there is nothing an entry could start.
        logLine(QStringLiteral("Start at login: the app's executable is not in a bundle"));
        return;
    }
    std::optional<LoginItems> items = LoginItems::create();
    if (!items)
        return;
    const QList<LoginItem> entries = entriesRunning(*items, application);
    if (enabled && entries.isEmpty())
        items->insertItemBeforeFirst(application);
    else if (!enabled) {
        for (const LoginItem& entry : entries)
            items->removeItem(entry);
    }
}

bool hasAppEntry()
{
    const QString application = applicationPath();
    if (application.isEmpty())
        return false;
    const std::optional<LoginItems> items = LoginItems::create();
    return items && !entriesRunning(*items, application).isEmpty();
}

} // namespace

void StartAtLogin::setStartAtLogin(bool enabled)
{
    setAppEntry(enabled);
    // The service logs why when it fails; the app's own entry stands on its own.
    LoginItemService::setEnabled(QString::fromLatin1(kLauncherID), enabled);
}

bool StartAtLogin::startAtLoginIsEnabled() const
{
    return hasAppEntry() || LoginItemService::isEnabled(QString::fromLatin1(kLauncherID));
}

void StartAtLogin::handleStartAtLogin() const
{
    const QString launcherID = QString::fromLatin1(kLauncherID);
    for (const RunningApplication& application : Workspace::sharedWorkspace().runningApplications()) {
        if (application.bundleIdentifier == launcherID)
            DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("killLauncher"),
                                                                                QString::fromLatin1(kMainAppBundleID));
    }
}
