#include "shared/Archiver.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Task.h"
#include "platform/TemporaryDirectory.h"
#include "shared/ShareableItem.h"
#include "shared/WorkFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>

#include <vector>

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

// An item as given, once checked: what zip is run on, and under which name.
struct Item {
    QString path;
    QString name;
    bool folder = false;
    // The item is itself a link (to a file or a folder).
    bool link = false;
};

// zip's patterns read "*", "?", "[" and "]" as wildcards and "\" as their escape: an entry's
// name, written so that it matches that entry alone.
QString literalPattern(const QString& name)
{
    QString pattern;
    for (const QChar c : name) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char(']'))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    return pattern;
}

// zip's status for "nothing to do": the item held no file (an empty folder, or one of pipes).
constexpr int kZipNothingToDo = 12;

// Runs zip on one item; returns its exit status, or -1 when it could not be run.
int zipItem(const QString& archivePath, const Item& item, const QStringList& leftOut)
{
    QStringList arguments{QStringLiteral("-r")};
    // Links inside a folder go in as links: followed, one pointing out of the folder would bring in
    // files never shared, and one pointing up would repeat the folder inside itself without end. A
    // file given here is read as it is, through its link if it is one: it is what was shared.
    if (item.folder)
        arguments << QStringLiteral("-y");
    arguments << QStringLiteral("-9") << QStringLiteral("-x") << QStringLiteral("*.DS_Store");
    // Pipes, sockets and devices stay out: zip would fail on a socket (and, asked to, wait on a
    // pipe or read a device for ever).
    for (const QString& entry : leftOut)
        arguments << literalPattern(entry);
    // "./name", never the bare name: zip reads a name beginning with "-" as an option (and
    // "-TT..." as a command to run). zip stores "./name" as "name". A link to a folder is given as
    // "./name/", which zip walks as the folder it names, storing its entries under "name/".
    arguments << QStringLiteral("-D") << archivePath
              << QStringLiteral("./") + item.name + (item.folder && item.link ? QStringLiteral("/") : QString());

    Task task;
    task.setLaunchPath(kZipPath);
    task.setCurrentDirectoryPath(parentDirectory(item.path));
    task.setArguments(arguments);
    const bool launched = task.launch();
    task.waitUntilExit();
    logLine(QStringLiteral("Archive Task: %1 %2").arg(task.description(), describeArguments(task.arguments())));
    if (!launched)
        return -1;
    if (task.terminationStatus() != 0)
        logLine(QStringLiteral("Archive: zip ended with status %1 adding %2").arg(task.terminationStatus()).arg(item.path));
    return task.terminationStatus();
}

QString quotedList(const QStringList& names)
{
    QStringList quoted;
    for (const QString& name : names)
        quoted.append(QLatin1Char('"') + name + QLatin1Char('"'));
    return quoted.join(QStringLiteral(", "));
}

// The sentence for items that cannot be read: the first named, within its folder, and how many
// more there are in that folder.
QString unreadableSentence(const Item& item, const QStringList& unreadable, bool onlyItem)
{
    const QString first = unreadable.first();
    if (first == item.name)
        return QStringLiteral("\"%1\" cannot be read, so %2.")
            .arg(item.name, onlyItem ? QStringLiteral("it was not shared") : QStringLiteral("nothing was shared"));
    const qsizetype more = unreadable.size() - 1;
    const QString others = more == 0 ? QString()
        : more == 1                  ? QStringLiteral(" and 1 more item")
                                     : QStringLiteral(" and %1 more items").arg(more);
    return QStringLiteral("\"%1\"%2 in \"%3\" cannot be read, so %4.")
        .arg(first.mid(item.name.size() + 1), others, item.name,
             onlyItem ? QStringLiteral("the folder was not shared") : QStringLiteral("nothing was shared"));
}

} // namespace

