#include "app/web/RemoteWebView.h"

#include "app/web/WebHelperChannel.h"
#include "platform/Log.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QTimer>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kFadeMs = 250;
// How long a helper told to exit may take before it is killed.
constexpr int kHelperExitGraceMs = 3000;

} // namespace

RemoteWebView::RemoteWebView(const QString& helperPath, QWidget* parent)
    : WebView(parent)
    , m_helperPath(helperPath)
    , m_fade(new QVariantAnimation(this))
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    m_fade->setDuration(kFadeMs);
    m_fade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) { setPaintedAlpha(value.toDouble()); });
}

RemoteWebView::~RemoteWebView()
{
    stopHelper();
}

void RemoteWebView::addScriptMessageHandler(const QString& name)
{
    if (m_handlers.contains(name))
        return;
    m_handlers.append(name);
    send({WebHelperMessage::addHandler, name});
}

void RemoteWebView::load(const QUrl& url)
{
    m_url = url;
    if (!m_channel)
        startHelper(); // loads m_url
    else
        send({WebHelperMessage::load, url});
}

void RemoteWebView::setDrawsBackground(bool draws)
{
    m_drawsBackground = draws;
    update();
}

void RemoteWebView::setAlphaValue(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    m_fade->stop();
    setPaintedAlpha(m_alpha);
}

void RemoteWebView::animateAlphaValue(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    m_fade->stop();
    m_fade->setStartValue(m_paintedAlpha);
    m_fade->setEndValue(m_alpha);
    m_fade->start();
}

void RemoteWebView::runJavaScript(const QString& script)
{
    send({WebHelperMessage::runJavaScript, script});
}

qint64 RemoteWebView::helperProcessId() const
{
    return m_process ? m_process->processId() : 0;
}

void RemoteWebView::setPaintedAlpha(double alpha)
{
    m_paintedAlpha = alpha;
    update();
}

// --- The helper ---------------------------------------------------------------------------------

void RemoteWebView::startHelper()
{
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        logLine(QStringLiteral("Web helper: no socket for it: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        emit didFailNavigation(QStringLiteral("no web helper"));
        return;
    }
    const int helperEnd = sockets[1];
    m_process = new QProcess(this);
    m_process->setProgram(m_helperPath);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setProcessChannelMode(QProcess::ForwardedChannels);
    m_process->setChildProcessModifier([helperEnd] {
        if (helperEnd == kWebHelperSocketDescriptor)
            ::fcntl(helperEnd, F_SETFD, 0);
        else
            ::dup2(helperEnd, kWebHelperSocketDescriptor);
    });
    m_channel = new WebHelperChannel(sockets[0], this);
    connect(m_channel, &WebHelperChannel::messageReceived, this, &RemoteWebView::handle);

    QProcess* process = m_process;
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        logLine(QStringLiteral("Web helper: cannot start %1: %2").arg(m_helperPath, process->errorString()));
        if (process == m_process) {
            stopHelper();
            emit didFailNavigation(QStringLiteral("the web helper did not start"));
        }
    });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        if (process != m_process)
            return;
        // Still wanted, yet gone: the page is no longer there.
        logLine(QStringLiteral("Web helper: exited unexpectedly (%1 %2)")
                    .arg(status == QProcess::CrashExit ? QStringLiteral("crash") : QStringLiteral("status"))
                    .arg(exitCode));
        stopHelper();
        update();
    });
    process->start();
    ::close(helperEnd);

    for (const QString& name : std::as_const(m_handlers))
        send({WebHelperMessage::addHandler, name});
    send({WebHelperMessage::resize, width(), height()});
    if (m_url.isValid())
        send({WebHelperMessage::load, m_url});
}

void RemoteWebView::stopHelper()
{
    m_frame = QImage();
    m_frameBytes.clear();
    if (m_channel) {
        m_channel->send({WebHelperMessage::quit});
        m_channel->close();
        m_channel->deleteLater();
        m_channel = nullptr;
    }
    if (!m_process)
        return;
    // The helper exits on its own once told (or once the socket closes); it is not waited for
    // here, and killed if it lingers.
    QProcess* process = std::exchange(m_process, nullptr);
    process->disconnect(this);
    process->setParent(nullptr);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    QObject::connect(process, &QProcess::finished, process, [process] {
        process->deleteLater();
        // The frames were large enough to come from the heap's top; hand those pages back now
        // rather than whenever the heap next shrinks, since a tray app stays for the day.
        malloc_trim(0);
    });
    QTimer::singleShot(kHelperExitGraceMs, process, [process] {
        logLine(QStringLiteral("Web helper: did not exit when asked; killing it"));
        process->kill();
    });
}

void RemoteWebView::send(const QVariantList& message)
{
    if (m_channel)
        m_channel->send(message);
}

