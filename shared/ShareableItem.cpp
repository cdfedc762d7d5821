#include "shared/ShareableItem.h"

#include "platform/FileManager.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace ShareableItem {

QString refusal(const QString& path)
{
    const QString name = FileManager::lastPathComponent(path);
    struct stat info { };
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

namespace {

// Permission as the process itself would meet it when zip opens the item (ACLs included).
bool accessible(const QByteArray& path, int mode)
{
    return ::faccessat(AT_FDCWD, path.constData(), mode, AT_EACCESS) == 0;
}

} // namespace

Survey survey(const QString& folder, const QString& name)
{
    Survey found;
    // (path on disk, path in the archive); depth first, each folder's entries in the order read.
    std::vector<std::pair<QByteArray, QString>> folders{{QFile::encodeName(folder), name}};
    while (!folders.empty()) {
        auto [path, entry] = std::move(folders.back());
        folders.pop_back();
        if (!accessible(path, R_OK | X_OK)) {
            found.unreadable.append(entry);
            continue;
        }
        DIR* directory = ::opendir(path.constData());
        if (!directory) {
            found.unreadable.append(entry);
            continue;
        }
        std::vector<std::pair<QByteArray, QString>> below;
        while (const dirent* child = ::readdir(directory)) {
            if (std::strcmp(child->d_name, ".") == 0 || std::strcmp(child->d_name, "..") == 0)
                continue;
            const QByteArray childPath = path + '/' + child->d_name;
            const QString childEntry = entry + QLatin1Char('/') + QFile::decodeName(child->d_name);
            struct stat info { };
            // lstat: a link is looked at as a link, never as what it names.
            if (::lstat(childPath.constData(), &info) != 0) {
                found.unreadable.append(childEntry);
                continue;
            }
            if (S_ISDIR(info.st_mode))
                below.emplace_back(childPath, childEntry);
            else if (S_ISREG(info.st_mode)) {
                if (!accessible(childPath, R_OK))
                    found.unreadable.append(childEntry);
            } else if (!S_ISLNK(info.st_mode))
                found.skipped.append(childEntry);
        }
        ::closedir(directory);
        // Reversed onto the stack, so that folders are walked in the order they were read.
        folders.insert(folders.end(), std::make_move_iterator(below.rbegin()), std::make_move_iterator(below.rend()));
    }
    return found;
}

} // namespace ShareableItem
