#include "shared/ShareableItem.h"

#include "platform/FileManager.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace ShareableItem {

QString refusal(const QString& path)
{
    const QString name = FileManager::lastPathComponent(path);
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("\"%1\" cannot be shared: %2.").arg(name, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        return QString();
    QString kind = QStringLiteral("not a file or folder");
    if (S_ISFIFO(info.st_mode))
        kind = QStringLiteral("a named pipe");
    else if (S_ISSOCK(info.st_mode))
        kind = QStringLiteral("a socket");
    else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        kind = QStringLiteral("a device");
    return QStringLiteral("\"%1\" is %2: only files and folders can be shared.").arg(name, kind);
}

} // namespace ShareableItem
