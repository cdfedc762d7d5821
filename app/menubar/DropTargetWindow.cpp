#include "app/menubar/DropTargetWindow.h"

#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/gui/DesktopManagers.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

DropTargetWindow::DropTargetWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
{
    // A drop target that took the focus at launch or on a click would pull the keyboard away from
    // the window being worked in. The menu it opens takes the keyboard itself while it is open.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    DesktopManagers& managers = DesktopManagers::instance();
    // A Wayland compositor focuses every X window it manages as it maps it and places it where it
    // likes (sway centres it). One it does not manage stands where it asks, above the windows,
    // and a utility window of that kind is never given the focus.
    if (managers.isXWayland())
        setWindowFlag(Qt::BypassWindowManagerHint, true);
    setWindowTitle(QStringLiteral("Parcly Lite"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAcceptDrops(true);
    setFixedSize(kSide, kSide);
    setToolTip(QStringLiteral("Drop files here to share them with Parcly Lite. Click for the menu."));
    restorePosition();
    applyCompositing(managers.isCompositing());
    connect(&managers, &DesktopManagers::compositingChanged, this, &DropTargetWindow::applyCompositing);
}

void DropTargetWindow::applyCompositing(bool compositing)
{
    m_compositing = compositing;
    if (compositing) {
        clearMask();
    } else {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
    update();
}

void DropTargetWindow::setImage(const QIcon& image)
{
    m_image = image;
    update();
}

void DropTargetWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // A rounded plate in the desktop's window colour keeps the panel glyph readable on any wallpaper.
    const QRectF plate = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(plate, kCornerRadius, kCornerRadius);
    QColor fill = palette().color(QPalette::Window);
    if (!m_compositing) {
        // The mask leaves the corners out; what it keeps must be fully painted.
        painter.fillRect(rect(), fill);
    } else {
        fill.setAlpha(235);
    }
    painter.fillPath(path, fill);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawPath(path);

    // The tray images are drawn for a 22-pixel panel; the drop target shows them twice as large,
    // from the 2x image, so they stay sharp.
    const int glyph = 44;
    const QRect target((width() - glyph) / 2, (height() - glyph) / 2, glyph, glyph);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, m_image.pixmap(QSize(22, 22), 2.0 * devicePixelRatioF()));
}

void DropTargetWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    m_pressed = true;
    m_moving = false;
    m_pressPosition = event->globalPosition().toPoint();
    m_pressWindowPosition = pos();
}

void DropTargetWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    const QPoint delta = event->globalPosition().toPoint() - m_pressPosition;
    if (!m_moving && delta.manhattanLength() < QApplication::startDragDistance())
        return;
    m_moving = true;
    place(m_pressWindowPosition + delta);
}

void DropTargetWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return QWidget::mouseReleaseEvent(event);
    m_pressed = false;
    if (m_moving)
        savePosition();
    else
        emit clicked();
    m_moving = false;
}

void DropTargetWindow::dragEnterEvent(QDragEnterEvent* event)
{
    // Every drag is welcome; what a drop uploads is decided when it lands.
    emit dragEntered(event->mimeData());
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropTargetWindow::dragMoveEvent(QDragMoveEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropTargetWindow::dragLeaveEvent(QDragLeaveEvent*)
{
    emit dragExited();
}

void DropTargetWindow::dropEvent(QDropEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit dropped(event->mimeData());
}

void DropTargetWindow::restorePosition()
{
    const QVariant stored = Defaults::standard().value(kPositionKey);
    const QRect available
        = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry() : QRect(0, 0, 800, 600);
    constexpr int kMargin = 24;
    QPoint position = stored.canConvert<QPoint>() ? stored.toPoint() : QPoint();
    // A remembered place that is off every screen now (a monitor went away) falls back to the corner.
    const bool onSomeScreen = stored.isValid() && QGuiApplication::screenAt(position + QPoint(kSide / 2, kSide / 2));
    if (!onSomeScreen) {
        const int x = available.left() + available.width() - kSide - kMargin;
        position = DesktopManagers::instance().hasTray() ? QPoint(x, available.top() + available.height() - kSide - kMargin)
                                                         : QPoint(x, available.top() + kMargin);
    }
    // Asking again where the desktop placed it already once would only make it jump about.
    if (m_positionsIgnored && isVisible())
        return;
    place(position);
}

void DropTargetWindow::place(const QPoint& position)
{
    m_requestedPosition = position;
    move(position);
}

void DropTargetWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (!isVisible() || m_positionsIgnored || m_placementCheckPending || pos() == m_requestedPosition)
        return;
    // The window system reports moves it was asked for late, one after another: only a place
    // that stays different a moment later is the desktop's own choice.
    m_placementCheckPending = true;
    QTimer::singleShot(500, this, &DropTargetWindow::checkPlacement);
}

void DropTargetWindow::checkPlacement()
{
    m_placementCheckPending = false;
    if (!isVisible() || m_positionsIgnored || (pos() - m_requestedPosition).manhattanLength() <= 2)
        return;
    m_positionsIgnored = true;
    logLine(
        QStringLiteral("The desktop placed the drop target at (%1, %2), not at (%3, %4) where it asked; it stays where the desktop put it.")
            .arg(pos().x())
            .arg(pos().y())
            .arg(m_requestedPosition.x())
            .arg(m_requestedPosition.y()));
    m_requestedPosition = pos();
}

void DropTargetWindow::savePosition() const
{
    Defaults::standard().setValue(kPositionKey, pos());
    Defaults::standard().synchronize();
}
