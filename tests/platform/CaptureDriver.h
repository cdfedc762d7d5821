#pragma once

// Helpers for tests that run the real capture tool on a private Xvfb: a known picture on the
// screen, and xdotool acting as the user once the tool's overlay is up.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <memory>
#include <string>

namespace CaptureDriver {

inline const QString kOverlayTitle = QStringLiteral("^Parcly Screen Capture$");

// Every pixel of the screen-sized pattern is different from its neighbours, so a region cut
// one pixel off, or scaled, does not match.
inline QRgb patternPixel(int x, int y)
{
    return qRgb(x & 0xff, y & 0xff, ((x >> 8) << 4) | (y >> 8));
}

// A frameless top-level window filled with one picture. Bare Xvfb has no window manager, so
// the window is exactly where it is asked to be.
class PictureWindow : public QWidget {
public:
    PictureWindow(const QRect& geometry, QImage picture)
        : QWidget(nullptr, Qt::FramelessWindowHint), m_picture(std::move(picture))
    {
        setGeometry(geometry);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_picture); }

private:
    QImage m_picture;
};

inline QImage patternImage(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, patternPixel(x, y));
    return image;
}

inline QImage solidImage(const QSize& size, const QColor& color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

// Shows the window and waits until the screen itself shows its picture at `probe` (global).
inline bool showAndWaitUntilOnScreen(QWidget& window, const QPoint& probe, QRgb expected)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return false;
    return QTest::qWaitFor(
        [&] {
            const QImage screen = window.screen()->grabWindow(0, probe.x(), probe.y(), 1, 1).toImage();
            return !screen.isNull() && screen.pixel(0, 0) == expected;
        },
        5000);
}

// Waits (up to 15 s) for the overlay to be up and holding the input, then runs the xdotool
// actions. Returns false if the overlay never came. Blocking and free of Qt, so it may run on a
// thread of its own while the main thread waits for the tool.
inline bool whenOverlayIsUp(const std::string& xdotoolActions)
{
    const std::string wait = "timeout 15 xdotool search --sync --onlyvisible --name '"
        + kOverlayTitle.toStdString() + "' >/dev/null";
    if (std::system(wait.c_str()) != 0)
        return false;
    return std::system(("xdotool " + xdotoolActions).c_str()) == 0;
}

inline const std::string kDragFrom100x100To300x250 = "mousemove 100 100 mousedown 1 mousemove 300 250 mouseup 1";

} // namespace CaptureDriver
