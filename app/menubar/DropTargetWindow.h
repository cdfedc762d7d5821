#pragma once

#include <QIcon>
#include <QMimeData>
#include <QPoint>
#include <QWidget>

// The small always-on-top window that takes drops for the app, since a tray icon cannot. It shows
// the status item's image, reports every drag through its signals, opens the menu on a
// click and can be dragged to another place, which it remembers. It never takes the keyboard
// focus (the X input hint says so too): it stands beside whatever the user works in.
// Where the desktop does not put windows where they ask (some compositors place every X window
// themselves), it says so once and stays where the desktop put it rather than fighting it.
class DropTargetWindow : public QWidget {
    Q_OBJECT
public:
    explicit DropTargetWindow(QWidget* parent = nullptr);

    void setImage(const QIcon& image);

    // Back to the place it starts at, unless the user has moved it: where a tray is present, the
    // bottom-right of the primary screen's available area, clear of maximised windows' buttons;
    // without a tray it stands in for the tray icon, at the top-right.
    void restorePosition();

    static inline const QString kPositionKey = QStringLiteral("dropTargetPosition");
    static constexpr int kSide = 64;
    static constexpr int kCornerRadius = 14;

signals:
    void clicked();
    // A drag came over the window, left it, or was dropped on it. The drag's data lives as long as
    // the call: whoever decides what a drop does reads it at once.
    void dragEntered(const QMimeData* data);
    void dragExited();
    void dropped(const QMimeData* data);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void savePosition() const;
    void place(const QPoint& position);
    // Called a moment after the window moved somewhere it did not ask for.
    void checkPlacement();
    // Without a compositing manager transparent pixels show black, so the plate is painted opaque
    // and the window is cut to its rounded shape instead.
    void applyCompositing(bool compositing);

    QIcon m_image;
    QPoint m_pressPosition;
    QPoint m_pressWindowPosition;
    bool m_pressed = false;
    bool m_moving = false;
    bool m_compositing = true;
    QPoint m_requestedPosition;
    bool m_placementCheckPending = false;
    bool m_positionsIgnored = false;
};
