#include "shared/WorkFolder.h"

#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "shared/HandOffFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kPrefix = QStringLiteral("work-");

bool isWorkFolderName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^work-[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

// Only a real directory of ours is ever removed: never one reached through a symlink.
bool isOwnDirectory(const QString& path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

bool removeFolder(const QString& folder)
{
    if (!isOwnDirectory(folder))
        return false;
    // QDir::removeRecursively deletes links, never what they point to.
    if (!QDir(folder).removeRecursively()) {
        logLine(QStringLiteral("Work folder: could not remove %1").arg(folder));
        return false;
    }
    return true;
}

} // namespace

namespace WorkFolder {

QString create(const QString& parent)
{
    if (parent.isEmpty() || !parent.endsWith(QLatin1Char('/'))) {
        logLine(QStringLiteral("Work folder: no private folder to make one in"));
        return QString();
    }
    QByteArray pattern = QFile::encodeName(parent + kPrefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        logLine(QStringLiteral("Work folder: cannot create one in %1: %2").arg(parent, QString::fromLocal8Bit(std::strerror(errno))));
        return QString();
    }
    return QFile::decodeName(pattern) + QLatin1Char('/');
}

bool removeContaining(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    const QString folder = QFileInfo(clean).path();
    if (!isWorkFolderName(QFileInfo(folder).fileName()))
        return false;
    // Only a work folder in one of our private folders: a user's own folder that happens to have
    // such a name is never removed.
    const QString parent = QFileInfo(QFileInfo(folder).path()).canonicalFilePath();
    const auto isParent = [&parent](const QString& ours) { return !ours.isEmpty() && QFileInfo(ours).canonicalFilePath() == parent; };
    if (parent.isEmpty() || !(isParent(temporaryDirectory()) || isParent(shareHandOffDirectory())))
        return false;
    return removeFolder(folder);
}

int sweep(const QString& parent, std::chrono::seconds age)
{
    if (parent.isEmpty())
        return 0;
    const QDateTime cutoff = QDateTime::currentDateTimeUtc().addSecs(-age.count());
    int removed = 0;
    const QFileInfoList entries
        = QDir(parent).entryInfoList({kPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        if (!isWorkFolderName(entry.fileName()) || entry.lastModified().toUTC() > cutoff)
            continue;
        if (removeFolder(entry.filePath())) {
            logLine(QStringLiteral("Work folder: removed %1, left over from an earlier run").arg(entry.filePath()));
            ++removed;
        }
    }
    return removed;
}

} // namespace WorkFolder
