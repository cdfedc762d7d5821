#include "app/menubar/WindowZoom.h"

#include "platform/gui/DesktopManagers.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLineF>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>

namespace {

constexpr int kBaseResizeMs = 200;
constexpr int kResizeMsPer100Px = 10;
constexpr int kMaxResizeMs = 500;

} // namespace

namespace Extensions {

void zoomOffToRect(QWidget* window, const QRect& target)
{
    if (!window || !window->isVisible())
        return;
    const QRect frame = window->frameGeometry();
    QWidget* zoom = createZoomWindowWithRect(window, frame);
    zoom->show();
    zoom->raise();
    window->hide();
    animateToFrame(zoom, target, animationResizeTime(frame, target));
    // The animation's end has closed it already; a second close does nothing.
    zoom->close();
    delete zoom;
}

QWidget* createZoomWindowWithRect(QWidget* window, const QRect& rect)
{
    const QImage snapshot = screenshot(window);
    // Above panels and everything else, out of the window manager's hands, never taking input.
    auto* zoom = new QWidget(nullptr,
                             Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint
                                 | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
    zoom->setObjectName(QStringLiteral("ZoomWindow"));
    // Its own title: an untitled window is named after the app, like the drop target.
    zoom->setWindowTitle(QStringLiteral("Zoom"));
    zoom->setAttribute(Qt::WA_ShowWithoutActivating);
    // See-through only where a compositing manager blends it; the snapshot covers it whole anyway.
    zoom->setAttribute(Qt::WA_TranslucentBackground, DesktopManagers::instance().isCompositing());
    auto* layout = new QVBoxLayout(zoom);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* image = new QLabel(zoom);
    image->setObjectName(QStringLiteral("ZoomImage"));
    // Stretched on both axes, whatever the target's proportions.
    image->setScaledContents(true);
    image->setMinimumSize(1, 1);
    image->setPixmap(QPixmap::fromImage(snapshot));
    layout->addWidget(image);
    zoom->setMinimumSize(1, 1);
    zoom->setGeometry(rect);
    return zoom;
}

void animateToFrame(QWidget* window, const QRect& frame, int durationMs)
{
    QVariantAnimation animation;
    animation.setStartValue(window->geometry());
    // A window cannot be smaller than a pixel; the zero rectangle ends as a point at the origin.
    animation.setEndValue(QRect(frame.topLeft(), frame.size().expandedTo(QSize(1, 1))));
    animation.setDuration(std::max(0, durationMs));
    animation.setEasingCurve(QEasingCurve::OutCubic);
    QObject::connect(&animation, &QVariantAnimation::valueChanged, window,
                     [window](const QVariant& value) { window->setGeometry(value.toRect()); });
    QEventLoop loop;
    QObject::connect(&animation, &QVariantAnimation::finished, &loop, &QEventLoop::quit);
    animation.start();
    // Blocking: the caller goes on once the animation is over, and no click lands meanwhile.
    if (animation.state() == QAbstractAnimation::Running)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    window->close();
}

int animationResizeTime(const QRect& from, const QRect& to)
{
    const qreal travel
        = std::max({QLineF(from.topLeft(), to.topLeft()).length(), QLineF(from.topRight(), to.topRight()).length(),
                    QLineF(from.bottomLeft(), to.bottomLeft()).length(), QLineF(from.bottomRight(), to.bottomRight()).length()});
    return std::min(kMaxResizeMs, kBaseResizeMs + qRound(travel * kResizeMsPer100Px / 100.0));
}

QImage screenshot(QWidget* window)
{
    QImage image = windowImageShot(window);
    // Its size in points is the window's frame size, whatever the screen's pixel ratio.
    const QSize frame = window->frameGeometry().size();
    if (!image.isNull() && frame.width() > 0)
        image.setDevicePixelRatio(qreal(image.width()) / frame.width());
    return image;
}

QImage windowImageShot(QWidget* window)
{
    const QRect frame = window->frameGeometry();
    QScreen* screen = window->screen();
    if (screen && QGuiApplication::platformName() != QLatin1String("offscreen") && screen->geometry().contains(frame)) {
        const QPoint origin = frame.topLeft() - screen->geometry().topLeft();
        const QImage shot = screen->grabWindow(0, origin.x(), origin.y(), frame.width(), frame.height()).toImage();
        if (!shot.isNull())
            return shot;
    }
    return window->grab().toImage();
}

} // namespace Extensions
