#include "app/lifecycle/HandedOverFile.h"

#include "app/lifecycle/URLExtensions.h"
#include "shared/HandOffFolder.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace HandedOverFile {

namespace {
const QString kHandleURLKey = QStringLiteral("handleURL");
}

QUrl fileURL(const QUrl& handOffURL, bool* hasValue)
{
    QString value;
    const QString query = handOffURL.query(QUrl::FullyEncoded);
    const QString prefix = kHandleURLKey + QLatin1Char('=');
    if (query.startsWith(prefix))
        value = QUrl::fromPercentEncoding(query.mid(prefix.size()).toUtf8());
    if (value.isEmpty() || value.contains(QChar::ReplacementCharacter))
        value = Extensions::parameterForKey(handOffURL, kHandleURLKey);
    if (hasValue)
        *hasValue = !value.isNull();
    if (value.isNull())
        return {};
    const QUrl strict = Extensions::URLWithString(value);
    if (strict.isValid())
        return strict;
    return QUrl(value, QUrl::TolerantMode);
}

QString acceptedPath(const QUrl& url, QString* reason)
{
    const auto refuse = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return QString();
    };
    if (!url.isLocalFile() || url.toLocalFile().isEmpty())
        return refuse(QStringLiteral("not a file URL"));
    const QString folder = QFileInfo(shareHandOffDirectory()).canonicalFilePath();
    if (folder.isEmpty())
        return refuse(QStringLiteral("the hand-off folder is not available"));
    const QFileInfo item(url.toLocalFile());
    // Resolved, so neither ".." nor a symlink can lead out of the folder.
    const QString resolved = item.canonicalFilePath();
    if (resolved.isEmpty())
        return refuse(QStringLiteral("no such file"));
    if (!resolved.startsWith(folder + QLatin1Char('/')))
        return refuse(QStringLiteral("not in the share extension's hand-off folder"));
    const QFileInfo target(resolved);
    if (!target.isFile() && !target.isDir())
        return refuse(QStringLiteral("not a regular file or folder"));
    return resolved;
}

QString identity(const QString& path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    return QStringLiteral("%1:%2:%3.%4:%5").arg(info.st_dev).arg(info.st_ino).arg(info.st_ctim.tv_sec).arg(info.st_ctim.tv_nsec).arg(path);
}

} // namespace HandedOverFile
