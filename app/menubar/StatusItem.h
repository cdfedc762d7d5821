#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

#include <QMenu>

class DropTargetWindow;
class QSystemTrayIcon;
class QTimer;

// The app's icon on the desktop: the tray icon where the desktop has a tray, and the drop target
// window, which shows the same image and is the one that takes drops (a tray icon cannot).
// The tray icon exists only while a tray does: the toolkit hands an icon to a tray only when it is
// shown, so one made before the tray started (a panel that comes up after the app, as at login)
// would never appear. Each tray that appears gets a new icon, and the log says it is shown only
// once the tray really holds it.
class StatusItem : public QObject {
    Q_OBJECT
public:
    explicit StatusItem(QObject* parent = nullptr);
    ~StatusItem() override;

    // Shows the image under this name. Setting the name already shown does nothing, so a long
    // upload costs one icon update per progress image, not one per report.
    void setImage(const QString& name, const QIcon& image);
    QString imageName() const { return m_imageName; }
    QIcon image() const { return m_image; }
    int imageUpdateCount() const { return m_imageUpdates; }

    void setMenu(QMenu* menu);
    QMenu* menu() const { return m_menu; }

    // Null while there is no tray.
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    DropTargetWindow* button() const { return m_dropTarget; }
    bool hasTray() const;

    // Where on screen the item is, for anything that opens next to it: the tray icon where the
    // tray tells its place, else the drop target.
    QRect screenRect() const;
    // Where the menu opens for a click on the tray icon: next to the icon where the tray tells its
    // place, else by the drop target, else the top-right corner, where panels usually hold the tray.
    // Never where the pointer was last seen: on XWayland that is wherever it last crossed an X window.
    QPoint menuPosition(const QSize& menuSize) const;

    // The drop target can be hidden from the menu; the choice is kept across launches.
    bool isDropTargetVisible() const;
    void setDropTargetVisible(bool visible);

    static inline const QString kShowDropTargetKey = QStringLiteral("showDropTarget");

private:
    void popUpMenu(const QPoint& where);
    void makeTrayIcon();
    void dropTrayIcon();
    // Follows a new icon until the tray holds it, then says so in the log.
    void checkIconShown();

    QSystemTrayIcon* m_trayIcon = nullptr;
    DropTargetWindow* m_dropTarget = nullptr;
    QTimer* m_shownCheck = nullptr;
    int m_shownChecks = 0;
    bool m_askingWatcher = false;
    QPointer<QMenu> m_menu;
    QString m_imageName;
    QIcon m_image;
    int m_imageUpdates = 0;
};
