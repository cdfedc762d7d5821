#include "app/menubar/DropTargetWindow.h"

#include "app/menubar/StatusItemController.h"
#include "platform/Defaults.h"
#include "platform/gui/DesktopManagers.h"
#include "platform/gui/Pasteboard.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

DropTargetWindow::DropTargetWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setWindowTitle(QStringLiteral("Parcly Lite"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAcceptDrops(true);
    setFixedSize(kSide, kSide);
    setToolTip(QStringLiteral("Drop files here to share them with Parcly Lite. Click for the menu."));
    restorePosition();
    DesktopManagers& managers = DesktopManagers::instance();
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
    move(m_pressWindowPosition + delta);
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
    if (m_destination)
        m_destination->draggingEntered(Pasteboard(event->mimeData()));
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
    if (m_destination)
        m_destination->draggingExited();
}

void DropTargetWindow::dropEvent(QDropEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
    if (m_destination)
        m_destination->performDragOperation(Pasteboard(event->mimeData()));
}

void DropTargetWindow::restorePosition()
{
    const QVariant stored = Defaults::standard().value(kPositionKey);
    const QRect available = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry() : QRect(0, 0, 800, 600);
    constexpr int kMargin = 24;
    QPoint position = stored.canConvert<QPoint>() ? stored.toPoint() : QPoint();
    // A remembered place that is off every screen now (a monitor went away) falls back to the corner.
    const bool onSomeScreen = stored.isValid() && QGuiApplication::screenAt(position + QPoint(kSide / 2, kSide / 2));
    if (!onSomeScreen) {
        const int x = available.left() + available.width() - kSide - kMargin;
        position = DesktopManagers::instance().hasTray() ? QPoint(x, available.top() + available.height() - kSide - kMargin)
                                                         : QPoint(x, available.top() + kMargin);
    }
    move(position);
}

void DropTargetWindow::savePosition() const
{
    Defaults::standard().setValue(kPositionKey, pos());
    Defaults::standard().synchronize();
}
