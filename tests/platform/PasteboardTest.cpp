// The pasteboard's reading of what Linux programs put on a drag or the clipboard, and its writing
// of the clipboard.
#include "platform/gui/Pasteboard.h"
#include "platform/Log.h"
#include "platform/gui/WebArchive.h"

#include "QtPrinters.h"
#include "WebArchiveBytes.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QClipboard>
#include <QDataStream>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QUrl>

namespace {

QByteArray utf16(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

QByteArray pngOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

TEST(Pasteboard, FileUrlsAreFileNamesAndOtherUrlsOnlyUrls)
{
    QMimeData files;
    files.setData("text/uri-list", "# dragged from a file manager\r\nfile:///home/me/My%20Notes.txt\r\nfile:///tmp/b\r\n");
    const Pasteboard filePasteboard(&files);
    EXPECT_TRUE(filePasteboard.types().contains(NSFilenamesPboardType));
    EXPECT_EQ(filePasteboard.propertyListForType(NSFilenamesPboardType).toStringList(), (QStringList{"/home/me/My Notes.txt", "/tmp/b"}));

    QMimeData web;
    web.setData("text/uri-list", "https://example.com/a.png\nhttps://example.com/b?c=d%20e\n");
    const Pasteboard webPasteboard(&web);
    EXPECT_FALSE(webPasteboard.types().contains(NSFilenamesPboardType));
    EXPECT_FALSE(webPasteboard.propertyListForType(NSFilenamesPboardType).isValid());
    // URL strings are kept exactly as sent: escapes are not decoded or re-encoded.
    EXPECT_EQ(webPasteboard.propertyListForType(NSURLPboardType).toStringList(),
              (QStringList{"https://example.com/a.png", "https://example.com/b?c=d%20e"}));
    EXPECT_EQ(webPasteboard.stringForType(NSURLPboardType), "https://example.com/a.png");
}

TEST(Pasteboard, BrowserUrlsAreReadFromUtf16AndFromImagesInHtml)
{
    // text/x-moz-url pairs, with and without a byte-order mark.
    for (const QByteArray& mozUrl : {utf16("https://a.example/1.png\nOne\nhttps://a.example/2.gif\nTwo"),
                                     QByteArray("\xFF\xFE") + utf16("https://a.example/1.png\nOne\nhttps://a.example/2.gif\nTwo")}) {
        QMimeData data;
        data.setData("text/x-moz-url", mozUrl);
        EXPECT_EQ(Pasteboard(&data).propertyListForType(NSURLPboardType).toStringList(),
                  (QStringList{"https://a.example/1.png", "https://a.example/2.gif"}));
    }

    // Only absolute image sources count; entities are decoded; duplicates of the list are dropped.
    QMimeData html;
    html.setData("text/uri-list", "https://a.example/page\r\n");
    html.setData("text/html",
                 "<p><IMG src=\"relative/x.png\"><img src=\"data:image/png;base64,AAAA\">"
                 "<img data-x=1 src='https://a.example/q.jpg?w=1&amp;h=2'><img src=https://a.example/page>"
                 "<img data-src=\"https://a.example/lazy.png\" src=\"https://a.example/real.png\"></p>");
    EXPECT_EQ(Pasteboard(&html).propertyListForType(NSURLPboardType).toStringList(),
              (QStringList{"https://a.example/page", "https://a.example/q.jpg?w=1&h=2", "https://a.example/real.png"}));

    QMimeData none;
    none.setData("text/html", "<b>no images</b>");
    EXPECT_FALSE(Pasteboard(&none).propertyListForType(NSURLPboardType).isValid());
    EXPECT_FALSE(Pasteboard(&none).types().contains(NSURLPboardType));
}

TEST(Pasteboard, ImagesAreOfferedByKindAndAlwaysAsTiff)
{
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(qRgba(10, 200, 30, 255));
    const QByteArray png = pngOf(image);

    QMimeData data;
    data.setData("image/png", png);
    data.setText("caption");
    const Pasteboard pasteboard(&data);
    const QStringList types = pasteboard.types();
    EXPECT_EQ(types, (QStringList{PasteboardTypePNG, PasteboardTypeTIFF, NSTIFFPboardType, NSStringPboardType}));
    EXPECT_EQ(pasteboard.dataForType(PasteboardTypePNG), png);
    const QByteArray tiff = pasteboard.dataForType(PasteboardTypeTIFF);
    EXPECT_TRUE(tiff.startsWith("II*") || tiff.startsWith("MM")) << tiff.left(4).toHex().toStdString();
    EXPECT_EQ(QImage::fromData(tiff, "TIFF").convertToFormat(QImage::Format_ARGB32), image);
    EXPECT_TRUE(pasteboard.dataForType(PasteboardTypeJPEG).isEmpty());

    // Bytes that merely claim to be a file's contents are not an image.
    QMimeData notImage;
    notImage.setData("application/octet-stream", "PK\x03\x04 a zip archive");
    EXPECT_FALSE(Pasteboard(&notImage).types().contains(PasteboardTypeTIFF));
    EXPECT_TRUE(Pasteboard(&notImage).dataForType(PasteboardTypeTIFF).isEmpty());
    EXPECT_TRUE(Pasteboard(&notImage).types().contains(NSFileContentsPboardType));
}

TEST(Pasteboard, WebArchivesAreReadFromOurPrivateType)
{
    const QVariantMap archive{{"WebSubresources",
                               QVariantList{QVariantMap{{"WebResourceMIMEType", "image/png"},
                                                        {"WebResourceData", QByteArray("\x89PNG", 4)},
                                                        {"WebResourceURL", QUrl("https://example.org/a%20b.png")}}}},
                              {"WebMainResource",
                               QVariantMap{{"WebResourceFrameName", QString()},
                                           {"Sizes", QVariantList{1, 2.5, true, qint64(1) << 40}},
                                           {"Names", QStringList{"a", "\u00e9t\u00e9"}}}}};
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream << archive;
    }
    QMimeData data;
    data.setData(WebArchiveMimeType, bytes);
    EXPECT_EQ(Pasteboard(&data).propertyListForType(PasteboardTypeWebArchive).toMap(), archive);
    EXPECT_TRUE(Pasteboard(&data).types().contains(PasteboardTypeWebArchive));

    QMimeData truncated;
    truncated.setData(WebArchiveMimeType, bytes.left(bytes.size() / 2));
    EXPECT_FALSE(Pasteboard(&truncated).propertyListForType(PasteboardTypeWebArchive).isValid());
}

// What another program puts in a drag is read with limits: nesting as deep as a hostile source
// likes, counts the data cannot hold, types the archive has no use for and oversized archives are
// refused with a log line, and never crash the reader.
TEST(Pasteboard, HostileWebArchivesAreRefused)
{
    auto key = [](QByteArray& bytes) {
        appendBigEndian32(bytes, 2);
        bytes.append("\0x", 2);
    };
    auto refused = [](const QByteArray& bytes) {
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        QMimeData data;
        data.setData(WebArchiveMimeType, bytes);
        const bool invalid = !Pasteboard(&data).propertyListForType(PasteboardTypeWebArchive).isValid();
        return invalid && log.lines().size() == 1 && log.lines().first().startsWith("Web archive in the drag ignored: ");
    };

    EXPECT_TRUE(refused(deeplyNestedWebArchive()));

    QByteArray hugeCount;
    appendBigEndian32(hugeCount, 0x7fffffff);
    EXPECT_TRUE(refused(hugeCount));

    // A type Qt would build by name from the data.
    QByteArray userType;
    appendBigEndian32(userType, 1);
    key(userType);
    appendBigEndian32(userType, QMetaType::User);
    userType.append('\0');
    EXPECT_TRUE(refused(userType));

    QByteArray oversized(WebArchive::kMaxBytes + 1, '\0');
    EXPECT_TRUE(refused(oversized));
}

TEST(Pasteboard, TextPrefersTheUtf8Form)
{
    QMimeData data;
    data.setData("text/plain;charset=utf-8", "Grüße");
    EXPECT_EQ(Pasteboard(&data).stringForType(NSStringPboardType), QString::fromUtf8("Grüße"));
    QMimeData empty;
    EXPECT_TRUE(Pasteboard(&empty).stringForType(NSStringPboardType).isNull());
    EXPECT_TRUE(Pasteboard(&empty).types().isEmpty());
}

TEST(Pasteboard, TheGeneralPasteboardHoldsALinkAsTextAndAsUrl)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText("something copied earlier");
    Pasteboard& general = Pasteboard::generalPasteboard();
    const QString link = "http://127.0.0.1:8787/Ab3x?ref=a&b=c";

    const int count = general.declareTypes({NSStringPboardType, NSURLPboardType}, nullptr);
    EXPECT_GT(count, 0);
    EXPECT_TRUE(clipboard->text().isEmpty()) << "declaring types must empty the pasteboard";
    EXPECT_TRUE(general.setStringForType(link, NSStringPboardType));
    EXPECT_TRUE(general.setStringForType(link, NSURLPboardType));

    const QMimeData* data = clipboard->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->text(), link);
    EXPECT_EQ(data->data("text/uri-list"), (link + "\r\n").toUtf8());
    EXPECT_EQ(general.stringForType(NSStringPboardType), link);
    EXPECT_EQ(general.propertyListForType(NSURLPboardType).toStringList(), QStringList{link});

    EXPECT_FALSE(general.setStringForType(link, NSColorPboardType));
    EXPECT_GT(general.declareTypes({NSStringPboardType}, nullptr), count);

    // A drag's pasteboard cannot be written.
    QMimeData dragged;
    Pasteboard drag(&dragged);
    EXPECT_EQ(drag.declareTypes({NSStringPboardType}, nullptr), -1);
    EXPECT_FALSE(drag.setStringForType(link, NSStringPboardType));
    EXPECT_FALSE(dragged.hasText());
}

} // namespace