void RemoteWebView::handle(const QVariantList& message)
{
    const QString name = message.value(0).toString();
    if (name == WebHelperMessage::frame)
        showFrame(message);
    else if (name == WebHelperMessage::finished)
        emit didFinishNavigation();
    else if (name == WebHelperMessage::failed)
        emit didFailNavigation(message.value(1).toString());
    else if (name == WebHelperMessage::message && m_handlers.contains(message.value(1).toString()))
        emit didReceiveScriptMessage(message.value(1).toString(), message.value(2));
    else if (name == WebHelperMessage::cursor)
        setCursor(Qt::CursorShape(std::clamp(message.value(1).toInt(), 0, int(Qt::LastCursor))));
}

void RemoteWebView::showFrame(const QVariantList& message)
{
    const int width = message.value(1).toInt();
    const int height = message.value(2).toInt();
    const double ratio = message.value(3).toDouble();
    const qsizetype bytesPerLine = message.value(4).toLongLong();
    const QByteArray bytes = message.value(5).toByteArray();
    if (width <= 0 || height <= 0 || bytesPerLine < qsizetype(width) * 4 || bytes.size() < bytesPerLine * height) {
        logLine(QStringLiteral("Web helper: a frame of %1 x %2 with %3 bytes is not a frame; ignored")
                    .arg(width)
                    .arg(height)
                    .arg(bytes.size()));
        return;
    }
    m_frameBytes = bytes;
    m_frame = QImage(reinterpret_cast<const uchar*>(m_frameBytes.constData()), width, height, bytesPerLine,
                     QImage::Format_ARGB32_Premultiplied);
    m_frame.setDevicePixelRatio(ratio > 0 ? ratio : 1.0);
    update();
}

// --- Painting and input -------------------------------------------------------------------------

void RemoteWebView::paintEvent(QPaintEvent*)
{
    if (m_paintedAlpha <= 0.0)
        return;
    QPainter painter(this);
    if (m_drawsBackground)
        painter.fillRect(rect(), QColor(255, 255, 255, qRound(255 * m_paintedAlpha)));
    if (!m_frame.isNull()) {
        painter.setOpacity(m_paintedAlpha);
        painter.drawImage(QPoint(0, 0), m_frame);
    }
}

void RemoteWebView::resizeEvent(QResizeEvent* event)
{
    WebView::resizeEvent(event);
    send({WebHelperMessage::resize, width(), height()});
}

void RemoteWebView::showEvent(QShowEvent* event)
{
    WebView::showEvent(event);
    if (!m_channel && m_url.isValid())
        startHelper();
}

void RemoteWebView::hideEvent(QHideEvent* event)
{
    WebView::hideEvent(event);
    stopHelper();
}

void RemoteWebView::forwardMouse(QMouseEvent* event)
{
    send({WebHelperMessage::mouse, int(event->type()), event->position().x(), event->position().y(), int(event->button()),
          int(event->buttons()), int(event->modifiers())});
    event->accept();
}

void RemoteWebView::mousePressEvent(QMouseEvent* event)
{
    forwardMouse(event);
}
void RemoteWebView::mouseReleaseEvent(QMouseEvent* event)
{
    forwardMouse(event);
}
void RemoteWebView::mouseDoubleClickEvent(QMouseEvent* event)
{
    forwardMouse(event);
}
void RemoteWebView::mouseMoveEvent(QMouseEvent* event)
{
    forwardMouse(event);
}

void RemoteWebView::wheelEvent(QWheelEvent* event)
{
    send({WebHelperMessage::wheel, event->position().x(), event->position().y(), event->angleDelta().x(), event->angleDelta().y(),
          int(event->buttons()), int(event->modifiers())});
    event->accept();
}

void RemoteWebView::forwardKey(QKeyEvent* event)
{
    send({WebHelperMessage::key, int(event->type()), event->key(), int(event->modifiers()), event->text(), event->isAutoRepeat(),
          event->nativeScanCode(), event->nativeVirtualKey(), event->nativeModifiers()});
    // Escape still reaches the window too, so a popover or dialog showing a page closes on it.
    if (event->matches(QKeySequence::Cancel))
        event->ignore();
    else
        event->accept();
}

void RemoteWebView::keyPressEvent(QKeyEvent* event)
{
    forwardKey(event);
}
void RemoteWebView::keyReleaseEvent(QKeyEvent* event)
{
    forwardKey(event);
}

void RemoteWebView::focusInEvent(QFocusEvent* event)
{
    WebView::focusInEvent(event);
    send({WebHelperMessage::focus, true});
}

void RemoteWebView::focusOutEvent(QFocusEvent* event)
{
    WebView::focusOutEvent(event);
    send({WebHelperMessage::focus, false});
}

void RemoteWebView::leaveEvent(QEvent* event)
{
    WebView::leaveEvent(event);
    send({WebHelperMessage::leave});
}
