#include "app/lifecycle/HandedOverFile.h"

#include "shared/HandOffFolder.h"

#include <QFileInfo>

namespace HandedOverFile {

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

} // namespace HandedOverFile
