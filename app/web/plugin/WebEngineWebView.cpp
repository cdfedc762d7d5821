#include "app/web/plugin/WebEngineWebView.h"

#include "app/web/plugin/ScriptMessageBridge.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QVariantAnimation>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include <algorithm>

namespace {

constexpr double kAnimationSeconds = 0.25;
const QString kBridgeName = QStringLiteral("parclyBridge");
const QString kMessagingScriptName = QStringLiteral("parcly-script-messages");
const QString kAlphaScriptName = QStringLiteral("parcly-alpha");

QString resourceText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QString alphaScript(double alpha, double durationSeconds)
{
    static const QString source = resourceText(QStringLiteral(":/parcly-web/Alpha.js"));
    return QString(source)
        .replace(QStringLiteral("%OPACITY%"), QString::number(alpha, 'f', 3))
        .replace(QStringLiteral("%DURATION%"), QString::number(durationSeconds, 'f', 3));
}

QString jsonStringList(const QStringList& strings)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(strings)).toJson(QJsonDocument::Compact));
}

} // namespace

WebEngineWebView::WebEngineWebView(QWidget* parent)
    : WebView(parent)
    , m_view(new QWebEngineView(this))
    , m_page(new QWebEnginePage(m_view))
    , m_channel(new QWebChannel(m_page))
    , m_bridge(new ScriptMessageBridge(m_channel))
    , m_backgroundFade(new QVariantAnimation(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    m_view->setPage(m_page);
    // A page shown in a popover or a window of the app is not a browser tab.
    m_view->setContextMenuPolicy(Qt::NoContextMenu);
    setFocusProxy(m_view);

    m_channel->registerObject(kBridgeName, m_bridge);
    m_page->setWebChannel(m_channel, QWebEngineScript::MainWorld);
    installMessagingScript();
    // The page never paints a background: its compositing mode is fixed once the view is
    // shown, so the view's own background, when it draws one, is painted by this widget below.
    m_page->setBackgroundColor(Qt::transparent);
    m_backgroundFade->setDuration(int(kAnimationSeconds * 1000));
    m_backgroundFade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_backgroundFade, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setBackgroundAlpha(value.toDouble()); });

    connect(m_bridge, &ScriptMessageBridge::messageReceived, this, &WebView::didReceiveScriptMessage);
    connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (ok)
            emit didFinishNavigation();
        else
            emit didFailNavigation(QStringLiteral("could not load %1").arg(m_page->requestedUrl().toString()));
    });
}

void WebEngineWebView::addScriptMessageHandler(const QString& name)
{
    if (m_bridge->handlerNames().contains(name))
        return;
    m_bridge->addHandler(name);
    installMessagingScript();
    // The page already showing gets the handler too, not only the next one.
    runJavaScript(QStringLiteral("window.__parclyAddMessageHandler && window.__parclyAddMessageHandler(%1);")
                      .arg(jsonStringList({name}).mid(1).chopped(1)));
}

void WebEngineWebView::load(const QUrl& url)
{
    m_view->load(url);
}

void WebEngineWebView::setDrawsBackground(bool draws)
{
    m_drawsBackground = draws;
    update();
}

void WebEngineWebView::setAlphaValue(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    m_backgroundFade->stop();
    applyAlpha(m_alpha, 0.0);
    setBackgroundAlpha(m_alpha);
}

void WebEngineWebView::animateAlphaValue(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    applyAlpha(m_alpha, kAnimationSeconds);
    m_backgroundFade->stop();
    m_backgroundFade->setStartValue(m_backgroundAlpha);
    m_backgroundFade->setEndValue(m_alpha);
    m_backgroundFade->start();
}

void WebEngineWebView::runJavaScript(const QString& script)
{
    m_page->runJavaScript(script, QWebEngineScript::MainWorld);
}

void WebEngineWebView::applyAlpha(double alpha, double durationSeconds)
{
    // Future documents start at this alpha; the current one changes now.
    const QString source = alphaScript(alpha, durationSeconds);
    replaceScript(kAlphaScriptName, alphaScript(alpha, 0.0));
    runJavaScript(source);
}

void WebEngineWebView::paintEvent(QPaintEvent*)
{
    if (!m_drawsBackground || m_backgroundAlpha <= 0.0)
        return;
    QPainter painter(this);
    painter.fillRect(rect(), QColor(255, 255, 255, qRound(255 * m_backgroundAlpha)));
}

void WebEngineWebView::setBackgroundAlpha(double alpha)
{
    m_backgroundAlpha = alpha;
    update();
}

void WebEngineWebView::replaceScript(const QString& name, const QString& source)
{
    QWebEngineScriptCollection& scripts = m_page->scripts();
    for (const QWebEngineScript& old : scripts.find(name))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(name);
    script.setSourceCode(source);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    scripts.insert(script);
}

void WebEngineWebView::installMessagingScript()
{
    static const QString channelLibrary = resourceText(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    static const QString messaging = resourceText(QStringLiteral(":/parcly-web/ScriptMessaging.js"));
    const QString bootstrap = QString(messaging)
                                  .replace(QStringLiteral("%HANDLER_NAMES%"), jsonStringList(m_bridge->handlerNames()))
                                  .replace(QStringLiteral("%BRIDGE_NAME%"), kBridgeName);
    replaceScript(kMessagingScriptName, QStringLiteral("(function () {\n%1\n%2\n})();").arg(channelLibrary, bootstrap));
}
