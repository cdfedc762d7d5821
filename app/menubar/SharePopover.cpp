#include "app/menubar/SharePopover.h"

#include "platform/gui/DesktopManagers.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

SharePopover::SharePopover(QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint)
    , m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("SharePopover"));
    // Beside XWayland, a popup is a window the compositor knows nothing of: a click into a Wayland
    // window reaches no X client, so nothing could tell it to close. A window the compositor
    // manages is activated as shown and deactivated when the user goes elsewhere, which the
    // active-window property tells.
    if (DesktopManagers::instance().isXWayland())
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    setWindowTitle(QStringLiteral("Share a File with Parcly Lite"));
    // Translucent around the plate only where a compositing manager blends it; otherwise the
    // margin would show black, so the window is opaque and cut to the plate's shape instead.
    m_translucent = DesktopManagers::instance().isCompositing();
    setAttribute(Qt::WA_TranslucentBackground, m_translucent);
    // Each share that shows the popover makes a new one: a closed one (a click elsewhere, Escape)
    // is freed with its page, not kept as a hidden window for the rest of the run.
    setAttribute(Qt::WA_DeleteOnClose, true);
    m_layout->setContentsMargins(0, 0, 0, 0);
    resize(kContentSize);

    connect(&DesktopManagers::instance(), &DesktopManagers::activeWindowChanged, this, &SharePopover::closeForWindow);
    // Shown while another program has the focus, the app may never become active; once it was,
    // losing the focus means the user went elsewhere.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (!isVisible())
            return;
        if (state == Qt::ApplicationActive)
            m_seenActive = true;
        else if (m_seenActive)
            close();
    });
}

void SharePopover::closeForWindow(quintptr window)
{
    if (!isVisible())
        return;
    // Our own windows (a file panel the page opens, the popover itself) keep it open.
    for (QWindow* ours : QGuiApplication::allWindows()) {
        if (window && ours->handle() && ours->winId() == window)
            return;
    }
    close();
}

void SharePopover::setContentViewController(QWidget* content)
{
    if (m_content)
        m_layout->removeWidget(m_content);
    m_content = content;
    if (content) {
        content->setParent(this);
        m_layout->addWidget(content);
    }
}

void SharePopover::showRelativeToRect(const QRect& anchor)
{
    QScreen* screen = anchor.isEmpty() ? nullptr : QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), kContentSize * 3);
    const QSize size = this->size();

    QPoint position;
    if (anchor.isEmpty()) {
        position = available.center() - QPoint(size.width() / 2, size.height() / 2);
    } else {
        const int gap = 6;
        const bool roomBelow = anchor.bottom() + gap + size.height() <= available.bottom();
        position = QPoint(anchor.center().x() - size.width() / 2, roomBelow ? anchor.bottom() + gap : anchor.top() - gap - size.height());
    }
    position.setX(qBound(available.left(), position.x(), available.right() - size.width()));
    position.setY(qBound(available.top(), position.y(), available.bottom() - size.height()));
    move(position);
    // Only a change seen while it shows counts: showing a popup may itself move the focus about.
    m_seenActive = false;
    show();
}

void SharePopover::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SharePopover::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_translucent)
        return;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(10, 10, -10, -10), 16, 16);
    setMask(QRegion(shape.toFillPolygon().toPolygon()));
}

void SharePopover::paintEvent(QPaintEvent*)
{
    // Where the page draws its card: 10 px in from the edges, corners of 16 px.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!m_translucent)
        painter.fillRect(rect(), palette().color(QPalette::Window));
    QPainterPath plate;
    plate.addRoundedRect(QRectF(rect()).adjusted(10.5, 10.5, -10.5, -10.5), 16, 16);
    painter.fillPath(plate, palette().color(QPalette::Window));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawPath(plate);
}
