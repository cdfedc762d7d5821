// The zoom that takes a window off the screen into a rectangle, on a real X display.
#include "app/menubar/WindowZoom.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QPointer>
#include <QSet>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <memory>

namespace {

const QColor kTopLeft(220, 30, 30), kTopRight(30, 180, 60), kBottomLeft(30, 60, 220), kBottomRight(240, 200, 20);

// A window of four coloured quarters, so a snapshot shows how it was stretched.
class Quarters : public QWidget {
public:
    Quarters()
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint)
    {
        setAttribute(Qt::WA_DeleteOnClose);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const int w = width() / 2, h = height() / 2;
        painter.fillRect(0, 0, w, h, kTopLeft);
        painter.fillRect(w, 0, width() - w, h, kTopRight);
        painter.fillRect(0, h, w, height() - h, kBottomLeft);
        painter.fillRect(w, h, width() - w, height() - h, kBottomRight);
    }
};

// Records what the zoom windows do: the frames they pass through and whether they were closed.
class ZoomWatcher : public QObject {
public:
    ZoomWatcher() { qApp->installEventFilter(this); }
    ~ZoomWatcher() override { qApp->removeEventFilter(this); }

    int shown = 0;
    int closed = 0;
    QList<QRect> frames;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || widget->objectName() != QLatin1String("ZoomWindow"))
            return false;
        if (event->type() == QEvent::Show)
            ++shown;
        else if (event->type() == QEvent::Close)
            ++closed;
        else if ((event->type() == QEvent::Resize || event->type() == QEvent::Move) && widget->isVisible()
                 && (frames.isEmpty() || frames.last() != widget->geometry()))
            frames.append(widget->geometry());
        return false;
    }
};

bool sameColor(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) < 8 && qAbs(a.green() - b.green()) < 8 && qAbs(a.blue() - b.blue()) < 8;
}

} // namespace

TEST(WindowZoom, AShownWindowFliesIntoTheTargetAndIsHiddenNotClosed)
{
    ZoomWatcher watcher;
    QPointer<Quarters> window = new Quarters;
    window->setGeometry(300, 300, 400, 200);
    const QRect target(1200, 10, 24, 24);

    // Hidden, it is left alone: no zoom window, no change.
    Extensions::zoomOffToRect(window, target);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->geometry(), QRect(300, 300, 400, 200));
    EXPECT_EQ(watcher.shown, 0) << "a zoom window was made for a hidden window";

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    const QRect frame = window->frameGeometry();

    // The further the corners travel, the longer it takes, within bounds.
    EXPECT_EQ(Extensions::animationResizeTime(frame, frame), 200);
    EXPECT_GT(Extensions::animationResizeTime(frame, frame.translated(150, 0)), 200);
    EXPECT_EQ(Extensions::animationResizeTime(QRect(0, 0, 100, 100), QRect(5000, 5000, 10, 10)), 500);
    const int duration = Extensions::animationResizeTime(frame, target);

    QElapsedTimer clock;
    clock.start();
    Extensions::zoomOffToRect(window, target);
    const qint64 elapsed = clock.elapsed();

    // Over by the time the call returns: the zoom window went all the way, step by step, and closed.
    EXPECT_GE(elapsed, duration);
    EXPECT_EQ(watcher.shown, 1);
    EXPECT_GE(watcher.closed, 1);
    ASSERT_FALSE(watcher.frames.isEmpty());
    EXPECT_EQ(watcher.frames.last(), target);
    EXPECT_GT(watcher.frames.size(), 3) << "no animation between the two frames";
    const QWidgetList windows = QApplication::topLevelWidgets();
    const bool noZoomWindowLeft
        = std::none_of(windows.cbegin(), windows.cend(), [](QWidget* w) { return w->objectName() == QLatin1String("ZoomWindow"); });
    EXPECT_TRUE(noZoomWindowLeft);

    // Hidden, not closed: a window deleted on close is still there, and can come back.
    ASSERT_TRUE(window) << "the window was closed";
    EXPECT_FALSE(window->isVisible());
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
    delete window;
}

TEST(WindowZoom, TheSnapshotIsStretchedOnBothAxes)
{
    std::unique_ptr<Quarters> window(new Quarters);
    window->setGeometry(100, 100, 200, 100);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTest::qWait(100);

    // A tall target for a wide window: each quarter fills its corner of it.
    std::unique_ptr<QWidget> zoom(Extensions::createZoomWindowWithRect(window.get(), QRect(500, 300, 60, 120)));
    zoom->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(zoom.get()));
    const QImage shot = zoom->grab().toImage();
    ASSERT_EQ(shot.size() / shot.devicePixelRatio(), QSize(60, 120));
    const int w = shot.width(), h = shot.height();
    EXPECT_TRUE(sameColor(shot.pixelColor(2, 2), kTopLeft)) << shot.pixelColor(2, 2).name().toStdString();
    EXPECT_TRUE(sameColor(shot.pixelColor(w - 3, 2), kTopRight)) << shot.pixelColor(w - 3, 2).name().toStdString();
    EXPECT_TRUE(sameColor(shot.pixelColor(2, h - 3), kBottomLeft)) << shot.pixelColor(2, h - 3).name().toStdString();
    EXPECT_TRUE(sameColor(shot.pixelColor(w - 3, h - 3), kBottomRight)) << shot.pixelColor(w - 3, h - 3).name().toStdString();
    // The quarters meet in the middle of the target, not of a letterboxed copy.
    EXPECT_TRUE(sameColor(shot.pixelColor(w / 2 - 4, h / 2 - 6), kTopLeft));
    EXPECT_TRUE(sameColor(shot.pixelColor(w / 2 + 4, h / 2 + 6), kBottomRight));
}
