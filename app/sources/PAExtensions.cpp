#include "app/sources/PAExtensions.h"

#include "app/service/API.h"
#include "platform/Log.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QVariantList>

const QString PAImageDataKey = QStringLiteral("PAImageDataKey");
const QString PAImageNameKey = QStringLiteral("PAImageNameKey");

namespace {

// The web archive's first image subresource as (MIME type, bytes); both empty when there is none.
std::pair<QString, QByteArray> firstWebArchiveImage(const Pasteboard& pasteboard)
{
    const QVariant archive = pasteboard.propertyListForType(PasteboardTypeWebArchive);
    if (archive.typeId() != QMetaType::QVariantMap)
        return {};
    const QVariantList resources = archive.toMap().value(QStringLiteral("WebSubresources")).toList();
    for (const QVariant& resource : resources) {
        const QVariantMap fields = resource.toMap();
        const QString mimeType = fields.value(QStringLiteral("WebResourceMIMEType")).toString();
        if (mimeType == QLatin1String("image/gif") || mimeType == QLatin1String("image/jpeg") || mimeType == QLatin1String("image/png"))
            return {mimeType, fields.value(QStringLiteral("WebResourceData")).toByteArray()};
    }
    return {};
}

QString lastPathComponent(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QString pathExtension(const QString& component)
{
    const qsizetype dot = component.lastIndexOf(u'.');
    return dot < 0 ? QString() : component.mid(dot + 1);
}

} // namespace

namespace PAExtensions {

QVariantMap imageData(const Pasteboard& pasteboard)
{
    QByteArray data;
    QString extension;
    if (!(data = gifData(pasteboard)).isEmpty()) {
        extension = QStringLiteral("gif");
    } else if (!(data = jpgData(pasteboard)).isEmpty()) {
        extension = QStringLiteral("jpg");
    } else if (!(data = pngData(pasteboard)).isEmpty()) {
        extension = QStringLiteral("png");
    } else if (!(data = imageDataFromWebArchive(pasteboard)).isEmpty()) {
        extension = extensionFromWebArchive(pasteboard);
    } else {
        data = defaultData(pasteboard);
        extension = QStringLiteral("png");
    }
    const QString name = fileNameFromClipboardOrDefaultForExtension(pasteboard, extension);
    if (data.isEmpty())
        return {};
    return {{PAImageDataKey, data}, {PAImageNameKey, name}};
}

QByteArray gifData(const Pasteboard& pasteboard)
{
    return pasteboard.dataForType(PasteboardTypeGIF);
}

QByteArray jpgData(const Pasteboard& pasteboard)
{
    return pasteboard.dataForType(PasteboardTypeJPEG);
}

QByteArray pngData(const Pasteboard& pasteboard)
{
    return pasteboard.dataForType(PasteboardTypePNG);
}

QByteArray imageDataFromWebArchive(const Pasteboard& pasteboard)
{
    return firstWebArchiveImage(pasteboard).second;
}

QString extensionFromWebArchive(const Pasteboard& pasteboard)
{
    const QString mimeType = firstWebArchiveImage(pasteboard).first;
    if (mimeType == QLatin1String("image/gif"))
        return QStringLiteral("gif");
    if (mimeType == QLatin1String("image/jpeg"))
        return QStringLiteral("jpg");
    if (mimeType == QLatin1String("image/png"))
        return QStringLiteral("png");
    return {};
}

QByteArray defaultData(const Pasteboard& pasteboard)
{
    const QByteArray tiff = pasteboard.dataForType(PasteboardTypeTIFF);
    QImage image;
    if (!tiff.isEmpty()) {
        QBuffer buffer;
        buffer.setData(tiff);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer); // the first image of the file
        image = reader.read();
    }
    if (image.isNull()) {
        logLine(QStringLiteral("Image data unavailable in drag operation."));
        return {};
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    return png;
}

QString imageURL(const Pasteboard& pasteboard)
{
    const QVariant urls = pasteboard.propertyListForType(NSURLPboardType);
    if (urls.typeId() != QMetaType::QStringList && urls.typeId() != QMetaType::QVariantList)
        return {};
    for (const QString& url : urls.toStringList()) {
        const QString extension = pathExtension(lastPathComponent(url));
        if (extension.startsWith(QLatin1String("png")) || extension.startsWith(QLatin1String("gif"))
            || extension.startsWith(QLatin1String("jpg")))
            return url;
    }
    return {};
}

QString fileNameFromClipboardOrDefaultForExtension(const Pasteboard& pasteboard, const QString& extension)
{
    const QString url = imageURL(pasteboard);
    if (!url.isEmpty()) {
        QString name = lastPathComponent(url);
        const qsizetype question = name.indexOf(u'?');
        if (question >= 0)
            name.truncate(question);
        if (!pathExtension(name).isEmpty())
            return name;
    }
    return API::instance().nameForDrop(QStringLiteral("Image upload"), extension, true);
}

} // namespace PAExtensions
