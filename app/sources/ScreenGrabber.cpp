#include "app/sources/ScreenGrabber.h"

#include "app/service/API.h"
#include "platform/Bundle.h"
#include "platform/Task.h"
#include "platform/TemporaryDirectory.h"

#include <QDateTime>
#include <QFileInfo>

// Where the capture tool always lives: beside the app in the bundle's Contents/MacOS.
QString ScreenGrabber::captureToolLocation()
{
    const Bundle bundle = Bundle::mainBundle();
    return bundle.isValid() ? bundle.bundlePath() + QStringLiteral("/Contents/MacOS/screencapture") : QString();
}

QString ScreenGrabber::captureToolPath()
{
    const QString location = captureToolLocation();
    return !location.isEmpty() && QFileInfo(location).isFile() ? location : QString();
}

QString ScreenGrabber::captureTemporaryFilePath()
{
    return QStringLiteral("%1%2").arg(temporaryDirectory(),
                                      API::instance().nameForDrop(QStringLiteral("Screen Shot"), QStringLiteral("png"), true));
}

QUrl ScreenGrabber::captureScreen()
{
    return capture({QStringLiteral("-i")});
}

QUrl ScreenGrabber::captureWindow()
{
    return capture({QStringLiteral("-i"), QStringLiteral("-w")});
}

QUrl ScreenGrabber::capture(const QStringList& options)
{
    const QString tool = captureToolPath();
    if (tool.isEmpty())
        return {};
    const QString path = captureTemporaryFilePath();
    // Without a temporary directory (already logged) the name alone would land in the working
    // directory.
    if (QFileInfo(path).isRelative())
        return {};
    // Two captures within one second get the same name; a cancelled second one must not hand
    // back the first one's file.
    const QDateTime earlier = QFileInfo(path).lastModified();
    Task task;
    task.setLaunchPath(tool);
    task.setArguments(QStringList(options) << path);
    // The user takes as long as they like; the tool's status does not matter, the file does.
    // A tool that cannot start is logged by the task.
    if (task.launch())
        task.waitUntilExit();
    const QFileInfo written(path);
    if (!written.exists() || (earlier.isValid() && written.lastModified() == earlier))
        return {};
    return QUrl::fromLocalFile(path);
}
