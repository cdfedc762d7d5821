#include "app/lifecycle/StartAtLogin.h"

#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"
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

std::optional<LoginItem> findEntry(const LoginItems& items, const QString& application)
{
    for (const LoginItem& item : items.snapshot()) {
        if (LoginItems::resolve(item) == application)
            return item;
    }
    return std::nullopt;
}

} // namespace

void StartAtLogin::setStartAtLogin(bool enabled)
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
    const std::optional<LoginItem> entry = findEntry(*items, application);
    if (enabled && !entry)
        items->insertItemBeforeFirst(application);
    else if (!enabled && entry)
        items->removeItem(*entry);
}

bool StartAtLogin::startAtLoginIsEnabled()
{
    const QString application = applicationPath();
    if (application.isEmpty())
        return false;
    const std::optional<LoginItems> items = LoginItems::create();
    return items && findEntry(*items, application).has_value();
}

void StartAtLogin::handleStartAtLogin()
{
    const QString launcherID = QString::fromLatin1(kLauncherID);
    for (const RunningApplication& application : Workspace::sharedWorkspace().runningApplications()) {
        if (application.bundleIdentifier == launcherID)
            DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("killLauncher"),
                                                                                QString::fromLatin1(kMainAppBundleID));
    }
}
