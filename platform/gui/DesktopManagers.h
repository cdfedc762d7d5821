#pragma once

#include <QObject>

#include <memory>

// Whether a compositing manager and a system tray run on this desktop, kept current while the app
// runs: on X11 both are manager selections ("_NET_WM_CM_S<screen>", "_NET_SYSTEM_TRAY_S<screen>"),
// watched through a connection of our own (a manager announces itself with a MANAGER message on
// the root window, and its owner window's destruction says it went away). A StatusNotifierItem
// tray on the session bus counts as a tray too. Off X11 (Wayland, offscreen) the compositor is
// the display server itself, and the tray is only what the bus says.
class DesktopManagers : public QObject {
    Q_OBJECT
public:
    static DesktopManagers& instance();
    ~DesktopManagers() override;

    bool isCompositing() const { return m_compositing; }
    bool hasTray() const { return m_xembedTray || m_notifierTray; }

signals:
    void compositingChanged(bool compositing);
    void trayChanged(bool present);

private:
    DesktopManagers();
    void readX11Events();
    void refreshX11Owners();
    void setCompositing(bool compositing);
    void setTrays(bool xembedTray, bool notifierTray);

    struct X11;
    std::unique_ptr<X11> m_x11;
    bool m_compositing = true;
    bool m_xembedTray = false;
    bool m_notifierTray = false;
};
