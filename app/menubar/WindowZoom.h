#pragma once

#include <QImage>
#include <QRect>

class QWidget;

// A window leaving the screen by shrinking into a rectangle (the tray icon): its snapshot, in a
// frameless see-through window above everything, is stretched down to the rectangle with an
// ease-out curve while the window itself is hidden. Main thread only.
namespace Extensions {

// Hides a visible window with the zoom into target (screen coordinates), and returns once the
// animation is over; the window is hidden, not closed. A hidden window is left alone.
void zoomOffToRect(QWidget* window, const QRect& target);

// A new zoom window over rect showing the window's snapshot, stretched on both axes; not yet
// shown. The caller owns it.
QWidget* createZoomWindowWithRect(QWidget* window, const QRect& rect);

// Moves and resizes window to frame over durationMs with an ease-out curve, holding back user
// input until the end, and closes window when done.
void animateToFrame(QWidget* window, const QRect& frame, int durationMs);

// The time a frame change from -> to takes: 200 ms plus 10 ms for every 100 px of travel of the
// corner that moves most, capped at 500 ms.
int animationResizeTime(const QRect& from, const QRect& to);

// The window's snapshot, at its frame size.
QImage screenshot(QWidget* window);
// What the screen shows where the window lies, windows in front of it included; where the screen
// cannot be read, the window's own rendering.
QImage windowImageShot(QWidget* window);

} // namespace Extensions
