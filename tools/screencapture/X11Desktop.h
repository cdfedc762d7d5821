#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

// What the capture tool needs from the X server: a picture of the whole virtual desktop and the
// rectangles of the top-level windows on it. Coordinates are the root window's device pixels.
class X11Desktop {
public:
    X11Desktop(xcb_connection_t* connection, xcb_window_t root);

    // The root window's contents (every screen of the virtual desktop), or a null image with the
    // reason in *error.
    QImage grab(QString* error) const;

    // The visible top-level windows, bottom to top. Uses the window manager's stacking list
    // when there is one, else the root's mapped children.
    QList<QRect> windowsInStackingOrder() const;

private:
    QList<xcb_window_t> managedClients() const;
    QList<xcb_window_t> rootChildren() const;
    QRect frameRect(xcb_window_t window, bool managed) const;
    xcb_atom_t atom(const char* name) const;

    xcb_connection_t* m_connection;
    xcb_window_t m_root;
};
