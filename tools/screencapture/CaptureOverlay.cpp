#include "CaptureOverlay.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <utility>

namespace {

constexpr int kGrabRetries = 50; // another program may hold the keyboard for a moment
constexpr int kGrabRetryDelayMs = 20;
const QColor kDimming(0, 0, 0, 110);
const QColor kOutline(255, 255, 255, 220);

} // namespace

CaptureOverlay::CaptureOverlay(Mode mode, QImage desktop, QList<QRect> windows)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint)
    , m_mode(mode)
    , m_desktop(std::move(desktop))
    , m_windows(std::move(windows))
{
    // The title changes to readyTitle() once input is ours, so a script can wait for it.
    setWindowTitle(QStringLiteral("Parcly Screen Capture (starting)"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setCursor(Qt::CrossCursor);
    const qreal ratio = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->devicePixelRatio() : 1.0;
    m_desktop.setDevicePixelRatio(ratio);
    setGeometry(QRect(QPoint(0, 0), m_desktop.deviceIndependentSize().toSize()));
}

QString CaptureOverlay::readyTitle()
{
    return QStringLiteral("Parcly Screen Capture");
}

void CaptureOverlay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    activateWindow();
    QTimer::singleShot(0, this, &CaptureOverlay::grabInput);
}

// An override-redirect window gets no focus from a window manager, so it takes the keyboard
// (for Escape) and the pointer itself. A grab fails while the window is not yet viewable or
// while another program holds one, so it is retried for a moment; without it the overlay still
// works wherever focus follows the pointer.
void CaptureOverlay::grabInput()
{
    QWindow* window = windowHandle();
    const bool grabbed = window && window->isExposed() && window->setKeyboardGrabEnabled(true) && window->setMouseGrabEnabled(true);
    if (!grabbed && ++m_grabAttempts < kGrabRetries) {
        QTimer::singleShot(kGrabRetryDelayMs, this, &CaptureOverlay::grabInput);
        return;
    }
    const QPoint pointer = toDevice(mapFromGlobal(QCursor::pos()));
    m_pointer = pointer;
    if (m_mode == Mode::Window)
        m_highlighted = windowAt(pointer);
    update();
    setWindowTitle(readyTitle());
}

QPoint CaptureOverlay::toDevice(const QPointF& local) const
{
    return (local * m_desktop.devicePixelRatio()).toPoint();
}

QRectF CaptureOverlay::toLocal(const QRect& device) const
{
    const qreal ratio = m_desktop.devicePixelRatio();
    return QRectF(QPointF(device.topLeft()) / ratio, QSizeF(device.size()) / ratio);
}

// The rectangle spanned by the press and the current point, as many pixels wide as the
// pointer moved: a drag from x=100 to x=300 takes 200 columns.
QRect CaptureOverlay::selectionInDevicePixels() const
{
    const QPoint topLeft(qMin(m_anchor.x(), m_pointer.x()), qMin(m_anchor.y(), m_pointer.y()));
    const QSize size(qAbs(m_pointer.x() - m_anchor.x()), qAbs(m_pointer.y() - m_anchor.y()));
    return QRect(topLeft, size).intersected(m_desktop.rect());
}

QRect CaptureOverlay::windowAt(const QPoint& device) const
{
    for (auto it = m_windows.crbegin(); it != m_windows.crend(); ++it) {
        if (it->contains(device))
            return it->intersected(m_desktop.rect());
    }
    return {};
}

void CaptureOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), m_desktop);
    const QRect focus = m_mode == Mode::Window ? m_highlighted : (m_dragging ? selectionInDevicePixels() : QRect());
    const QRectF clear = toLocal(focus);
    // Dim everything but the part that would be captured.
    QPainterPath dimmed;
    dimmed.addRect(rect());
    if (!focus.isEmpty()) {
        QPainterPath hole;
        hole.addRect(clear);
        dimmed = dimmed.subtracted(hole);
    }
    painter.fillPath(dimmed, kDimming);
    if (focus.isEmpty())
        return;
    painter.setPen(QPen(kOutline, 1));
    painter.drawRect(clear.adjusted(0, 0, -1, -1));
    if (m_mode == Mode::Region)
        paintSizeLabel(painter, focus);
}

void CaptureOverlay::paintSizeLabel(QPainter& painter, const QRect& device) const
{
    const QString text = QStringLiteral("%1 × %2").arg(device.width()).arg(device.height());
    const QFontMetrics metrics(painter.font());
    QRectF label(QPointF(0, 0), QSizeF(metrics.horizontalAdvance(text) + 12, metrics.height() + 6));
    // Beside the pointer, kept on the screen.
    QPointF place = QPointF(m_pointer) / m_desktop.devicePixelRatio() + QPointF(14, 14);
    place.setX(qMin(place.x(), width() - label.width()));
    place.setY(qMin(place.y(), height() - label.height()));
    label.moveTopLeft(place);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 180));
    painter.drawRoundedRect(label, 4, 4);
    painter.setPen(Qt::white);
    painter.drawText(label, Qt::AlignCenter, text);
}

void CaptureOverlay::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        emit cancelled();
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_pointer = toDevice(event->position());
    if (m_mode == Mode::Region) {
        m_anchor = m_pointer;
        m_dragging = true;
        update();
    }
}

void CaptureOverlay::mouseMoveEvent(QMouseEvent* event)
{
    m_pointer = toDevice(event->position());
    if (m_mode == Mode::Window) {
        const QRect window = windowAt(m_pointer);
        if (window != m_highlighted) {
            m_highlighted = window;
            update();
        }
    } else if (m_dragging) {
        update();
    }
}

void CaptureOverlay::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pointer = toDevice(event->position());
    QRect chosen;
    if (m_mode == Mode::Window) {
        chosen = windowAt(m_pointer);
    } else if (m_dragging) {
        chosen = selectionInDevicePixels();
        m_dragging = false;
    }
    // A click without a drag, or on the bare desktop, picks nothing: the user tries again.
    if (chosen.isEmpty()) {
        update();
        return;
    }
    QImage image = m_desktop.copy(chosen);
    image.setDevicePixelRatio(1.0);
    emit picked(image);
}

void CaptureOverlay::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape)
        emit cancelled();
    else
        QWidget::keyPressEvent(event);
}
