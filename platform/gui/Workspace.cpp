#include "platform/gui/Workspace.h"

#include "platform/Log.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>

namespace {

bool startDetached(const QStringList& command)
{
    if (command.isEmpty())
        return false;
    const QString program = QStandardPaths::findExecutable(command.first());
    if (program.isEmpty())
        return false;
    return QProcess::startDetached(program, command.mid(1));
}

// $BROWSER as xdg-utils reads it: a list of commands separated by ':', each tried in turn.
bool openWithBrowserVariable(const QUrl& url)
{
    const QString variable = qEnvironmentVariable("BROWSER");
    if (variable.isEmpty())
        return false;
    const QString address = url.toString(QUrl::FullyEncoded);
    for (const QString& entry : variable.split(u':', Qt::SkipEmptyParts)) {
        QStringList command = QProcess::splitCommand(entry);
        if (command.isEmpty())
            continue;
        // The URL replaces %s inside an argument, never gets split into words of its own.
        bool substituted = false;
        for (QString& argument : command) {
            if (argument.contains(QLatin1String("%s"))) {
                argument.replace(QLatin1String("%s"), address);
                substituted = true;
            }
        }
        if (!substituted)
            command.append(address);
        if (startDetached(command))
            return true;
    }
    return false;
}

} // namespace

Workspace& Workspace::sharedWorkspace()
{
    static Workspace workspace;
    return workspace;
}

bool Workspace::openURL(const QUrl& url)
{
    // A relative "URL" such as "--help" would reach xdg-open as an option.
    if (!url.isValid() || url.isEmpty() || url.isRelative()) {
        logLine(QStringLiteral("Could not open URL: %1").arg(url.toString()));
        return false;
    }
    const QString scheme = url.scheme().toLower();
    const bool webAddress = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (webAddress && openWithBrowserVariable(url))
        return true;
    if (QDesktopServices::openUrl(url))
        return true;
    if (startDetached({QStringLiteral("xdg-open"), url.toString(QUrl::FullyEncoded)}))
        return true;
    logLine(QStringLiteral("Could not open URL: %1").arg(url.toString()));
    return false;
}
