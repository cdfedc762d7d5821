// Dragged images: which bytes are uploaded, and under which name.
#include "app/sources/PAExtensions.h"
#include "platform/Log.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDataStream>
#include <QImage>
#include <QMimeData>
#include <QRegularExpression>

#include <cstdlib>

namespace {

const QRegularExpression kDropName(QStringLiteral(R"(^Image upload on \d{4}-\d{2}-\d{2} at \d{2}:\d{2}:\d{2}\.(\w+)$)"));

// A small image with distinct, partly transparent pixels, so conversions that lose detail show.
QImage sampleImage()
{
    QImage image(7, 5, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 36, y * 60, (x * y * 17) % 256, x == 0 ? 0 : 128 + y * 30));
    }
    return image;
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray webArchive(const QVariantList& subresources)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << QVariantMap{{QStringLiteral("WebSubresources"), subresources}};
    return bytes;
}

QVariantMap resource(const QString& mimeType, const QByteArray& data)
{
    return {{QStringLiteral("WebResourceMIMEType"), mimeType}, {QStringLiteral("WebResourceData"), data}};
}

QByteArray utf16(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

// Compares two images pixel by pixel. TIFF stores colour premultiplied by alpha, so a translucent
// pixel that went through it may be off by one in a colour channel; alpha must match exactly.
void expectSamePixels(const QImage& actual, const QImage& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < e.height(); ++y) {
        for (int x = 0; x < e.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = e.pixel(x, y);
            ASSERT_EQ(qAlpha(p), qAlpha(q)) << "at " << x << "," << y;
            if (qAlpha(q) == 0)
                continue;
            const int tolerance = qAlpha(q) == 255 ? 0 : 1;
            ASSERT_LE(std::abs(qRed(p) - qRed(q)), tolerance) << "at " << x << "," << y;
            ASSERT_LE(std::abs(qGreen(p) - qGreen(q)), tolerance) << "at " << x << "," << y;
            ASSERT_LE(std::abs(qBlue(p) - qBlue(q)), tolerance) << "at " << x << "," << y;
        }
    }
}

const QByteArray kGif = QByteArrayLiteral("GIF89a-gif-bytes");
const QByteArray kJpeg = QByteArrayLiteral("\xFF\xD8\xFF-jpeg-bytes");

TEST(ImageExtraction, RicherFormatsWinInAFixedOrderAndAreUsedAsTheyAre)
{
    const QByteArray png = encoded(sampleImage(), "PNG");
    const QByteArray tiff = encoded(sampleImage(), "TIFF");
    struct Case {
        QStringList formats;
        QByteArray expected;
        QString extension;
    } cases[] = {
        {{"image/png", "image/jpeg", "image/gif"}, kGif, "gif"},
        {{"image/png", "image/jpeg"}, kJpeg, "jpg"},
        {{"image/png", "image/tiff"}, png, "png"},
    };
    for (const Case& c : cases) {
        QMimeData data;
        for (const QString& format : c.formats) {
            const QByteArray bytes = format == "image/png" ? png : format == "image/jpeg" ? kJpeg : format == "image/gif" ? kGif : tiff;
            data.setData(format, bytes);
        }
        const QVariantMap result = PAExtensions::imageData(Pasteboard(&data));
        EXPECT_EQ(result.value(PAImageDataKey).toByteArray(), c.expected) << c.formats.join(',').toStdString();
        const QRegularExpressionMatch name = kDropName.match(result.value(PAImageNameKey).toString());
        ASSERT_TRUE(name.hasMatch()) << result.value(PAImageNameKey).toString().toStdString();
        EXPECT_EQ(name.captured(1), c.extension);
    }
}

