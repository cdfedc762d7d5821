#include "platform/MimeTypes.h"

#include <QMimeDatabase>

QString mimeTypeForExtension(const QString& extension)
{
    static const QString unknown = QStringLiteral("application/octet-stream");
    if (extension.isEmpty())
        return unknown;
    // QMimeDatabase is thread-safe; a name-only lookup never touches the file system.
    const QMimeDatabase database;
    const QList<QMimeType> types = database.mimeTypesForFileName(QStringLiteral("file.") + extension);
    return types.isEmpty() ? unknown : types.first().name();
}
