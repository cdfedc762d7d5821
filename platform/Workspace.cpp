#include "platform/Workspace.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

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

const QString kAppScheme = QStringLiteral("parcly-lite");
// How long the tray app may take to answer a URL it was handed, and to start listening.
constexpr int kAppAnswerMs = 10000;
constexpr int kAppStartMs = 20000;

// True when the desktop has a program registered for the scheme (its .desktop file installed).
bool schemeHasHandler(const QString& scheme)
{
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty())
        return false;
    QProcess query;
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/") + scheme});
    if (!query.waitForFinished(3000)) {
        query.kill();
        query.waitForFinished(1000);
        return false;
    }
    return query.exitCode() == 0 && !query.readAllStandardOutput().trimmed().isEmpty();
}

} // namespace

Workspace& Workspace::sharedWorkspace()
{
    static Workspace workspace;
    return workspace;
}

bool Workspace::openURL(const QUrl& url, QString* refusal)
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
    if (scheme == kAppScheme)
        return openAppURL(url, refusal);
    if (startDetached({QStringLiteral("xdg-open"), url.toString(QUrl::FullyEncoded)}))
        return true;
    logLine(QStringLiteral("Could not open URL: %1").arg(url.toString()));
    return false;
}

bool Workspace::openAppURL(const QUrl& url, QString* refusal)
{
    const QString address = url.toString(QUrl::FullyEncoded);
    const auto fail = [&](const QString& why) {
        logLine(QStringLiteral("Could not open URL: %1: %2").arg(url.toString(), why));
        if (refusal)
            *refusal = why;
        return false;
    };
    // Whether the tray app accepted the URL; false while no instance listens.
    const auto verdict = [&](const SingleInstance::Delivery& delivery, bool* done) {
        *done = true;
        switch (delivery.status) {
        case SingleInstance::Delivery::Status::Answered:
            // An older app gives no verdicts: having taken the URL is all it says.
            if (!delivery.verdicts.value(0).isEmpty())
                return fail(QStringLiteral("Parcly Lite refused it: %1.").arg(delivery.verdicts.first()));
            return true;
        case SingleInstance::Delivery::Status::NoAnswer:
            return fail(QStringLiteral("Parcly Lite is running but did not answer."));
        case SingleInstance::Delivery::Status::TooLarge:
            return fail(QStringLiteral("The link is too long to hand to Parcly Lite."));
        case SingleInstance::Delivery::Status::NotRunning:
            break;
        }
        *done = false;
        return false;
    };
    bool done = false;
    const bool accepted = verdict(SingleInstance::handOver({address}, kAppAnswerMs), &done);
    if (done)
        return accepted;

    // Nothing runs: start the tray app without the URL, then hand the URL over once it listens,
    // so that its verdict comes back here. A bare URL of the scheme starts it through the desktop.
    bool started = schemeHasHandler(kAppScheme) && startDetached({QStringLiteral("xdg-open"), kAppScheme + QStringLiteral("://")});
    if (!started) {
        // Nothing registered: the tray app beside this program in its bundle.
        const QString app = Bundle::mainBundle().executablePath();
        started = !app.isEmpty() && launchApplication(app, {});
    }
    if (!started)
        return fail(QStringLiteral("Parcly Lite is not installed, and no program takes its links."));
    const QDeadlineTimer deadline(kAppStartMs);
    while (!deadline.hasExpired()) {
        const bool taken = verdict(SingleInstance::handOver({address}, kAppAnswerMs), &done);
        if (done)
            return taken;
        QThread::msleep(100);
    }
    return fail(QStringLiteral("Parcly Lite did not start within %1 seconds.").arg(kAppStartMs / 1000));
}

namespace {

// WAYLAND_DISPLAY, else DISPLAY, in an environment block of NUL-separated NAME=value entries.
QString displayIn(const QByteArray& environment)
{
    QByteArray wayland, x11;
    for (const QByteArray& entry : environment.split('\0')) {
        if (entry.startsWith("WAYLAND_DISPLAY="))
            wayland = entry.mid(16);
        else if (entry.startsWith("DISPLAY="))
            x11 = entry.mid(8);
    }
    return QString::fromLocal8Bit(!wayland.isEmpty() ? wayland : x11);
}

QString displayOfProcess(const QString& procFolder)
{
    // The environment it started with; another user's process, or one gone meanwhile, says nothing.
    QFile environment(procFolder + QStringLiteral("/environ"));
    if (!environment.open(QIODevice::ReadOnly))
        return {};
    return displayIn(environment.readAll());
}

struct BundleFacts {
    QString identifier;
    QString mainExecutable; // canonical, as /proc/<pid>/exe names it
};

} // namespace

QString Workspace::displayOfThisProcess()
{
    const QString wayland = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
    return !wayland.isEmpty() ? wayland : QString::fromLocal8Bit(qgetenv("DISPLAY"));
}

QList<RunningApplication> Workspace::runningApplications() const
{
    QList<RunningApplication> running;
    // Several processes of one bundle read its Info.plist once.
    QHash<QString, BundleFacts> bundles;
    const uid_t user = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString folder = QStringLiteral("/proc/") + entry;
        struct stat info { };
        if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || info.st_uid != user)
            continue;
        QString executable = QFileInfo(folder + QStringLiteral("/exe")).symLinkTarget();
        if (executable.isEmpty())
            continue; // a kernel thread, or a process that has already gone
        RunningApplication application;
        application.processIdentifier = pid;
        application.executablePath = executable;
        application.bundlePath = Bundle::bundlePathForExecutable(executable);
        if (!application.bundlePath.isEmpty()) {
            auto known = bundles.find(application.bundlePath);
            if (known == bundles.end()) {
                const Bundle bundle(application.bundlePath);
                known = bundles.insert(application.bundlePath,
                                       BundleFacts{bundle.bundleIdentifier(), QFileInfo(bundle.executablePath()).canonicalFilePath()});
            }
            application.bundleIdentifier = known->identifier;
            application.isMainExecutable = !known->mainExecutable.isEmpty() && known->mainExecutable == executable;
            application.display = displayOfProcess(folder);
        }
        running.append(application);
    }
    return running;
}

bool Workspace::launchApplication(const QString& executablePath, const QStringList& arguments)
{
    if (executablePath.isEmpty() || !QFileInfo(executablePath).isExecutable()) {
        logLine(QStringLiteral("Could not launch %1: no such program").arg(executablePath));
        return false;
    }
    if (!QProcess::startDetached(executablePath, arguments)) {
        logLine(QStringLiteral("Could not launch %1").arg(executablePath));
        return false;
    }
    return true;
}