TEST(ImageExtraction, WebArchiveGivesItsFirstImageResourceBeforeTheTiffFallback)
{
    QMimeData data;
    data.setData(WebArchiveMimeType,
                 webArchive({resource("text/css", "body{}"), resource("image/jpeg", kJpeg), resource("image/png", "second image")}));
    data.setData("image/tiff", encoded(sampleImage(), "TIFF"));
    const Pasteboard pasteboard(&data);

    EXPECT_EQ(PAExtensions::imageDataFromWebArchive(pasteboard), kJpeg);
    EXPECT_EQ(PAExtensions::extensionFromWebArchive(pasteboard), "jpg");
    const QVariantMap result = PAExtensions::imageData(pasteboard);
    EXPECT_EQ(result.value(PAImageDataKey).toByteArray(), kJpeg);
    EXPECT_TRUE(result.value(PAImageNameKey).toString().endsWith(".jpg"));

    // MIME types are compared exactly: "image/PNG" and "image/jpg" are not image resources.
    QMimeData odd;
    odd.setData(WebArchiveMimeType, webArchive({resource("image/PNG", "a"), resource("image/jpg", "b")}));
    EXPECT_TRUE(PAExtensions::imageDataFromWebArchive(Pasteboard(&odd)).isEmpty());
    EXPECT_TRUE(PAExtensions::extensionFromWebArchive(Pasteboard(&odd)).isEmpty());
}

TEST(ImageExtraction, ArchiveWithoutImagesFallsThroughToTheTiffConvertedToPng)
{
    const QImage image = sampleImage();
    QMimeData data;
    QByteArray noSubresources;
    QDataStream stream(&noSubresources, QIODevice::WriteOnly);
    stream << QVariantMap{{"WebMainResource", QVariantMap{}}};
    data.setData(WebArchiveMimeType, noSubresources);
    const QByteArray tiff = encoded(image, "TIFF");
    data.setData("image/tiff", tiff);

    const QVariantMap result = PAExtensions::imageData(Pasteboard(&data));
    const QByteArray png = result.value(PAImageDataKey).toByteArray();
    ASSERT_TRUE(png.startsWith("\x89PNG")) << png.left(8).toHex().toStdString();
    expectSamePixels(QImage::fromData(png, "PNG"), QImage::fromData(tiff, "TIFF"));
    EXPECT_TRUE(result.value(PAImageNameKey).toString().endsWith(".png"));
}

TEST(ImageExtraction, AnyDecodableImageIsConvertedLosslessly)
{
    // A BMP (no alpha) and an image Qt holds in memory (with alpha) both reach the PNG fallback.
    const QImage opaque = sampleImage().convertToFormat(QImage::Format_RGB32);
    QMimeData bmp;
    bmp.setData("image/bmp", encoded(opaque, "BMP"));
    expectSamePixels(QImage::fromData(PAExtensions::defaultData(Pasteboard(&bmp)), "PNG"), opaque);

    QMimeData inMemory;
    inMemory.setImageData(sampleImage());
    expectSamePixels(QImage::fromData(PAExtensions::defaultData(Pasteboard(&inMemory)), "PNG"), sampleImage());
}

TEST(ImageExtraction, NoImageYieldsNothingAndSaysSo)
{
    for (const QByteArray& tiff : {QByteArray(), QByteArrayLiteral("II*\0 not really a tiff")}) {
        QMimeData data;
        data.setText("just some text");
        if (!tiff.isEmpty())
            data.setData("image/tiff", tiff);
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        EXPECT_TRUE(PAExtensions::imageData(Pasteboard(&data)).isEmpty());
        EXPECT_EQ(log.lines(), QStringList{"Image data unavailable in drag operation."});
    }
}

TEST(ImageExtraction, NameComesFromTheFirstImageLikeUrl)
{
    struct Case {
        QStringList urls;
        QString expected; // empty: the "Image upload" drop name
    } cases[] = {
        {{"https://example.com/pics/cat.png?w=200"}, "cat.png"},
        {{"https://example.com/photo.jpeg"}, ""},
        {{"https://example.com/SHOUT.PNG"}, ""},
        {{"https://example.com/img.php?file=a.png"}, "img.php"},
        {{"https://example.com/image?id=7.jpg"}, ""},
        {{"https://example.com/a%20b/my%20cat.gif"}, "my%20cat.gif"},
        {{"https://example.com/anim.gifv"}, "anim.gifv"},
        {{"https://example.com/page.html", "https://example.com/x/dog.jpg"}, "dog.jpg"},
        {{"https://example.com/"}, ""},
    };
    for (const Case& c : cases) {
        QMimeData data;
        data.setData("image/png", encoded(sampleImage(), "PNG"));
        data.setData("text/uri-list", (c.urls.join("\r\n") + "\r\n").toUtf8());
        const QString name = PAExtensions::imageData(Pasteboard(&data)).value(PAImageNameKey).toString();
        if (c.expected.isEmpty()) {
            const QRegularExpressionMatch match = kDropName.match(name);
            EXPECT_TRUE(match.hasMatch() && match.captured(1) == "png") << c.urls.join(' ').toStdString() << " -> " << name.toStdString();
        } else {
            EXPECT_EQ(name, c.expected) << c.urls.join(' ').toStdString();
        }
    }
}

