#include "app/sources/ScreenGrabber.h"

#include "app/service/API.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/TemporaryDirectory.h"

#include <QDateTime>
#include <QFileInfo>

#include <memory>

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

void ScreenGrabber::captureScreen(Completion complete)
{
    capture({QStringLiteral("-i")}, std::move(complete));
}

void ScreenGrabber::captureWindow(Completion complete)
{
    capture({QStringLiteral("-i"), QStringLiteral("-w")}, std::move(complete));
}

void ScreenGrabber::capture(const QStringList& options, Completion complete)
{
    // One at a time: a second press of the shortcut before the first overlay has taken the
    // keyboard would otherwise stack two overlays.
    static bool capturing = false;
    if (capturing) {
        logLine(QStringLiteral("Screen capture: one is already running"));
        complete({});
        return;
    }
    const QString tool = captureToolPath();
    if (tool.isEmpty()) {
        complete({});
        return;
    }
    const QString path = captureTemporaryFilePath();
    // Without a temporary directory (already logged) the name alone would land in the working
    // directory.
    if (QFileInfo(path).isRelative()) {
        complete({});
        return;
    }
    // Two captures within one second get the same name; a cancelled second one must not hand
    // back the first one's file.
    const QDateTime earlier = QFileInfo(path).lastModified();
    auto task = std::make_shared<Task>();
    task->setLaunchPath(tool);
    task->setArguments(QStringList(options) << path);
    // The user takes as long as they like; the tool's status does not matter, the file does.
    // The handler keeps the task until the tool has ended.
    task->setTerminationHandler([task, path, earlier, complete] {
        capturing = false;
        const QFileInfo written(path);
        if (!written.exists() || (earlier.isValid() && written.lastModified() == earlier))
            complete({});
        else
            complete(QUrl::fromLocalFile(path));
    });
    // A tool that cannot start is logged by the task.
    if (!task->launch()) {
        complete({});
        return;
    }
    capturing = true;
}
