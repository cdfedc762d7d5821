#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

class DropTargetWindow;
#include <QMenu>
class QSystemTrayIcon;

// The app's icon on the desktop: the tray icon where the desktop has a tray, and the drop target
// window, which shows the same image and is the one that takes drops (a tray icon cannot).
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

    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    DropTargetWindow* button() const { return m_dropTarget; }
    bool hasTray() const;

    // Where on screen the item is, for anything that opens next to it: the tray icon where the
    // tray tells its place, else the drop target.
    QRect screenRect() const;

    // The drop target can be hidden from the menu; the choice is kept across launches.
    bool isDropTargetVisible() const;
    void setDropTargetVisible(bool visible);

    static inline const QString kShowDropTargetKey = QStringLiteral("showDropTarget");

private:
    void popUpMenu(const QPoint& where);

    QSystemTrayIcon* m_trayIcon = nullptr;
    DropTargetWindow* m_dropTarget = nullptr;
    QPointer<QMenu> m_menu;
    QString m_imageName;
    QIcon m_image;
    int m_imageUpdates = 0;
};