TEST(ImageExtraction, FirefoxDragOfAnImageReachesTheImageRouteNamedAfterTheImage)
{
    const QByteArray png = encoded(sampleImage(), "PNG");
    // Firefox on X11: the address as UTF-16 "url\ntitle", HTML (UTF-16 too), and the image itself.
    QMimeData plain;
    plain.setData("text/x-moz-url", utf16("https://images.example.org/pets/cat.png?w=640\ncat.png (PNG Image)"));
    plain.setData("text/html", QByteArray("\xFF\xFE") + utf16("<img src=\"https://images.example.org/pets/cat.png?w=640\" alt=\"\">"));
    plain.setData("application/x-moz-nativeimage", QByteArray());
    plain.setData("image/png", png);
    plain.setText("https://images.example.org/pets/cat.png?w=640");

    // The same image inside a link: the URL list holds the link, the HTML the image's address.
    QMimeData linked;
    linked.setData("text/x-moz-url", utf16("https://news.example.org/story/42\nA story"));
    linked.setData("text/uri-list", "https://news.example.org/story/42\r\n");
    linked.setData("text/html",
                   "<a href=\"https://news.example.org/story/42\"><img class=x SRC='https://cdn.example.org/i/dog.jpg?s=1&amp;t=2'></a>");
    linked.setData("image/png", png);

    for (auto [data, name] : {std::pair{&plain, "cat.png"}, std::pair{&linked, "dog.jpg"}}) {
        const Pasteboard pasteboard(data);
        EXPECT_TRUE(pasteboard.types().contains(PasteboardTypeTIFF));
        EXPECT_FALSE(pasteboard.types().contains(NSFilenamesPboardType));
        const QVariantMap result = PAExtensions::imageData(pasteboard);
        EXPECT_EQ(result.value(PAImageDataKey).toByteArray(), png);
        EXPECT_EQ(result.value(PAImageNameKey).toString(), name);
    }
}

TEST(ImageExtraction, ChromiumDragOfAnImageReachesTheImageRouteNamedAfterTheImage)
{
    // Chromium sends the image as a file's contents and its address in the URL list and the HTML.
    const QByteArray jpeg = encoded(sampleImage().convertToFormat(QImage::Format_RGB32), "JPEG");
    QMimeData data;
    data.setData("text/uri-list", "https://photos.example.net/albums/7/sunset.jpg\r\n");
    data.setData("text/html", "<meta charset='utf-8'><img src=\"https://photos.example.net/albums/7/sunset.jpg\" alt=\"Sunset\">");
    data.setData("application/octet-stream", jpeg);
    data.setData("XdndDirectSave0", "sunset.jpg");
    const Pasteboard pasteboard(&data);
    EXPECT_TRUE(pasteboard.types().contains(PasteboardTypeTIFF));
    const QVariantMap result = PAExtensions::imageData(pasteboard);
    EXPECT_EQ(result.value(PAImageDataKey).toByteArray(), jpeg);
    EXPECT_EQ(result.value(PAImageNameKey).toString(), "sunset.jpg");

    // Without a URL list the image's src names it, and a bitmap still comes out as PNG.
    QMimeData htmlOnly;
    htmlOnly.setData("text/html", "<img alt=x src=https://photos.example.net/b/tree.gif>");
    htmlOnly.setData("image/bmp", encoded(sampleImage().convertToFormat(QImage::Format_RGB32), "BMP"));
    const QVariantMap converted = PAExtensions::imageData(Pasteboard(&htmlOnly));
    EXPECT_TRUE(converted.value(PAImageDataKey).toByteArray().startsWith("\x89PNG"));
    EXPECT_EQ(converted.value(PAImageNameKey).toString(), "tree.gif");
}

} // namespace
