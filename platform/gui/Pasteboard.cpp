#include "platform/gui/Pasteboard.h"

#include "platform/Log.h"
#include "platform/gui/WebArchive.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeData>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>

#include <utility>
#include <vector>

namespace {

const QString kUriList = QStringLiteral("text/uri-list");
const QString kMozUrl = QStringLiteral("text/x-moz-url");
const QString kHtml = QStringLiteral("text/html");
const QString kPlainUtf8 = QStringLiteral("text/plain;charset=utf-8");
const QString kQtImage = QStringLiteral("application/x-qt-image");
const QString kOctetStream = QStringLiteral("application/octet-stream");

// Types whose bytes are simply those of one of a few MIME types, in the order they are looked for.
const std::vector<std::pair<QString, QStringList>>& plainTypes()
{
    static const std::vector<std::pair<QString, QStringList>> table = {
        {PasteboardTypePNG, {QStringLiteral("image/png")}},
        {PasteboardTypeJPEG, {QStringLiteral("image/jpeg"), QStringLiteral("image/jpg"), QStringLiteral("image/pjpeg")}},
        {PasteboardTypeGIF, {QStringLiteral("image/gif")}},
        {PasteboardTypeWebArchive, {WebArchiveMimeType}},
        {NSHTMLPboardType, {kHtml}},
        {NSRTFPboardType, {QStringLiteral("text/rtf"), QStringLiteral("application/rtf")}},
        {NSPDFPboardType, {QStringLiteral("application/pdf")}},
        {NSPostScriptPboardType, {QStringLiteral("application/postscript")}},
        {NSVCardPboardType, {QStringLiteral("text/vcard"), QStringLiteral("text/x-vcard")}},
        {NSTabularTextPboardType, {QStringLiteral("text/tab-separated-values")}},
        {NSColorPboardType, {QStringLiteral("application/x-color")}},
        {NSFileContentsPboardType, {kOctetStream}},
        {NSFilesPromisePboardType, {QStringLiteral("XdndDirectSave0")}},
    };
    return table;
}

const QStringList* mimeTypesFor(const QString& type)
{
    for (const auto& [name, mimeTypes] : plainTypes()) {
        if (name == type)
            return &mimeTypes;
    }
    return nullptr;
}

QByteArray firstPresent(const QMimeData& data, const QStringList& mimeTypes)
{
    for (const QString& mimeType : mimeTypes) {
        if (data.hasFormat(mimeType)) {
            const QByteArray bytes = data.data(mimeType);
            if (!bytes.isEmpty())
                return bytes;
        }
    }
    return {};
}

// The image format ("png", "jpeg", "gif"...) of some bytes, judged from their content.
QByteArray imageFormatOf(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return reader.canRead() ? reader.format() : QByteArray();
}

// Some browsers hand a dragged image over as a file's contents (application/octet-stream); when
// those bytes are a PNG, JPEG or GIF they are offered as such, untouched.
QByteArray imageBytes(const QMimeData& data, const QString& type, const QByteArray& format)
{
    QByteArray bytes = firstPresent(data, *mimeTypesFor(type));
    if (bytes.isEmpty() && data.hasFormat(kOctetStream)) {
        const QByteArray contents = data.data(kOctetStream);
        if (imageFormatOf(contents) == format)
            bytes = contents;
    }
    return bytes;
}

const std::vector<std::pair<QString, QByteArray>>& sniffedImageTypes()
{
    static const std::vector<std::pair<QString, QByteArray>> table
        = {{PasteboardTypePNG, "png"}, {PasteboardTypeJPEG, "jpeg"}, {PasteboardTypeGIF, "gif"}};
    return table;
}

// Browsers on X11 send some text as UTF-16 (text/x-moz-url always, text/html sometimes), with or
// without a byte-order mark; everything else is UTF-8.
QString decodeText(const QByteArray& bytes)
{
    QString text;
    if (bytes.startsWith("\xFF\xFE"))
        text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes.mid(2));
    else if (bytes.startsWith("\xFE\xFF"))
        text = QStringDecoder(QStringDecoder::Utf16BE).decode(bytes.mid(2));
    else if (bytes.size() >= 2 && bytes.size() % 2 == 0 && bytes.at(1) == '\0' && bytes.at(0) != '\0')
        text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes);
    else
        text = QString::fromUtf8(bytes);
    while (text.endsWith(QChar(u'\0')))
        text.chop(1);
    return text;
}

QStringList uriListEntries(const QMimeData& data)
{
    QStringList urls;
    if (!data.hasFormat(kUriList))
        return urls;
    const QStringList lines = decodeText(data.data(kUriList)).split(QRegularExpression(QStringLiteral("[\r\n]+")));
    for (const QString& line : lines) {
        const QString url = line.trimmed();
        if (!url.isEmpty() && !url.startsWith(u'#'))
            urls.append(url);
    }
    return urls;
}

