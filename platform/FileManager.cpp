#include "platform/FileManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool FileManager::itemExistsAtPath(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool FileManager::removeItemAtPath(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

QString FileManager::lastPathComponent(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    return trimmed.mid(trimmed.lastIndexOf(QLatin1Char('/')) + 1);
}
