#include "platform/TemporaryDirectory.h"

#include "platform/Log.h"

#include <QFile>
#include <QMutex>

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
    struct stat info {};
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

QString perUserFolder()
{
    QString base = QFile::decodeName(qgetenv("TMPDIR"));
    if (base.isEmpty())
        base = QStringLiteral("/tmp");
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return privateFolder(QStringLiteral("%1/parcly-%2").arg(base).arg(::getuid()));
}

} // namespace

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