// text/x-moz-url holds "url\ntitle" pairs.
QStringList mozUrlEntries(const QMimeData& data)
{
    QStringList urls;
    if (!data.hasFormat(kMozUrl))
        return urls;
    const QStringList lines = decodeText(data.data(kMozUrl)).split(u'\n');
    for (qsizetype i = 0; i < lines.size(); i += 2) {
        const QString url = lines.at(i).trimmed();
        if (!url.isEmpty())
            urls.append(url);
    }
    return urls;
}

QString decodeHtmlAttribute(QString value)
{
    value.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    value.replace(QStringLiteral("&#39;"), QStringLiteral("'"));
    value.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    value.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    value.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return value.trimmed();
}

// The absolute src of each <img> in the drag's HTML. Relative ones cannot be resolved without the
// page's address, and data: URLs name nothing.
QStringList imageSources(const QMimeData& data)
{
    QStringList sources;
    if (!data.hasFormat(kHtml))
        return sources;
    static const QRegularExpression img(QStringLiteral(R"re(<img\b[^>]*?\ssrc\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s"'>]+)))re"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QString html = decodeText(data.data(kHtml));
    for (auto it = img.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString src = match.captured(1);
        if (src.isNull())
            src = match.captured(2);
        if (src.isNull())
            src = match.captured(3);
        src = decodeHtmlAttribute(src);
        const QUrl url(src);
        if (url.isValid() && !url.isRelative() && url.scheme() != QLatin1String("data"))
            sources.append(src);
    }
    return sources;
}

QStringList allUrls(const QMimeData& data)
{
    QStringList urls = uriListEntries(data);
    if (urls.isEmpty())
        urls = mozUrlEntries(data);
    for (const QString& src : imageSources(data)) {
        if (!urls.contains(src))
            urls.append(src);
    }
    return urls;
}

QStringList localPaths(const QMimeData& data)
{
    QStringList paths;
    for (const QString& entry : uriListEntries(data)) {
        const QUrl url(entry);
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    return paths;
}

const QStringList& decodableImageMimeTypes()
{
    static const QStringList types = [] {
        QStringList list;
        for (const QByteArray& type : QImageReader::supportedMimeTypes())
            list.append(QString::fromLatin1(type));
        return list;
    }();
    return types;
}

// Any image the drag carries that Qt can decode, as an image; TIFF itself is passed through as bytes.
QImage anyImage(const QMimeData& data)
{
    for (const QString& format : data.formats()) {
        if (!decodableImageMimeTypes().contains(format))
            continue;
        const QImage image = QImage::fromData(data.data(format));
        if (!image.isNull())
            return image;
    }
    if (data.hasImage()) {
        const QImage image = qvariant_cast<QImage>(data.imageData());
        if (!image.isNull())
            return image;
    }
    if (data.hasFormat(kOctetStream))
        return QImage::fromData(data.data(kOctetStream));
    return {};
}

bool hasAnyImage(const QMimeData& data)
{
    const QStringList formats = data.formats();
    for (const QString& format : formats) {
        if (format == kQtImage || decodableImageMimeTypes().contains(format))
            return true;
    }
    return data.hasFormat(kOctetStream) && !imageFormatOf(data.data(kOctetStream)).isEmpty();
}

QByteArray tiffData(const QMimeData& data)
{
    if (data.hasFormat(QStringLiteral("image/tiff"))) {
        const QByteArray tiff = data.data(QStringLiteral("image/tiff"));
        if (!tiff.isEmpty())
            return tiff;
    }
    const QImage image = anyImage(data);
    if (image.isNull())
        return {};
    QByteArray tiff;
    QBuffer buffer(&tiff);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    if (!writer.write(image))
        return {};
    return tiff;
}

QString plainText(const QMimeData& data)
{
    if (data.hasFormat(kPlainUtf8))
        return QString::fromUtf8(data.data(kPlainUtf8));
    if (data.hasText())
        return data.text();
    return {};
}

QMimeData* copyOf(const QMimeData* source)
{
    auto* copy = new QMimeData;
    if (source) {
        for (const QString& format : source->formats())
            copy->setData(format, source->data(format));
    }
    return copy;
}

} // namespace

Pasteboard& Pasteboard::generalPasteboard()
{
    static Pasteboard* general = [] {
        auto* pasteboard = new Pasteboard;
        pasteboard->m_general = true;
        return pasteboard;
    }();
    return *general;
}

Pasteboard::Pasteboard(const QMimeData* data)
    : m_data(data)
{
}

const QMimeData* Pasteboard::mimeData() const
{
    if (!m_general)
        return m_data;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return nullptr;
    return QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
}

QStringList Pasteboard::types() const
{
    const QMimeData* data = mimeData();
    QStringList types;
    if (!data)
        return types;
    for (const auto& [type, format] : sniffedImageTypes()) {
        if (!imageBytes(*data, type, format).isEmpty())
            types.append(type);
    }
    if (hasAnyImage(*data))
        types << PasteboardTypeTIFF << NSTIFFPboardType;
    if (data->hasFormat(WebArchiveMimeType))
        types.append(PasteboardTypeWebArchive);
    if (!localPaths(*data).isEmpty())
        types.append(NSFilenamesPboardType);
    if (!allUrls(*data).isEmpty())
        types.append(NSURLPboardType);
    for (const QString& type : {NSHTMLPboardType, NSRTFPboardType, NSPDFPboardType, NSPostScriptPboardType, NSVCardPboardType,
                                NSTabularTextPboardType, NSColorPboardType, NSFileContentsPboardType, NSFilesPromisePboardType}) {
        if (!firstPresent(*data, *mimeTypesFor(type)).isEmpty())
            types.append(type);
    }
    if (!plainText(*data).isNull())
        types.append(NSStringPboardType);
    return types;
}

QByteArray Pasteboard::dataForType(const QString& type) const
{
    const QMimeData* data = mimeData();
    if (!data)
        return {};
    if (type == PasteboardTypeTIFF || type == NSTIFFPboardType)
        return tiffData(*data);
    if (type == NSStringPboardType)
        return plainText(*data).toUtf8();
    if (type == NSURLPboardType)
        return allUrls(*data).join(u'\n').toUtf8();
    if (type == NSFilenamesPboardType)
        return localPaths(*data).join(u'\n').toUtf8();
    for (const auto& [imageType, format] : sniffedImageTypes()) {
        if (type == imageType)
            return imageBytes(*data, imageType, format);
    }
    if (const QStringList* mimeTypes = mimeTypesFor(type))
        return firstPresent(*data, *mimeTypes);
    return {};
}

QVariant Pasteboard::propertyListForType(const QString& type) const
{
    const QMimeData* data = mimeData();
    if (!data)
        return {};
    if (type == NSFilenamesPboardType) {
        const QStringList paths = localPaths(*data);
        return paths.isEmpty() ? QVariant() : QVariant(paths);
    }
    if (type == NSURLPboardType) {
        const QStringList urls = allUrls(*data);
        return urls.isEmpty() ? QVariant() : QVariant(urls);
    }
    if (type == PasteboardTypeWebArchive) {
        const QByteArray bytes = data->data(WebArchiveMimeType);
        if (bytes.isEmpty())
            return {};
        QString error;
        const QVariant archive = WebArchive::read(bytes, &error);
        if (!archive.isValid())
            logLine(QStringLiteral("Web archive in the drag ignored: %1").arg(error));
        return archive;
    }
    return {};
}

QString Pasteboard::stringForType(const QString& type) const
{
    const QMimeData* data = mimeData();
    if (!data)
        return {};
    if (type == NSStringPboardType)
        return plainText(*data);
    if (type == NSURLPboardType || type == NSFilenamesPboardType) {
        const QStringList list = propertyListForType(type).toStringList();
        return list.isEmpty() ? QString() : list.first();
    }
    const QByteArray bytes = dataForType(type);
    return bytes.isEmpty() ? QString() : decodeText(bytes);
}

int Pasteboard::declareTypes(const QStringList& types, QObject* /*owner*/)
{
    if (!m_general || !qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return -1;
    m_declaredTypes = types;
    QGuiApplication::clipboard()->setMimeData(new QMimeData, QClipboard::Clipboard);
    return ++m_changeCount;
}

bool Pasteboard::setStringForType(const QString& string, const QString& type)
{
    if (!m_general || !qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return false;
    // Each write replaces the clipboard's data with a copy plus the new form: QClipboard owns what it
    // is given and offers it to other programs as it stands.
    QClipboard* clipboard = QGuiApplication::clipboard();
    QMimeData* next = copyOf(clipboard->mimeData(QClipboard::Clipboard));
    if (type == NSStringPboardType) {
        next->setText(string);
    } else if (type == NSURLPboardType) {
        next->setData(kUriList, string.toUtf8() + "\r\n");
        const QString mozUrl = string + u'\n';
        next->setData(kMozUrl, QByteArray(reinterpret_cast<const char*>(mozUrl.utf16()), mozUrl.size() * 2));
    } else if (type == NSHTMLPboardType || type == NSRTFPboardType) {
        next->setData(mimeTypesFor(type)->first(), string.toUtf8());
    } else {
        delete next;
        return false;
    }
    clipboard->setMimeData(next, QClipboard::Clipboard);
    return true;
}
