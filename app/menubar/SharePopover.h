#pragma once

#include <QRect>
#include <QWidget>

class QVBoxLayout;

// A frameless popup that shows a controller's view next to a rectangle on screen (the status
// item), and closes when the user clicks elsewhere or goes to another window: a click the X
// server never sees (into a Wayland window beside XWayland) still moves the window manager's
// active window or takes the app's focus away. Closing frees it, content and all.
class SharePopover : public QWidget {
    Q_OBJECT
public:
    explicit SharePopover(QWidget* parent = nullptr);

    void setContentViewController(QWidget* content);
    // Below the rectangle when there is room (a panel at the top), above it otherwise, kept on
    // the rectangle's screen. An empty rectangle centres the popover on the primary screen.
    void showRelativeToRect(const QRect& anchor);

    static constexpr QSize kContentSize{320, 360};

protected:
    // The popover's own plate, under the page's card, so it shows at once while the page loads.
    void paintEvent(QPaintEvent* event) override;
    // Without a compositing manager: the window's shape, the plate.
    void resizeEvent(QResizeEvent* event) override;
    // Escape closes it, as it closes a popup.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void closeForWindow(quintptr window);

    bool m_translucent = true;
    QWidget* m_content = nullptr;
    QVBoxLayout* m_layout = nullptr;
    bool m_seenActive = false;
};