Archiver::Result Archiver::makeArchive(const QStringList& paths)
{
    Result result;
    const auto fail = [&result](const QString& why) {
        result.archive.clear();
        result.failure = why;
        // Nothing was shared, so nothing was left out of it.
        result.skipped.clear();
        return result;
    };
    if (paths.isEmpty()) {
        logLine(QStringLiteral("Archive: nothing to zip"));
        return fail(QStringLiteral("There is nothing to put into an archive."));
    }
    std::vector<Item> items;
    for (const QString& path : paths) {
        // Clean, so that "dir/" and "dir/." name the folder itself. What is then left without a
        // name of its own ("/", "") would have zip run in "/" on "./": the whole file system.
        const QString clean = QDir::cleanPath(path);
        const QString component = FileManager::lastPathComponent(clean);
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String("..")) {
            logLine(QStringLiteral("Archive: refusing to zip \"%1\": it names the root folder or nothing, not a file or folder to share")
                        .arg(path));
            return fail(QStringLiteral("\"%1\" names the root folder or nothing, not a file or folder to share.").arg(path));
        }
        // Missing, a pipe, a socket, a device: refused before anything is made.
        const QString refusal = ShareableItem::refusal(clean);
        if (!refusal.isEmpty()) {
            logLine(QStringLiteral("Archive: refusing to zip \"%1\": %2").arg(path, refusal));
            return fail(refusal);
        }
        const QFileInfo info(clean);
        items.push_back({clean, component, info.isDir(), info.isSymLink()});
    }

    // Everything is checked before zip runs: zip itself passes over what it cannot read with a
    // warning, and the drop would lack it without anyone knowing.
    std::vector<QStringList> leftOut(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        QStringList unreadable;
        if (item.folder) {
            ShareableItem::Survey survey = ShareableItem::survey(item.path, item.name);
            unreadable = survey.unreadable;
            leftOut[i] = survey.skipped;
            result.skipped += survey.skipped;
        } else if (!QFileInfo(item.path).isReadable()) {
            unreadable.append(item.name);
        }
        if (!unreadable.isEmpty()) {
            logLine(QStringLiteral("Archive: not zipping %1: %2 items in it cannot be read, the first \"%3\"")
                        .arg(item.path)
                        .arg(unreadable.size())
                        .arg(unreadable.first()));
            return fail(unreadableSentence(item, unreadable, items.size() == 1));
        }
    }

    const QString directory = temporaryDirectory();
    // Without it the archive would land in whatever folder zip runs in: the user's own.
    const QString folder = directory.isEmpty() ? QString() : WorkFolder::create(directory);
    if (folder.isEmpty()) {
        logLine(QStringLiteral("Archive: no temporary directory to write the archive to"));
        return fail(QStringLiteral("There is no safe private folder to make the archive in."));
    }
    const QString name
        = items.size() < 2 ? items.front().name + QStringLiteral(".zip") : captureTemporaryFilePathWithName(QStringLiteral("Archive"));
    const QString archivePath = folder + name;

    for (size_t i = 0; i < items.size(); ++i) {
        const int status = zipItem(archivePath, items[i], leftOut[i]);
        if (status == 0 || status == kZipNothingToDo)
            continue;
        WorkFolder::removeContaining(archivePath);
        if (status < 0)
            return fail(QStringLiteral("The archive could not be made: the zip tool could not be started."));
        return fail(QStringLiteral("The archive could not be made: zip failed (status %1) adding \"%2\".").arg(status).arg(items[i].name));
    }
    if (!QFileInfo(archivePath).isFile()) {
        WorkFolder::removeContaining(archivePath);
        QStringList names;
        for (const Item& item : items)
            names.append(item.name);
        logLine(QStringLiteral("Archive: nothing went into %1").arg(archivePath));
        return fail(QStringLiteral("There are no files in %1 to put into an archive.").arg(quotedList(names)));
    }
    if (!result.skipped.isEmpty())
        logLine(QStringLiteral("Archive: left out %1 items that are not files or folders: %2")
                    .arg(result.skipped.size())
                    .arg(quotedList(result.skipped)));
    result.archive = QUrl::fromLocalFile(archivePath);
    return result;
}

void Archiver::makeArchive(const QStringList& paths, std::function<void(const Result& result)> complete)
{
    // One worker: zip keeps a core busy, and the uploads start in the order of the drops. A child
    // of the application, which at exit waits for the archive in the making while it can still
    // take (and drop) the completion.
    static QPointer<QThreadPool> worker;
    if (!worker) {
        worker = new QThreadPool(QCoreApplication::instance());
        worker->setObjectName(QStringLiteral("Archiver"));
        worker->setMaxThreadCount(1);
    }
    worker->start([paths, complete = std::move(complete)] {
        const Result result = makeArchive(paths);
        dispatchToMainQueue([complete, result] { complete(result); });
    });
}

QUrl Archiver::zipFiles(const QStringList& paths, QString* failure)
{
    const Result result = makeArchive(paths);
    if (failure)
        *failure = result.failure;
    return result.archive;
}

void Archiver::zipFiles(const QStringList& paths, std::function<void(const QUrl& archive, const QString& failure)> complete)
{
    makeArchive(paths, [complete = std::move(complete)](const Result& result) { complete(result.archive, result.failure); });
}

QString Archiver::captureTemporaryFilePathWithName(const QString& name)
{
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1 on %2 at %3.%4")
        .arg(name, dayFormatter().stringFromDate(now), timeFormatter().stringFromDate(now), QStringLiteral("zip"));
}
