#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QWidget>

// The full-screen layer on which the user picks what to capture. It shows a still grab of the
// desktop, so what the user sees is exactly what gets written. In region mode the user drags a
// rectangle; in window mode the window under the pointer is highlighted and a click picks it.
// Escape or a right click cancels.
class CaptureOverlay : public QWidget {
    Q_OBJECT
public:
    enum class Mode { Region, Window };

    // `desktop` is the grab in device pixels, its origin at the virtual desktop's origin;
    // `windows` are top-level window rectangles in the same pixels, bottom to top.
    CaptureOverlay(Mode mode, QImage desktop, QList<QRect> windows);

    static QString readyTitle();

signals:
    // The picked part of the grab.
    void picked(const QImage& image);
    void cancelled();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void grabInput();
    QPoint toDevice(const QPointF& local) const;
    QRectF toLocal(const QRect& device) const;
    QRect selectionInDevicePixels() const;
    QRect windowAt(const QPoint& device) const;
    void paintSizeLabel(QPainter& painter, const QRect& device) const;

    Mode m_mode;
    QImage m_desktop;
    QList<QRect> m_windows;
    bool m_dragging = false;
    QPoint m_anchor; // device pixels
    QPoint m_pointer; // device pixels
    QRect m_highlighted;
    int m_grabAttempts = 0;
};
