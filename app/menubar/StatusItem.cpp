#include "app/menubar/StatusItem.h"

#include "app/menubar/DropTargetWindow.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/gui/DesktopManagers.h"
#include "platform/gui/UserNotificationCenter.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

StatusItem::StatusItem(QObject* parent)
    : QObject(parent)
    , m_trayIcon(new QSystemTrayIcon(this))
    , m_dropTarget(new DropTargetWindow)
{
    m_trayIcon->setToolTip(QStringLiteral("Parcly Lite"));
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself on a right click; a left click should open it too.
        if (reason == QSystemTrayIcon::Trigger)
            popUpMenu(QCursor::pos());
    });
    connect(m_dropTarget, &DropTargetWindow::clicked, this, [this] {
        popUpMenu(m_dropTarget->mapToGlobal(QPoint(0, m_dropTarget->height())));
    });

    // Notifications no server takes become balloons of this icon.
    UserNotificationCenter::defaultUserNotificationCenter().setFallbackTrayIcon(m_trayIcon);

    if (!hasTray())
        logLine(QStringLiteral("No system tray on this desktop; the drop target window stands in for the tray icon."));
    m_dropTarget->setVisible(isDropTargetVisible() || !hasTray());
    connect(&DesktopManagers::instance(), &DesktopManagers::trayChanged, this, [this](bool present) {
        logLine(present ? QStringLiteral("A system tray appeared; the app's icon is shown there.")
                        : QStringLiteral("The system tray went away; the drop target window stands in for the tray icon."));
        // A tray that goes away takes the icon with it: the drop target comes back, at the place
        // that fits the desktop now.
        m_dropTarget->restorePosition();
        m_dropTarget->setVisible(isDropTargetVisible() || !present);
    });
}

StatusItem::~StatusItem()
{
    UserNotificationCenter::defaultUserNotificationCenter().setFallbackTrayIcon(nullptr);
    delete m_dropTarget;
}

void StatusItem::setImage(const QString& name, const QIcon& image)
{
    if (name == m_imageName && image.cacheKey() == m_image.cacheKey())
        return;
    m_imageName = name;
    m_image = image;
    ++m_imageUpdates;
    m_trayIcon->setIcon(image);
    // Shown even without a tray (once it has an image): a panel that starts after the app, as at
    // login, picks the icon up then.
    if (!m_trayIcon->isVisible())
        m_trayIcon->show();
    m_dropTarget->setImage(image);
}

void StatusItem::setMenu(QMenu* menu)
{
    m_menu = menu;
    m_trayIcon->setContextMenu(menu);
}

bool StatusItem::hasTray() const
{
    return DesktopManagers::instance().hasTray();
}

QRect StatusItem::screenRect() const
{
    const QRect tray = m_trayIcon->geometry();
    if (hasTray() && tray.isValid() && !tray.isEmpty())
        return tray;
    return m_dropTarget->frameGeometry();
}

bool StatusItem::isDropTargetVisible() const
{
    return Defaults::standard().boolValue(kShowDropTargetKey, true);
}

void StatusItem::setDropTargetVisible(bool visible)
{
    Defaults::standard().setValue(kShowDropTargetKey, visible);
    Defaults::standard().synchronize();
    // Without a tray the drop target is the app's only face; hiding it would leave no way back.
    m_dropTarget->setVisible(visible || !hasTray());
}

void StatusItem::popUpMenu(const QPoint& where)
{
    if (m_menu)
        m_menu->popup(where);
}
