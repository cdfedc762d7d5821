#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// Whether a compositing manager and a system tray run on this desktop, kept current while the app
// runs: on X11 both are manager selections ("_NET_WM_CM_S<screen>", "_NET_SYSTEM_TRAY_S<screen>"),
// watched through a connection of our own (a manager announces itself with a MANAGER message on
// the root window, and its owner window's destruction says it went away). A StatusNotifierItem
// tray on the session bus counts as a tray too. Off X11 (Wayland, offscreen) the compositor is
// the display server itself, and the tray is only what the bus says: a watcher with a host.
// It also follows the window the window manager calls active ("_NET_ACTIVE_WINDOW"), which is how
// an X client hears that the user went to another window, even one the X server never sees (a
// Wayland window beside XWayland).
class DesktopManagers : public QObject {
    Q_OBJECT
public:
    static DesktopManagers& instance();
    ~DesktopManagers() override;

    bool isCompositing() const { return m_compositing; }
    // Whether the X server is XWayland (the "XWAYLAND" extension, or outputs named after it): the
    // windows the app shows are then placed, stacked and focused by a Wayland compositor.
    bool isXWayland() const { return m_xwayland; }
    bool hasTray() const { return m_xembedTray || m_notifierTray; }
    bool hasXEmbedTray() const { return m_xembedTray; }
    bool hasNotifierTray() const { return m_notifierTray; }

    // Whether an X tray took this icon window in: the tray reparents it into its own window, so it
    // is no longer a child of the root. False off X11 or for a window not on the display.
    bool isEmbeddedInTray(quintptr window) const;
    // Asks the StatusNotifierWatcher which of the items it lists are this process's (an item is
    // listed by its bus name, whose process the bus tells); the bus names come back on the GUI
    // thread, none when there is no watcher or it does not answer.
    void askNotifierTrayListsUs(std::function<void(const QStringList& ourItems)> answer);

    // The window the window manager calls active (0 for none or off X11).
    quintptr activeWindow() const { return m_activeWindow; }

signals:
    void compositingChanged(bool compositing);
    void trayChanged(bool present);
    void activeWindowChanged(quintptr window);

private slots:
    void askNotifierHost();

private:
    DesktopManagers();
    void readX11Events();
    void refreshX11Owners();
    void setCompositing(bool compositing);
    void setTrays(bool xembedTray, bool notifierTray);
    void readActiveWindow();

    struct X11;
    std::unique_ptr<X11> m_x11;
    bool m_compositing = true;
    bool m_xwayland = false;
    bool m_xembedTray = false;
    bool m_notifierTray = false;
    quintptr m_activeWindow = 0;
};
