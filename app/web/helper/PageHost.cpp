#include "app/web/helper/PageHost.h"

#include "app/web/WebHelperChannel.h"
#include "app/web/helper/ScriptMessageBridge.h"
#include "platform/Log.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <QWheelEvent>

namespace {

const QString kBridgeName = QStringLiteral("parclyBridge");
const QString kMessagingScriptName = QStringLiteral("parcly-script-messages");

QString resourceText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QString jsonStringList(const QStringList& strings)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(strings)).toJson(QJsonDocument::Compact));
}

} // namespace

PageHost::PageHost(WebHelperChannel* channel, QObject* parent)
    : QObject(parent)
    , m_channel(channel)
    , m_window(new QWidget(nullptr,
                           Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus
                               | Qt::WindowTransparentForInput))
    , m_view(new QWebEngineView(m_window))
    , m_page(new QWebEnginePage(m_view))
    , m_webChannel(new QWebChannel(m_page))
    , m_bridge(new ScriptMessageBridge(m_webChannel))
{
    // The app shows the frames; this window only gives the engine a visible view to render. The
    // engine maps it once it renders, so it lies far off every screen, out of the window manager's
    // hands.
    m_window->setAttribute(Qt::WA_DontShowOnScreen);
    m_window->move(-30000, -30000);
    m_window->setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(m_window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    m_view->setPage(m_page);
    // A page shown in a popover or a window of the app is not a browser tab.
    m_view->setContextMenuPolicy(Qt::NoContextMenu);
    m_page->setBackgroundColor(Qt::transparent);

    m_webChannel->registerObject(kBridgeName, m_bridge);
    m_page->setWebChannel(m_webChannel, QWebEngineScript::MainWorld);
    installMessagingScript();

    connect(m_bridge, &ScriptMessageBridge::messageReceived, this, [this](const QString& name, const QVariant& body) {
        m_channel->send({WebHelperMessage::message, name, body});
    });
    connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (ok)
            m_channel->send({WebHelperMessage::finished});
        else
            m_channel->send({WebHelperMessage::failed, QStringLiteral("could not load %1").arg(m_page->requestedUrl().toString())});
    });
    connect(m_channel, &WebHelperChannel::messageReceived, this, &PageHost::handle);

    // Frames are read once the engine's renderer has drawn one, after the call that drew it.
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(0);
    connect(&m_frameTimer, &QTimer::timeout, this, &PageHost::sendFrame);

    m_window->resize(320, 360);
    m_window->show();
    watchRenderer();
}

PageHost::~PageHost()
{
    delete m_window;
}

void PageHost::handle(const QVariantList& message)
{
    const QString name = message.value(0).toString();
    const auto arg = [&](int i) { return message.value(i + 1); };
    if (name == WebHelperMessage::addHandler) {
        addHandler(arg(0).toString());
    } else if (name == WebHelperMessage::load) {
        m_page->load(arg(0).toUrl());
        watchRenderer();
    } else if (name == WebHelperMessage::resize) {
        m_window->resize(qMax(1, arg(0).toInt()), qMax(1, arg(1).toInt()));
    } else if (name == WebHelperMessage::runJavaScript) {
        m_page->runJavaScript(arg(0).toString(), QWebEngineScript::MainWorld);
    } else if (name == WebHelperMessage::mouse) {
        const auto type = QEvent::Type(arg(0).toInt());
        if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease && type != QEvent::MouseMove
            && type != QEvent::MouseButtonDblClick)
            return;
        if (QWidget* target = inputTarget()) {
            const QPointF position(arg(1).toDouble(), arg(2).toDouble());
            QMouseEvent event(type, position, target->mapToGlobal(position), Qt::MouseButton(arg(3).toInt()),
                              Qt::MouseButtons(arg(4).toInt()), Qt::KeyboardModifiers(arg(5).toInt()));
            QApplication::sendEvent(target, &event);
        }
    } else if (name == WebHelperMessage::wheel) {
        if (QWidget* target = inputTarget()) {
            const QPointF position(arg(0).toDouble(), arg(1).toDouble());
            QWheelEvent event(position, target->mapToGlobal(position), QPoint(), QPoint(arg(2).toInt(), arg(3).toInt()),
                              Qt::MouseButtons(arg(4).toInt()), Qt::KeyboardModifiers(arg(5).toInt()), Qt::NoScrollPhase, false);
            QApplication::sendEvent(target, &event);
        }
    } else if (name == WebHelperMessage::key) {
        const auto type = QEvent::Type(arg(0).toInt());
        if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
            return;
        if (QWidget* target = inputTarget()) {
            QKeyEvent event(type, arg(1).toInt(), Qt::KeyboardModifiers(arg(2).toInt()), arg(5).toUInt(), arg(6).toUInt(), arg(7).toUInt(),
                            arg(3).toString(), arg(4).toBool());
            QApplication::sendEvent(target, &event);
        }
    } else if (name == WebHelperMessage::focus) {
        if (QWidget* target = inputTarget()) {
            QFocusEvent event(arg(0).toBool() ? QEvent::FocusIn : QEvent::FocusOut, Qt::OtherFocusReason);
            QApplication::sendEvent(target, &event);
        }
    } else if (name == WebHelperMessage::leave) {
        if (QWidget* target = inputTarget()) {
            QEvent event(QEvent::Leave);
            QApplication::sendEvent(target, &event);
        }
    } else if (name == WebHelperMessage::quit) {
        QCoreApplication::quit();
    }
}

