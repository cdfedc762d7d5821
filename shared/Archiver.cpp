#include "shared/Archiver.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Task.h"
#include "platform/TemporaryDirectory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

namespace {

const QString kZipPath = QStringLiteral("/usr/bin/zip");

// A date formatter in the user's own time zone; made once and kept for the process.
class DateFormatter {
public:
    explicit DateFormatter(const QString& format)
        : m_format(format)
    {
    }
    QString stringFromDate(const QDateTime& date) const { return date.toLocalTime().toString(m_format); }

private:
    const QString m_format;
};

const DateFormatter& dayFormatter()
{
    static const DateFormatter formatter(QStringLiteral("yyyy-MM-dd"));
    return formatter;
}

// Hyphens, not colons: this time becomes part of a file name.
const DateFormatter& timeFormatter()
{
    static const DateFormatter formatter(QStringLiteral("HH-mm-ss"));
    return formatter;
}

// The path is clean (zipFiles cleans every item), so it ends in no separator.
QString parentDirectory(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QDir::currentPath();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// Quotes what would otherwise read ambiguously in a log line.
QString describeArguments(const QStringList& arguments)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./-]+$"));
    QStringList described;
    for (const QString& argument : arguments)
        described.append(plain.match(argument).hasMatch() ? argument : QLatin1Char('"') + argument + QLatin1Char('"'));
    return QLatin1Char('(') + described.join(QStringLiteral(", ")) + QLatin1Char(')');
}

void zipItem(const QString& archivePath, const QString& path)
{
    const QString name = FileManager::lastPathComponent(path);
    Task task;
    task.setLaunchPath(kZipPath);
    task.setCurrentDirectoryPath(parentDirectory(path));
    // "./name", never the bare name: zip reads a name beginning with "-" as an option (and
    // "-TT..." as a command to run). zip stores "./name" as "name".
    task.setArguments({QStringLiteral("-r"), QStringLiteral("-9"), QStringLiteral("-x"), QStringLiteral("*.DS_Store"),
                       QStringLiteral("-D"), archivePath, QStringLiteral("./") + name});
    const bool launched = task.launch();
    task.waitUntilExit();
    logLine(QStringLiteral("Archive Task: %1 %2").arg(task.description(), describeArguments(task.arguments())));
    if (launched && task.terminationStatus() != 0)
        logLine(QStringLiteral("Archive: zip ended with status %1 adding %2").arg(task.terminationStatus()).arg(path));
}

} // namespace

QUrl Archiver::zipFiles(const QStringList& paths, QString* failure)
{
    const auto fail = [failure](const QString& why) {
        if (failure)
            *failure = why;
        return QUrl();
    };
    if (paths.isEmpty()) {
        logLine(QStringLiteral("Archive: nothing to zip"));
        return fail(QStringLiteral("There is nothing to put into an archive."));
    }
    QStringList items;
    for (const QString& path : paths) {
        // Clean, so that "dir/" and "dir/." name the folder itself. What is then left without a
        // name of its own ("/", "") would have zip run in "/" on "./": the whole file system.
        const QString item = QDir::cleanPath(path);
        const QString component = FileManager::lastPathComponent(item);
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String("..")) {
            logLine(QStringLiteral("Archive: refusing to zip \"%1\": it names the root folder or nothing, not a file or folder to share").arg(path));
            return fail(QStringLiteral("\"%1\" names the root folder or nothing, not a file or folder to share.").arg(path));
        }
        items.append(item);
    }

    const QString directory = temporaryDirectory();
    if (directory.isEmpty()) {
        // Without it the archive would land in whatever folder zip runs in: the user's own.
        logLine(QStringLiteral("Archive: no temporary directory to write the archive to"));
        return fail(QStringLiteral("There is no safe private folder to make the archive in."));
    }

    const QString name = items.size() < 2 ? FileManager::lastPathComponent(items.first()) + QStringLiteral(".zip")
                                          : captureTemporaryFilePathWithName(QStringLiteral("Archive"));
    const QString archivePath = directory + name;

    if (FileManager::itemExistsAtPath(archivePath)) {
        logLine(QStringLiteral("File exists at path: %1").arg(archivePath));
        if (!FileManager::removeItemAtPath(archivePath))
            logLine(QStringLiteral("Could not delete existing archive at path: %1").arg(archivePath));
    }

    for (const QString& item : items)
        zipItem(archivePath, item);

    return QUrl::fromLocalFile(archivePath);
}

void Archiver::zipFiles(const QStringList& paths, std::function<void(const QUrl& archive)> complete)
{
    // One worker: archives are made one after another, so two drops of the same folder never
    // write to the same archive at once, and their uploads start in the order of the drops. A
    // child of the application, which at exit waits for the archive in the making while it can
    // still take (and drop) the completion.
    static QPointer<QThreadPool> worker;
    if (!worker) {
        worker = new QThreadPool(QCoreApplication::instance());
        worker->setObjectName(QStringLiteral("Archiver"));
        worker->setMaxThreadCount(1);
    }
    worker->start([paths, complete = std::move(complete)] {
        const QUrl archive = zipFiles(paths);
        dispatchToMainQueue([complete, archive] { complete(archive); });
    });
}

QString Archiver::captureTemporaryFilePathWithName(const QString& name)
{
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1 on %2 at %3.%4")
        .arg(name, dayFormatter().stringFromDate(now), timeFormatter().stringFromDate(now), QStringLiteral("zip"));
}
