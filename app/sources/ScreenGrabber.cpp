#include "app/sources/ScreenGrabber.h"

#include "app/service/API.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>

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

bool ScreenGrabber::picksWindowsItself()
{
    // The same test the tool makes.
    return qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

namespace {

bool capturing = false;

// The tool's last line on stderr, "screencapture: reason", as a sentence.
QString reasonFrom(const QByteArray& standardError)
{
    const QList<QByteArray> lines = standardError.trimmed().split('\n');
    QString reason = QString::fromLocal8Bit(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
    const QString prefix = QStringLiteral("screencapture: ");
    if (reason.startsWith(prefix))
        reason = reason.mid(prefix.size());
    if (reason.isEmpty())
        return {};
    reason[0] = reason[0].toUpper();
    if (!reason.endsWith(QLatin1Char('.')))
        reason += QLatin1Char('.');
    return reason;
}

} // namespace

bool ScreenGrabber::isCapturing()
{
    return capturing;
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
    if (capturing) {
        logLine(QStringLiteral("Screen capture: one is already running"));
        complete({}, {});
        return;
    }
    const QString tool = captureToolPath();
    if (tool.isEmpty()) {
        logLine(QStringLiteral("Screen capture: no capture tool at %1").arg(captureToolLocation()));
        complete({}, QStringLiteral("The screen capture tool is missing: reinstall Parcly Lite."));
        return;
    }
    const QString path = captureTemporaryFilePath();
    // Without a temporary directory (already logged) the name alone would land in the working
    // directory.
    if (QFileInfo(path).isRelative()) {
        complete({}, QStringLiteral("There is no temporary folder to write the capture to."));
        return;
    }
    // Two captures within one second get the same name; a cancelled second one must not hand
    // back the first one's file.
    const QDateTime earlier = QFileInfo(path).lastModified();

    // The tool's status tells a cancel from a failure, and its stderr says what failed.
    auto* process = new QProcess;
    process->setProgram(tool);
    process->setArguments(QStringList(options) << path);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    const auto end = [process, complete](const QUrl& capture, const QString& failure) {
        capturing = false;
        process->deleteLater();
        if (!failure.isEmpty())
            logLine(QStringLiteral("Screen capture failed: %1").arg(failure));
        complete(capture, failure);
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [process, end](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end({}, QStringLiteral("The screen capture tool could not be started: %1").arg(process->errorString()));
    });
    QObject::connect(process, &QProcess::finished, process, [process, path, earlier, end](int exitCode, QProcess::ExitStatus exitStatus) {
        const QByteArray standardError = process->readAllStandardError();
        for (const QByteArray& line : standardError.trimmed().split('\n')) {
            if (!line.isEmpty())
                logLine(QString::fromLocal8Bit(line));
        }
        if (exitStatus != QProcess::NormalExit)
            return end({}, QStringLiteral("The screen capture tool stopped unexpectedly."));
        if (exitCode == ToolCancelled)
            return end({}, {});
        if (exitCode != ToolWrote) {
            const QString reason = reasonFrom(standardError);
            return end({}, !reason.isEmpty() ? reason : QStringLiteral("The screen capture tool failed (exit status %1).").arg(exitCode));
        }
        const QFileInfo written(path);
        if (!written.exists() || (earlier.isValid() && written.lastModified() == earlier))
            return end({}, QStringLiteral("The screen capture tool wrote no image."));
        end(QUrl::fromLocalFile(path), {});
    });
    capturing = true;
    process->start();
}