void PageHost::addHandler(const QString& name)
{
    if (m_bridge->handlerNames().contains(name))
        return;
    m_bridge->addHandler(name);
    installMessagingScript();
    // The page already showing gets the handler too, not only the next one.
    m_page->runJavaScript(QStringLiteral("window.__parclyAddMessageHandler && window.__parclyAddMessageHandler(%1);")
                              .arg(jsonStringList({name}).mid(1).chopped(1)),
                          QWebEngineScript::MainWorld);
}

void PageHost::installMessagingScript()
{
    static const QString channelLibrary = resourceText(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    static const QString messaging = resourceText(QStringLiteral(":/parcly-web/ScriptMessaging.js"));
    const QString bootstrap = QString(messaging)
                                  .replace(QStringLiteral("%HANDLER_NAMES%"), jsonStringList(m_bridge->handlerNames()))
                                  .replace(QStringLiteral("%BRIDGE_NAME%"), kBridgeName);
    QWebEngineScriptCollection& scripts = m_page->scripts();
    for (const QWebEngineScript& old : scripts.find(kMessagingScriptName))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(kMessagingScriptName);
    script.setSourceCode(QStringLiteral("(function () {\n%1\n%2\n})();").arg(channelLibrary, bootstrap));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    scripts.insert(script);
}

// The engine draws into a QQuickWidget of its own (the view's focus proxy), made when the page
// first needs one and replaced when the renderer changes.
void PageHost::watchRenderer()
{
    auto* renderer = qobject_cast<QQuickWidget*>(m_view->focusProxy());
    if (renderer == m_renderer)
        return;
    if (m_renderer) {
        m_renderer->removeEventFilter(this);
        m_renderer->quickWindow()->disconnect(this);
    }
    m_renderer = renderer;
    if (m_renderer) {
        m_renderer->installEventFilter(this);
        // Its own frames; the grab below renders one more, which is not news.
        connect(
            m_renderer->quickWindow(), &QQuickWindow::afterFrameEnd, this,
            [this] {
                if (!m_grabbing)
                    m_frameTimer.start();
            },
            Qt::DirectConnection);
        m_frameTimer.start();
    }
}

QWidget* PageHost::inputTarget() const
{
    return m_view->focusProxy() ? m_view->focusProxy() : m_view;
}

bool PageHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_renderer) {
        switch (event->type()) {
        case QEvent::Resize:
            m_frameTimer.start();
            break;
        case QEvent::CursorChange:
            m_channel->send({WebHelperMessage::cursor, int(m_renderer->cursor().shape())});
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void PageHost::sendFrame()
{
    watchRenderer();
    if (!m_renderer)
        return;
    m_grabbing = true;
    QImage frame = m_renderer->grabFramebuffer();
    m_grabbing = false;
    if (frame.isNull())
        return;
    frame.convertTo(QImage::Format_ARGB32_Premultiplied);
    if (frame == m_lastFrame)
        return;
    m_lastFrame = frame;
    const QByteArray bytes(reinterpret_cast<const char*>(frame.constBits()), frame.sizeInBytes());
    m_channel->send({WebHelperMessage::frame, frame.width(), frame.height(), frame.devicePixelRatio(), frame.bytesPerLine(), bytes});
}
