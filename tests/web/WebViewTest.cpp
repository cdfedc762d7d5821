// Web views from the module: script messages, navigation, transparency and alpha, on a real screen.
#include "WebTestSupport.h"

#include "QtPrinters.h"

#include <QTest>
#include <QVariantList>
#include <QVariantMap>

TEST_F(WebViewTest, MessagesArriveOnceEachInTheOrderPosted)
{
    view->addScriptMessageHandler(QStringLiteral("test"));
    ASSERT_TRUE(loadAndWait(testPage(QStringLiteral("messages.html"))));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty() && messages.last().second == QStringLiteral("end"); }, 10000))
        << messages.size() << " messages";

    ASSERT_EQ(messages.size(), 7);
    for (const auto& message : messages)
        EXPECT_EQ(message.first, QStringLiteral("test"));
    const QVariantMap first = messages[0].second.toMap();
    EXPECT_EQ(first.value(QStringLiteral("action")), QStringLiteral("startAtLogin"));
    EXPECT_EQ(first.value(QStringLiteral("value")).typeId(), QMetaType::Bool);
    EXPECT_FALSE(first.value(QStringLiteral("value")).toBool());
    EXPECT_EQ(first.value(QStringLiteral("list")).toList(), (QVariantList{1.0, QStringLiteral("two")}));
    EXPECT_FALSE(messages[1].second.isValid()) << "an absent body arrives as a null QVariant";
    EXPECT_EQ(messages[2].second, QStringLiteral("first"));
    EXPECT_EQ(messages[3].second, QStringLiteral("second"));
    EXPECT_EQ(messages[4].second.toMap().value(QStringLiteral("n")).toInt(), 1) << "the body as it was when posted";
    EXPECT_EQ(messages[5].second.toInt(), 42);
}

TEST_F(WebViewTest, HandlerAddedWhileAPageShowsReachesThatPage)
{
    ASSERT_TRUE(loadAndWait(testPage(QStringLiteral("colour.html"))));
    view->addScriptMessageHandler(QStringLiteral("late"));
    view->runJavaScript(QStringLiteral("window.webkit.messageHandlers.late.postMessage({ ok: true });"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 10000));
    EXPECT_EQ(messages.first().first, QStringLiteral("late"));
    EXPECT_TRUE(messages.first().second.toMap().value(QStringLiteral("ok")).toBool());
}

TEST_F(WebViewTest, OnlyRegisteredHandlersExistForThePage)
{
    view->addScriptMessageHandler(QStringLiteral("known"));
    ASSERT_TRUE(loadAndWait(testPage(QStringLiteral("colour.html"))));
    view->runJavaScript(QStringLiteral("var h = window.webkit.messageHandlers;"
                                       "h.known.postMessage(String(typeof h.unknown));"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 10000));
    EXPECT_EQ(messages.first().second, QStringLiteral("undefined"));
}

TEST_F(WebViewTest, NavigationFinishesOnlyForPagesThatLoad)
{
    EXPECT_FALSE(loadAndWait(QUrl::fromLocalFile(QStringLiteral("/nonexistent/Missing.html"))));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(finished, 0);

    EXPECT_TRUE(loadAndWait(testPage(QStringLiteral("colour.html"))));
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(failed, 1);
}

TEST_F(WebViewTest, TransparentViewShowsThePageOnlyAsItsAlphaAllows)
{
    const QPoint inside(160, 180); // on the page's green block
    const QPoint outside(20, 20); // page background only
    const QRgb green = 0xff00ff00;

    view->setDrawsBackground(false);
    view->setAlphaValue(0.0);
    ASSERT_TRUE(loadAndWait(testPage(QStringLiteral("colour.html"))));
    // Loaded at alpha 0: nothing of the page shows, for as long as we look.
    QElapsedTimer watching;
    watching.start();
    while (watching.elapsed() < 600) {
        ASSERT_TRUE(sameColour(pixelAt(inside.x(), inside.y()), kHostColor));
        QTest::qWait(50);
    }

    view->setAlphaValue(1.0);
    EXPECT_DOUBLE_EQ(view->alphaValue(), 1.0);
    EXPECT_TRUE(waitForPixel(inside.x(), inside.y(), green)) << std::hex << pixelAt(inside.x(), inside.y());
    EXPECT_TRUE(sameColour(pixelAt(outside.x(), outside.y()), kHostColor)) << "no background of the view's own";

    view->setAlphaValue(0.0);
    EXPECT_TRUE(waitForPixel(inside.x(), inside.y(), kHostColor));

    view->animateAlphaValue(1.0);
    EXPECT_DOUBLE_EQ(view->alphaValue(), 1.0);
    EXPECT_TRUE(waitForPixel(inside.x(), inside.y(), green));

    // Halfway: a mix of the page and what lies under the view.
    view->setAlphaValue(0.5);
    EXPECT_TRUE(waitForPixel(inside.x(), inside.y(), qRgb(0x80, 0x80, 0x80)));
}

TEST_F(WebViewTest, OpaqueViewPaintsItsOwnBackgroundOnlyAsItsAlphaAllows)
{
    const QPoint outside(20, 20);
    ASSERT_TRUE(view->drawsBackground());
    ASSERT_TRUE(loadAndWait(testPage(QStringLiteral("colour.html"))));
    EXPECT_TRUE(waitForPixel(outside.x(), outside.y(), qRgb(0xff, 0xff, 0xff))) << std::hex << pixelAt(outside.x(), outside.y());

    view->setAlphaValue(0.0);
    EXPECT_TRUE(waitForPixel(outside.x(), outside.y(), kHostColor)) << std::hex << pixelAt(outside.x(), outside.y());
    view->setAlphaValue(1.0);
    EXPECT_TRUE(waitForPixel(outside.x(), outside.y(), qRgb(0xff, 0xff, 0xff))) << std::hex << pixelAt(outside.x(), outside.y());
}
