#include "platform/TemporaryDirectory.h"

#include "platform/Log.h"

#include <QFile>
#include <QMutex>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QMutex subfolderMutex;
QString processSubfolder;

// Creates the folder if needed and checks that it is a real directory of ours, mode 0700.
// Returns the path with a trailing "/", or an empty string (logged) when it cannot be made safe.
QString privateFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);

    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        logLine(QStringLiteral("Temporary directory: cannot create %1: %2").arg(path, errnoText()));
        return QString();
    }
    // lstat, so that a symlink planted by someone else is refused rather than followed.
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0) {
        logLine(QStringLiteral("Temporary directory: cannot inspect %1: %2").arg(path, errnoText()));
        return QString();
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        logLine(QStringLiteral("Temporary directory: refusing %1: not a directory owned by this user").arg(path));
        return QString();
    }
    if ((info.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        logLine(QStringLiteral("Temporary directory: cannot restrict %1: %2").arg(path, errnoText()));
        return QString();
    }
    return path + QLatin1Char('/');
}

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString perUserFolder()
{
    QString base = QFile::decodeName(qgetenv("TMPDIR"));
    if (base.isEmpty())
        base = QStringLiteral("/tmp");
    const QString shared = QStringLiteral("%1/parcly-%2").arg(withoutTrailingSlashes(base)).arg(::getuid());
    const QString folder = privateFolder(shared);
    if (!folder.isEmpty())
        return folder;
    // Someone else made it first (or planted a link): our own cache folder cannot be squatted.
    const QString fallback = privateCacheFolder(QStringLiteral("tmp"));
    static std::atomic_bool told = false;
    if (!fallback.isEmpty() && !told.exchange(true))
        logLine(QStringLiteral("Temporary directory: using %1 instead of %2").arg(fallback, shared));
    return fallback;
}

} // namespace

QString privateCacheFolder(const QString& name)
{
    QString cache = QFile::decodeName(qgetenv("XDG_CACHE_HOME"));
    // XDG base directories: a relative value is invalid and ignored.
    if (cache.isEmpty() || !cache.startsWith(QLatin1Char('/'))) {
        const QString home = QFile::decodeName(qgetenv("HOME"));
        if (home.isEmpty() || !home.startsWith(QLatin1Char('/'))) {
            logLine(QStringLiteral("Temporary directory: no home folder for a private %1 folder").arg(name));
            return QString();
        }
        cache = home + QStringLiteral("/.cache");
    }
    cache = withoutTrailingSlashes(cache);
    // The cache folder itself is the user's own; only what we make inside it must be private.
    if (::mkdir(QFile::encodeName(cache).constData(), 0700) != 0 && errno != EEXIST) {
        logLine(QStringLiteral("Temporary directory: cannot create %1: %2").arg(cache, errnoText()));
        return QString();
    }
    const QString parcly = privateFolder(cache + QStringLiteral("/parcly"));
    return parcly.isEmpty() ? QString() : privateFolder(parcly + name);
}

QString temporaryDirectory()
{
    QString subfolder;
    {
        const QMutexLocker lock(&subfolderMutex);
        subfolder = processSubfolder;
    }
    return subfolder.isEmpty() ? perUserFolder() : temporaryDirectoryWithSubfolder(subfolder);
}

void setTemporaryDirectorySubfolder(const QString& name)
{
    const QMutexLocker lock(&subfolderMutex);
    processSubfolder = name;
}

QString temporaryDirectoryWithSubfolder(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String("..")) {
        logLine(QStringLiteral("Temporary directory: refusing the subfolder name \"%1\"").arg(name));
        return QString();
    }
    const QString parent = perUserFolder();
    return parent.isEmpty() ? QString() : privateFolder(parent + name);
}
