// On a real X display: other programs read the link the app leaves on the clipboard, and the
// browser named by $BROWSER is the one that opens URLs.
#include "platform/Workspace.h"
#include "platform/gui/Pasteboard.h"

#include "BrowserRecorder.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QProcess>
#include <QStringDecoder>
#include <QTest>

namespace {

// Runs xclip while this process keeps serving the clipboard from its event loop.
QByteArray readClipboard(const QStringList& extraArguments = {})
{
    QProcess xclip;
    xclip.start("xclip", QStringList{"-o", "-selection", "clipboard"} + extraArguments);
    EXPECT_TRUE(xclip.waitForStarted(5000)) << xclip.errorString().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(xclip.exitCode(), 0) << xclip.readAllStandardError().toStdString();
    return xclip.readAllStandardOutput();
}

TEST(Desktop, OtherProgramsReadTheLinkAsTextAndAsUri)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    const QString link = "http://127.0.0.1:8787/Qx7?from=tray&n=1";
    Pasteboard& general = Pasteboard::generalPasteboard();
    general.declareTypes({NSStringPboardType, NSURLPboardType}, nullptr);
    ASSERT_TRUE(general.setStringForType(link, NSStringPboardType));
    ASSERT_TRUE(general.setStringForType(link, NSURLPboardType));

    EXPECT_EQ(readClipboard(), link.toUtf8());
    EXPECT_EQ(readClipboard({"-t", "text/uri-list"}).trimmed(), link.toUtf8());
    const QString mozUrl = QStringDecoder(QStringDecoder::Utf16LE).decode(readClipboard({"-t", "text/x-moz-url"}));
    EXPECT_EQ(mozUrl.split('\n').first().trimmed(), link); // "url\ntitle", in UTF-16
    const QByteArray targets = readClipboard({"-t", "TARGETS"});
    EXPECT_TRUE(targets.contains("UTF8_STRING")) << targets.toStdString();
}

// Another program owns the clipboard with one target, as a browser offers a copied image or link.
class ForeignClipboardOwner {
public:
    ForeignClipboardOwner(const QString& target, const QByteArray& data)
    {
        // -quiet keeps xclip in the foreground, so it can be stopped.
        m_xclip.start("xclip", {"-quiet", "-i", "-selection", "clipboard", "-t", target});
        m_xclip.write(data);
        m_xclip.closeWriteChannel();
    }
    ~ForeignClipboardOwner()
    {
        m_xclip.kill();
        m_xclip.waitForFinished(3000);
    }
    bool waitUntilOwner(const QString& target)
    {
        return QTest::qWaitFor(
            [&] {
                const QMimeData* data = QGuiApplication::clipboard()->mimeData();
                return data && data->formats().contains(target);
            },
            10000);
    }

private:
    QProcess m_xclip;
};

TEST(Desktop, ImagesAndBrowserLinksFromOtherProgramsAreRead)
{
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(qRgb(200, 40, 90));
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
    }
    {
        ForeignClipboardOwner owner("image/png", png);
        ASSERT_TRUE(owner.waitUntilOwner("image/png"));
        const Pasteboard& general = Pasteboard::generalPasteboard();
        EXPECT_TRUE(general.types().contains(PasteboardTypePNG));
        EXPECT_TRUE(general.types().contains(PasteboardTypeTIFF));
        EXPECT_EQ(general.dataForType(PasteboardTypePNG), png);
        EXPECT_EQ(QImage::fromData(general.dataForType(PasteboardTypeTIFF), "TIFF").convertToFormat(QImage::Format_RGB32), image);
    }
    {
        const QString mozUrl = "https://pics.example.org/a/cat.png?w=3\ncat";
        ForeignClipboardOwner owner("text/x-moz-url", QByteArray(reinterpret_cast<const char*>(mozUrl.utf16()), mozUrl.size() * 2));
        // Qt presents a foreign text/x-moz-url as text/uri-list.
        ASSERT_TRUE(owner.waitUntilOwner("text/uri-list"));
        EXPECT_EQ(Pasteboard::generalPasteboard().propertyListForType(NSURLPboardType).toStringList(),
                  QStringList{"https://pics.example.org/a/cat.png?w=3"});
    }
}

TEST(Desktop, UrlsOpenInTheBrowserNamedByTheEnvironment)
{
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});
    ASSERT_TRUE(Workspace::sharedWorkspace().openURL(QUrl("http://127.0.0.1:8787/Qx7")));
    EXPECT_EQ(browser.waitForCalls(1), QStringList{"http://127.0.0.1:8787/Qx7"});
}

} // namespace
