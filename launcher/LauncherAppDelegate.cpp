#include "launcher/LauncherAppDelegate.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/Workspace.h"
#include "shared/SharedConstants.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

namespace {

// The root folder counts as a component of its own, as the path's first.
QStringList pathComponents(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    QStringList components = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (clean.startsWith(QLatin1Char('/')))
        components.prepend(QStringLiteral("/"));
    return components;
}

QString pathWithComponents(QStringList components)
{
    if (components.isEmpty())
        return {};
    if (components.first() == QLatin1String("/")) {
        components.removeFirst();
        return QLatin1Char('/') + components.join(QLatin1Char('/'));
    }
    return components.join(QLatin1Char('/'));
}

void terminate()
{
    logLine(QStringLiteral("Terminate Helper"));
    QCoreApplication::quit();
}

} // namespace

QString LauncherAppDelegate::applicationBundlePath(const QString& launcherBundlePath)
{
    QStringList components = pathComponents(launcherBundlePath);
    if (components.size() <= 4)
        return {};
    components.resize(components.size() - 4);
    return pathWithComponents(components);
}

void LauncherAppDelegate::applicationDidFinishLaunching()
{
    const QString launcherPath = Bundle::mainBundle().bundlePath();
    logLine(QStringLiteral("Launching Parcly Lite at %1").arg(launcherPath));

    const QString mainAppID = QString::fromLatin1(kMainAppBundleID);
    const QString display = Workspace::displayOfThisProcess();
    bool alreadyRunning = false;
    for (const RunningApplication& application : Workspace::sharedWorkspace().runningApplications()) {
        // Only the app itself counts, not a helper from its bundle (the share extension, the web
        // helper, the capture tool); and only on this display, as one app runs per user and display.
        if (application.bundleIdentifier == mainAppID && application.isMainExecutable && application.display == display)
            alreadyRunning = true;
    }
    if (alreadyRunning) {
        logLine(QStringLiteral("Parcly Lite is already runnning"));
        terminate();
        return;
    }

    const QString appPath = applicationBundlePath(launcherPath);
    logLine(QStringLiteral("App Path: %1").arg(appPath));
    const QString binary = appPath.isEmpty() ? QString() : Bundle(appPath).executablePath();
    if (binary.isEmpty()) {
        // Saying "Launching Binary" here would claim a start that cannot happen.
        logLine(QStringLiteral("No application bundle at %1, nothing launched").arg(appPath));
    } else {
        Workspace::sharedWorkspace().launchApplication(binary);
        logLine(QStringLiteral("Launching Binary: %1").arg(binary));
    }
    terminate();
}
