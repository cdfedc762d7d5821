#include "CaptureFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace CaptureFile {

QString problemWriting(const QString& path)
{
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("cannot write %1: no such folder").arg(path);
    if (!folder.isWritable())
        return QStringLiteral("cannot write %1: the folder is not writable").arg(path);
    if (file.isDir())
        return QStringLiteral("cannot write %1: it is a folder").arg(path);
    return {};
}

namespace {

bool commit(QSaveFile& file, const QString& path, QString* error)
{
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

bool writePng(const QImage& image, const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!image.save(&file, "PNG")) {
        file.cancelWriting();
        *error = QStringLiteral("cannot write %1: the image could not be encoded").arg(path);
        return false;
    }
    return commit(file, path, error);
}

bool moveInto(const QString& source, const QString& path, QString* error)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(source, input.errorString());
        return false;
    }
    QSaveFile output(path);
    if (!output.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, output.errorString());
        return false;
    }
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(1 << 20);
        if (chunk.isEmpty() || output.write(chunk) != chunk.size()) {
            output.cancelWriting();
            *error = QStringLiteral("cannot copy %1 to %2").arg(source, path);
            return false;
        }
    }
    if (!commit(output, path, error))
        return false;
    input.close();
    input.remove();
    return true;
}

} // namespace CaptureFile
