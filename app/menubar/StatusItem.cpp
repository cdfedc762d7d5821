#include "app/menubar/StatusItem.h"

#include "app/menubar/DropTargetWindow.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/StatusNotifierActivations.h"
#include "platform/gui/DesktopManagers.h"
#include "platform/gui/UserNotificationCenter.h"

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// How often and how long a new tray icon is looked for in the tray: trays take an icon within a
// moment, a slow panel at login within a few seconds.
constexpr int kShownCheckIntervalMs = 200;
constexpr int kShownCheckLimit = 75;

// The toolkit's window for an icon in an X tray (XEmbed); none for an icon on the bus.
QWidget* xembedIconWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (QByteArray(widget->metaObject()->className()) == "QSystemTrayIconSys")
            return widget;
    }
    return nullptr;
}

} // namespace

StatusItem::StatusItem(QObject* parent)
    : QObject(parent)
    , m_dropTarget(new DropTargetWindow)
    , m_shownCheck(new QTimer(this))
{
    m_shownCheck->setInterval(kShownCheckIntervalMs);
    connect(m_shownCheck, &QTimer::timeout, this, &StatusItem::checkIconShown);
    connect(m_dropTarget, &DropTargetWindow::clicked, this,
            [this] { popUpMenu(m_dropTarget->mapToGlobal(QPoint(0, m_dropTarget->height()))); });

    connect(&StatusNotifierActivations::instance(), &StatusNotifierActivations::activated, this, [this](const QPoint& position) {
        if (!m_menu)
            return;
        // A host that gives no position (a keyboard activation) gets the menu at the icon's place.
        popUpMenu(position.isNull() ? menuPosition(m_menu->sizeHint()) : position);
    });

    if (hasTray())
        makeTrayIcon();
    else
        logLine(QStringLiteral("No system tray on this desktop; the drop target window stands in for the tray icon."));
    m_dropTarget->setVisible(isDropTargetVisible() || !hasTray());
    connect(&DesktopManagers::instance(), &DesktopManagers::trayChanged, this, [this](bool present) {
        // A tray that goes away takes the icon with it: the drop target comes back, at the place
        // that fits the desktop now. One that appears keeps the drop target until it holds the icon.
        m_dropTarget->restorePosition();
        if (present) {
            makeTrayIcon();
            m_shownChecks = 0;
            m_shownCheck->start();
            return;
        }
        m_shownCheck->stop();
        dropTrayIcon();
        logLine(QStringLiteral("The system tray went away; the drop target window stands in for the tray icon."));
        m_dropTarget->setVisible(true);
    });
}

void StatusItem::makeTrayIcon()
{
    dropTrayIcon();
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayIcon->setToolTip(QStringLiteral("Parcly Lite"));
    m_trayIcon->setContextMenu(m_menu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself on a right click; a left click should open it too. An
        // icon on the bus whose clicks are read with their position opens it from there instead.
        if (reason == QSystemTrayIcon::Trigger && m_menu && !(StatusNotifierActivations::instance().isWatching() && !xembedIconWindow()))
            popUpMenu(menuPosition(m_menu->sizeHint()));
    });
    if (!m_image.isNull()) {
        m_trayIcon->setIcon(m_image);
        m_trayIcon->show();
    }
    // Notifications no server takes become balloons of this icon.
    UserNotificationCenter::defaultUserNotificationCenter().setFallbackTrayIcon(m_trayIcon);
}

void StatusItem::dropTrayIcon()
{
    StatusNotifierActivations::instance().watch({});
    delete m_trayIcon;
    m_trayIcon = nullptr;
}

void StatusItem::checkIconShown()
{
    if (!m_trayIcon) {
        m_shownCheck->stop();
        return;
    }
    if (++m_shownChecks > kShownCheckLimit) {
        m_shownCheck->stop();
        logLine(QStringLiteral("A system tray appeared but has not taken the app's icon; the drop target window stands in for it."));
        return;
    }
    auto iconShown = [this] {
        m_shownCheck->stop();
        logLine(QStringLiteral("A system tray appeared; the app's icon is shown there."));
        m_dropTarget->setVisible(isDropTargetVisible());
    };
    DesktopManagers& managers = DesktopManagers::instance();
    if (QWidget* window = xembedIconWindow()) {
        if (managers.isEmbeddedInTray(window->winId()))
            iconShown();
        return;
    }
    if (managers.hasNotifierTray()) {
        if (m_askingWatcher)
            return;
        m_askingWatcher = true;
        QPointer<StatusItem> self(this);
        QPointer<QSystemTrayIcon> icon(m_trayIcon);
        managers.askNotifierTrayListsUs([self, icon, iconShown](const QStringList& ourItems) {
            if (!self)
                return;
            self->m_askingWatcher = false;
            if (!ourItems.isEmpty() && icon && icon == self->m_trayIcon && self->m_shownCheck->isActive()) {
                // The panel's click position comes with its Activate call, which the toolkit drops.
                StatusNotifierActivations::instance().watch(ourItems);
                iconShown();
            }
        });
        return;
    }
    // The X tray was not there yet when the icon was shown (its announcement can come before
    // it answers): showing it again hands it over.
    if (managers.hasXEmbedTray() && !m_image.isNull()) {
        m_trayIcon->hide();
        m_trayIcon->show();
    }
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
    if (m_trayIcon) {
        m_trayIcon->setIcon(image);
        if (!m_trayIcon->isVisible())
            m_trayIcon->show();
    }
    m_dropTarget->setImage(image);
}

void StatusItem::setMenu(QMenu* menu)
{
    m_menu = menu;
    if (m_trayIcon)
        m_trayIcon->setContextMenu(menu);
}

bool StatusItem::hasTray() const
{
    return DesktopManagers::instance().hasTray();
}

QRect StatusItem::screenRect() const
{
    // An icon on the bus has no place the app can read; one in an X tray has it once embedded.
    if (m_trayIcon && m_trayIcon->isVisible()) {
        QWidget* window = xembedIconWindow();
        const QRect tray = m_trayIcon->geometry();
        if (window && DesktopManagers::instance().isEmbeddedInTray(window->winId()) && tray.isValid() && !tray.isEmpty())
            return tray;
    }
    return m_dropTarget->isVisible() ? m_dropTarget->frameGeometry() : QRect();
}

QPoint StatusItem::menuPosition(const QSize& menuSize) const
{
    const QRect anchor = screenRect();
    QScreen* screen = anchor.isEmpty() ? nullptr : QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    if (anchor.isEmpty())
        return QPoint(available.left() + available.width() - menuSize.width(), available.top());
    // Below the icon (a panel at the top), above it where the menu would not fit below.
    QPoint position(anchor.left(), anchor.top() + anchor.height());
    if (position.y() + menuSize.height() > available.top() + available.height())
        position.setY(anchor.top() - menuSize.height());
    position.setX(qBound(available.left(), position.x(), available.left() + available.width() - menuSize.width()));
    position.setY(qBound(available.top(), position.y(), available.top() + available.height() - menuSize.height()));
    return position;
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
