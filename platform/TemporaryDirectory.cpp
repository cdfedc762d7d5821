#include "platform/TemporaryDirectory.h"

#include "platform/Log.h"

#include <QFile>

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

} // namespace

QString temporaryDirectory()
{
    QString base = QFile::decodeName(qgetenv("TMPDIR"));
    if (base.isEmpty())
        base = QStringLiteral("/tmp");
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QString path = QStringLiteral("%1/parcly-%2").arg(base).arg(::getuid());
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
