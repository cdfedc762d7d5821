#include "WebTestSupport.h"

#include "WebTestPaths.h"
#include "app/web/WebModule.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <cstdlib>

void WebViewTest::SetUp()
{
    WebModule::setHelperPath(QStringLiteral(PARCLY_WEB_HELPER));
    window.reset(new QWidget);
    window->setAutoFillBackground(true);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(kHostColor));
    window->setPalette(palette);
    window->setGeometry(40, 40, 320, 360);

    view = WebModule::createWebView(window.data());
    ASSERT_NE(view, nullptr);
    view->setGeometry(0, 0, 320, 360);
    QObject::connect(view, &WebView::didFinishNavigation, [this] { ++finished; });
    QObject::connect(view, &WebView::didFailNavigation, [this] { ++failed; });
    QObject::connect(view, &WebView::didReceiveScriptMessage, [this](const QString& name, const QVariant& body) {
        messages.append({name, body});
    });
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.data()));
}

void WebViewTest::TearDown()
{
    window.reset();
}

bool WebViewTest::loadAndWait(const QUrl& url)
{
    const int before = finished + failed;
    const int finishedBefore = finished;
    view->load(url);
    if (!QTest::qWaitFor([&] { return finished + failed > before; }, 20000))
        return false;
    return finished > finishedBefore;
}

QUrl WebViewTest::testPage(const QString& name) const
{
    return QUrl::fromLocalFile(QStringLiteral(PARCLY_WEB_TEST_PAGES "/") + name);
}

QImage WebViewTest::screenshot() const
{
    return window->screen()->grabWindow(window->winId()).toImage();
}

bool WebViewTest::waitForPixel(int x, int y, QRgb colour, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return sameColour(pixelAt(x, y), colour); }, timeoutMs);
}

bool sameColour(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) < 24 && std::abs(qGreen(a) - qGreen(b)) < 24 && std::abs(qBlue(a) - qBlue(b)) < 24;
}
