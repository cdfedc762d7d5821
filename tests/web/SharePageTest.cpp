// The first-share page: a card on a transparent page whose one button asks the app for a file.
#include "WebTestSupport.h"

#include "WebTestPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <QVariantMap>

namespace {

// Set PARCLY_WEB_SCREENSHOTS to a folder to keep what the page looked like.
void keepScreenshot(const QImage& image, const QString& name)
{
    const QByteArray folder = qgetenv("PARCLY_WEB_SCREENSHOTS");
    if (!folder.isEmpty())
        image.save(QDir(QString::fromLocal8Bit(folder)).filePath(name));
}

} // namespace

TEST_F(WebViewTest, SharePageButtonAsksForAFileWhenClicked)
{
    ASSERT_TRUE(QFileInfo::exists(QStringLiteral(PARCLY_SHARE_FILE_PAGE)));
    view->addScriptMessageHandler(QStringLiteral("shareFile"));
    view->addScriptMessageHandler(QStringLiteral("probe"));
    view->setDrawsBackground(false);
    ASSERT_TRUE(loadAndWait(QUrl::fromLocalFile(QStringLiteral(PARCLY_SHARE_FILE_PAGE))));

    // The app shows the share shortcut as set; where the page put its button, so the click lands
    // where a person would click.
    view->runJavaScript(QStringLiteral("showShortcut(['Ctrl', 'Alt', 'Super', 'K']);"
                                       "var r = document.querySelector('button').getBoundingClientRect();"
                                       "window.webkit.messageHandlers.probe.postMessage({ x: r.left + r.width / 2, y: r.top + r.height / 2,"
                                       "  text: document.querySelector('button').textContent,"
                                       "  keys: document.getElementById('shortcut-keys').textContent, overflows: "
                                       "document.documentElement.scrollHeight > innerHeight });"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 10000));
    const QVariantMap probe = messages.takeFirst().second.toMap();
    EXPECT_EQ(probe.value(QStringLiteral("text")), QStringLiteral("Choose a File…"));
    EXPECT_EQ(probe.value(QStringLiteral("keys")), QStringLiteral("Ctrl+Alt+Super+K"));
    EXPECT_FALSE(probe.value(QStringLiteral("overflows")).toBool()) << "the page fits the popover";
    const QPoint button(qRound(probe.value(QStringLiteral("x")).toDouble()), qRound(probe.value(QStringLiteral("y")).toDouble()));
    ASSERT_TRUE(QRect(0, 0, 320, 360).contains(button));

    QWidget* target = view;
    while (target->focusProxy())
        target = target->focusProxy();
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(view, button));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 10000));
    EXPECT_EQ(messages.first().first, QStringLiteral("shareFile"));

    // Clicked again, it asks again: each click is a request for a file.
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(view, button));
    EXPECT_TRUE(QTest::qWaitFor([&] { return messages.size() == 2; }, 10000));

    // The page's corners are transparent around its own rounded card.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sameColour(pixelAt(160, 40), kHostColor); }, 10000)) << "the card shows";
    const QImage shown = screenshot();
    keepScreenshot(shown, QStringLiteral("sharefile.png"));
    EXPECT_TRUE(sameColour(shown.pixel(1, 1), kHostColor));
    EXPECT_TRUE(sameColour(shown.pixel(318, 358), kHostColor));
}
