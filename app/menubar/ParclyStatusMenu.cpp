#include "app/menubar/ParclyStatusMenu.h"

#include "app/menubar/LinkPasteboard.h"
#include "app/menubar/PreferencesWindowController.h"
#include "app/menubar/RecentDropsMenu.h"
#include "app/menubar/ShareFileViewController.h"
#include "app/menubar/SharePopover.h"
#include "app/menubar/StatusItem.h"
#include "app/service/API.h"
#include "app/service/DropRecord.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/WebLink.h"
#include "app/sources/ScreenGrabber.h"
#include "app/sources/ScreenshotDetector.h"
#include "platform/Defaults.h"
#include "platform/DefaultsController.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/TemporaryDirectory.h"
#include "platform/Workspace.h"
#include "platform/gui/Application.h"
#include "platform/gui/DesktopShortcutFormats.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"
#include "platform/gui/OpenPanel.h"
#include "platform/gui/PortalGlobalShortcuts.h"
#include "platform/gui/UserNotificationCenter.h"
#include "shared/ShareableItem.h"
#include "shared/WorkFolder.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QShortcut>
#include <QThreadPool>

namespace {

struct ShortcutItem {
    int tag;
    const char* keyPath;
    ParclyStatusMenu::Shortcut fallback;
    const char* portalId; // the shortcut's id in the desktop portal's session
    const char* description; // what the desktop's shortcut settings call it
};

// The three items with global shortcuts; a dictionary stored under the key path overrides the
// fallback entry by entry.
constexpr ShortcutItem kShortcutItems[] = {
    {ParclyStatusMenu::TagShareFile,
     "values.shareFile",
     {2, KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask},
     "share-file",
     "Share a file with Parcly Lite"},
    {ParclyStatusMenu::TagScreenshot,
     "values.takeScreenshot",
     {21, KeyCodes::ShiftKeyMask | KeyCodes::AlternateKeyMask},
     "capture-region",
     "Capture a screen region and share it"},
    {ParclyStatusMenu::TagGrabWindow,
     "values.grabWindow",
     {13, KeyCodes::ShiftKeyMask | KeyCodes::ControlKeyMask},
     "capture-window",
     "Capture a window and share it"},
};

const ShortcutItem* shortcutItem(int tag)
{
    for (const ShortcutItem& item : kShortcutItems) {
        if (item.tag == tag)
            return &item;
    }
    return nullptr;
}

} // namespace

ParclyStatusMenu& ParclyStatusMenu::instance()
{
    // Created once, on first use, and kept until the process ends.
    static ParclyStatusMenu* menu = [] {
        auto* created = new ParclyStatusMenu;
        // Validated once now, so the global shortcuts work from launch, not only after the menu
        // has first been opened.
        created->validateMenuItems();
        created->bindPortalShortcuts();
        created->updateDropCount();
        created->m_recentDrops->refresh();
        created->watchForScreenshots();
        return created;
    }();
    return *menu;
}

ParclyStatusMenu::ParclyStatusMenu()
{
    setObjectName(QStringLiteral("ParclyStatusMenu"));
    buildItems();
    connect(this, &QMenu::aboutToShow, this, &ParclyStatusMenu::menuWillOpen);
    connect(this, &QMenu::aboutToHide, this, &ParclyStatusMenu::menuDidClose);
    connect(this, &QMenu::hovered, this, &ParclyStatusMenu::willHighlightItem);
    connect(&DefaultsController::sharedUserDefaultsController(), &DefaultsController::valueChanged, this,
            &ParclyStatusMenu::shortcutDidChange);
}

ParclyStatusMenu::~ParclyStatusMenu() = default;

QAction* ParclyStatusMenu::addItem(const QString& title, int tag, void (ParclyStatusMenu::*action)())
{
    QAction* item = addAction(title);
    item->setData(tag);
    // The item's own shortcut only shows the key equivalent: Qt never matches it for an action
    // of a menu without a parent. The global hot key does the work while the menu is closed, and
    // the menu's key equivalent (validateMenuItem) while it is open and holds the keyboard, which
    // keeps the hot key from firing: one action per press either way.
    item->setShortcutContext(Qt::WidgetShortcut);
    if (action)
        connect(item, &QAction::triggered, this, action);
    return item;
}

void ParclyStatusMenu::buildItems()
{
    addItem(QStringLiteral("Share a File…"), TagShareFile, &ParclyStatusMenu::file);
    addItem(QStringLiteral("Capture Screen Region"), TagScreenshot, &ParclyStatusMenu::screenshot);
    // Through the desktop's screenshot portal its own dialog chooses what to take: the item must
    // not promise a click on a window there.
    addItem(ScreenGrabber::picksWindowsItself() ? QStringLiteral("Capture Window") : QStringLiteral("Capture Screen or Window…"),
            TagGrabWindow, &ParclyStatusMenu::grabWindow);
    addSeparator();
    addItem(QStringLiteral("No drops yet"), TagDropCount, nullptr);
    m_recentDrops = new RecentDropsMenu(this);
    addMenu(m_recentDrops);
    connect(m_recentDrops, &RecentDropsMenu::dropDeleted, this, &ParclyStatusMenu::updateDropCount);
    addItem(QStringLiteral("Upgrade to Parcly Pro…"), 0, &ParclyStatusMenu::upgrade);
    addSeparator();
    addItem(QStringLiteral("Preferences…"), 0, &ParclyStatusMenu::preferences);

    m_dropTargetItem = addAction(QStringLiteral("Show Drop Target"));
    m_dropTargetItem->setCheckable(true);
    connect(m_dropTargetItem, &QAction::toggled, this, [this](bool checked) {
        if (m_statusItem)
            m_statusItem->setDropTargetVisible(checked);
    });

    QAction* quit = addAction(QStringLiteral("Quit Parcly Lite"));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void ParclyStatusMenu::setStatusItem(StatusItem* item)
{
    m_statusItem = item;
}

QAction* ParclyStatusMenu::itemWithTag(int tag) const
{
    for (QAction* item : actions()) {
        if (!item->isSeparator() && item->data().toInt() == tag && item->data().isValid())
            return item;
    }
    return nullptr;
}

// --- Menu actions -------------------------------------------------------------------------------

void ParclyStatusMenu::file()
{
    if (Defaults::standard().boolValue(kHasShownSharePopKey)) {
        Application::activateIgnoringOtherApps();
        runOpenPanel();
        return;
    }
    showShareFilePopover();
    Defaults::standard().setValue(kHasShownSharePopKey, true);
    Defaults::standard().synchronize();
}

void ParclyStatusMenu::runOpenPanel()
{
    OpenPanel::beginWithCompletionHandler([](int response, const QList<QUrl>& urls) {
        if (response == OpenPanel::kOKResponse && !urls.isEmpty())
            ParclyStatusMenu::instance().uploadFile(urls.first());
    });
}

void ParclyStatusMenu::showShareFilePopover()
{
    m_shareFilePopover = new SharePopover;
    auto* controller = new ShareFileViewController(m_shareFilePopover);
    controller->setShortcutKeys(keyNamesForTag(TagShareFile));
    connect(controller, &ShareFileViewController::openPanelRequested, this, &ParclyStatusMenu::runOpenPanel, Qt::QueuedConnection);
    controller->loadView();
    if (!controller->webView()) {
        // Without the web helper the page cannot show; the panel it leads to still can.
        delete m_shareFilePopover;
        Application::activateIgnoringOtherApps();
        runOpenPanel();
        return;
    }
    m_shareFilePopover->setContentViewController(controller);
    QRect anchor;
    if (m_statusItem)
        anchor = m_statusItem->screenRect();
    m_shareFilePopover->showRelativeToRect(anchor);
}

// A failed capture says what failed and what to install; a cancel stays silent.
static void captureDidEnd(ParclyStatusMenu* menu, const QUrl& capture, const QString& failure)
{
    if (!capture.isEmpty())
        menu->shareFile(capture);
    else if (!failure.isEmpty())
        UserNotificationCenter::defaultUserNotificationCenter().deliverNotification(
            {QStringLiteral("Screen capture failed"), failure, QString()});
}

void ParclyStatusMenu::screenshot()
{
    ScreenGrabber::captureScreen([this](const QUrl& capture, const QString& failure) { captureDidEnd(this, capture, failure); });
}

void ParclyStatusMenu::grabWindow()
{
    ScreenGrabber::captureWindow([this](const QUrl& capture, const QString& failure) { captureDidEnd(this, capture, failure); });
}

void ParclyStatusMenu::upgrade()
{
    API::instance().refreshAccountComplete([](bool success, const QVariant& token) {
        if (!success)
            return;
        WebLink::openWebPageWithToken(QUrl(ServiceConfiguration::webOrigin() + QStringLiteral("/pro")), token.toString(),
                                      QStringLiteral("upgrade page"));
    });
}

void ParclyStatusMenu::preferences()
{
    if (!m_prefsWindow) {
        if (!m_startAtLogin) {
            logLine(QStringLiteral("Preferences unavailable: nothing was given to drive start at login"));
            return;
        }
        m_prefsWindow = new PreferencesWindowController(*this, *m_startAtLogin);
        connect(m_prefsWindow, &PreferencesWindowController::updateCheckRequested, this, &ParclyStatusMenu::updateCheckRequested);
    }
    Application::activateIgnoringOtherApps();
    m_prefsWindow->showWindow();
}

// --- Uploads ------------------------------------------------------------------------------------

void ParclyStatusMenu::reportProgress(double fraction)
{
    // Progress arrives on the transfer's thread; the icon may only be touched on the main thread.
    dispatchToMainQueue([this, fraction] { emit uploadDidReportProgress(fraction); });
}

void ParclyStatusMenu::reportOutcome(bool success, const QVariant& result)
{
    emit uploadDidEnd(success);
    if (success)
        handleDropCreated(result.toMap());
}

void ParclyStatusMenu::uploadFile(const QUrl& url, std::function<void(bool success)> ended)
{
    // Opened for the upload, a pipe would hold the transfer for ever and a device never end.
    if (url.isLocalFile()) {
        const QString refusal = ShareableItem::refusal(url.toLocalFile());
        if (!refusal.isEmpty()) {
            uploadDidFail(refusal);
            if (ended)
                ended(false);
            return;
        }
    }
    shareFile(url, std::move(ended));
}

void ParclyStatusMenu::uploadDidFail(const QString& reason)
{
    logLine(QStringLiteral("Upload failed: %1").arg(reason));
    emit uploadWasRefused();
    UserNotificationCenter::defaultUserNotificationCenter().deliverNotification({QStringLiteral("Upload Failed"), reason, QString()});
}

void ParclyStatusMenu::uploadFileData(const QByteArray& data, const QString& name)
{
    emit uploadDidStart();
    API::instance().shareData(
        data, name, [this](double fraction) { reportProgress(fraction); },
        [this](bool success, const QVariant& result) { reportOutcome(success, result); });
}

void ParclyStatusMenu::shareFile(const QUrl& url, std::function<void(bool success)> ended)
{
    emit uploadDidStart();
    const QString path = url.toLocalFile();
    const auto progress = [this](double fraction) { reportProgress(fraction); };
    API::instance().shareFile(url, progress, [this, path, ended = std::move(ended)](bool success, const QVariant& result) {
        reportOutcome(success, result);
        // Sent or not, a file the app made in a work folder (an archive) has served: a new drop
        // makes a new one. WorkFolder leaves anything else alone, the user's own files above all.
        // Off the GUI thread, as every disk walk is.
        if (!path.isEmpty())
            QThreadPool::globalInstance()->start([path] { WorkFolder::removeContaining(path); });
        if (ended)
            ended(success);
    });
}

void ParclyStatusMenu::handleDropCreated(const QVariantMap& drop)
{
    // Only a web link is ever announced, opened or copied, whoever made the record.
    const QUrl link = DropRecord::shortlink(drop);
    if (link.isEmpty()) {
        logLine(QStringLiteral("Not announcing a drop whose short link is not a web address: %1")
                    .arg(drop.value(QStringLiteral("shortlink")).toString()));
        return;
    }
    UserNotificationCenter::defaultUserNotificationCenter().deliverNotification({QStringLiteral("Drop Created"),
                                                                                 drop.value(QStringLiteral("title")).toString(),
                                                                                 drop.value(QStringLiteral("shortlink")).toString()});

    Workspace::sharedWorkspace().openURL(link);

    copyLinkToPasteboard(link);

    m_recentDrops->addDrop(drop);
    updateDropCount();
}

void ParclyStatusMenu::updateDropCount()
{
    // Not instance(): without stored credentials the completion runs before this call returns,
    // which at creation is still inside instance().
    // Counts asked for one after another may be answered out of order (the menu asks at every
    // opening): only the answer to the latest one is shown.
    const quint64 request = ++m_dropCountRequest;
    API::instance().countDropsComplete([this, request](bool success, const QVariant& count) {
        if (success && request == m_dropCountRequest)
            setDropCount(count.toLongLong());
    });
}

void ParclyStatusMenu::watchForScreenshots()
{
    if (!m_screenshotDetector)
        m_screenshotDetector = std::make_unique<ScreenshotDetector>();
    m_screenshotDetector->watch();
    m_screenshotDetector->setScreenshotTaken([this](const QUrl& url) { shareFile(url); });
}

// --- Validation and shortcuts -------------------------------------------------------------------

QString ParclyStatusMenu::stringForKeyCode(quint64 keyCode) const
{
    return KeyCodes::stringForKeyCode(static_cast<quint16>(keyCode));
}

ParclyStatusMenu::Shortcut ParclyStatusMenu::defaultShortcutForTag(int tag)
{
    const ShortcutItem* item = shortcutItem(tag);
    return item ? item->fallback : Shortcut();
}

QString ParclyStatusMenu::keyPathForTag(int tag)
{
    const ShortcutItem* item = shortcutItem(tag);
    return item ? QString::fromLatin1(item->keyPath) : QString();
}

QStringList ParclyStatusMenu::keyNamesForTag(int tag)
{
    const Shortcut shortcut = shortcutForTag(tag);
    const QString key = KeyCodes::stringForKeyCode(static_cast<quint16>(shortcut.keyCode));
    if (shortcut.keyCode == 0 || key.isEmpty())
        return {};
    QStringList names;
    const Qt::KeyboardModifiers modifiers = KeyCodes::qtModifiersForFlags(shortcut.modifierFlags);
    // The order the menu and the preferences show them in.
    for (const auto& [modifier, name] :
         {std::pair{Qt::ControlModifier, "Ctrl"}, {Qt::AltModifier, "Alt"}, {Qt::ShiftModifier, "Shift"}, {Qt::MetaModifier, "Super"}}) {
        if (modifiers.testFlag(modifier))
            names.append(QString::fromLatin1(name));
    }
    names.append(key);
    return names;
}

QString ParclyStatusMenu::portalIdForTag(int tag)
{
    const ShortcutItem* item = shortcutItem(tag);
    return item ? QString::fromLatin1(item->portalId) : QString();
}

bool ParclyStatusMenu::shortcutsComeFromPortal()
{
    return PortalGlobalShortcuts::shared().state() == PortalGlobalShortcuts::State::Bound;
}

QString ParclyStatusMenu::portalTriggerForTag(int tag)
{
    return shortcutsComeFromPortal() ? PortalGlobalShortcuts::shared().triggerDescription(portalIdForTag(tag)) : QString();
}

void ParclyStatusMenu::bindPortalShortcuts()
{
    PortalGlobalShortcuts& portal = PortalGlobalShortcuts::shared();
    connect(&portal, &PortalGlobalShortcuts::stateChanged, this, [this] {
        if (PortalGlobalShortcuts::shared().state() == PortalGlobalShortcuts::State::Unavailable && HotKeyCenter::isLimitedToX11Windows())
            logLine(QStringLiteral("Global shortcuts work only while an X11 window has focus in this Wayland session; "
                                   "the desktop's own shortcuts can run parcly-lite --share-file, --capture-region or --capture-window"));
        // Bound: the X grabs of the shortcuts the desktop gave keys go; unavailable: they are
        // (still) made.
        validateMenuItems();
    });
    connect(&portal, &PortalGlobalShortcuts::triggersChanged, this, &ParclyStatusMenu::validateMenuItems);
    connect(&portal, &PortalGlobalShortcuts::activated, this, [this](const QString& id) {
        for (const ShortcutItem& shortcutItem : kShortcutItems) {
            if (id != QLatin1String(shortcutItem.portalId))
                continue;
            // As the X11 hot key does: the item's own action, once per press.
            if (QAction* item = itemWithTag(shortcutItem.tag))
                QMetaObject::invokeMethod(item, &QAction::trigger, Qt::QueuedConnection);
        }
    });
    QList<PortalGlobalShortcuts::Shortcut> shortcuts;
    for (const ShortcutItem& shortcutItem : kShortcutItems) {
        const Shortcut shortcut = shortcutForTag(shortcutItem.tag);
        // A shortcut set to nothing is still offered, without keys: the desktop may assign some.
        const QString trigger = shortcut.keyCode == 0
            ? QString()
            : DesktopShortcutFormats::portalTrigger(static_cast<quint16>(shortcut.keyCode), shortcut.modifierFlags);
        shortcuts.append({QString::fromLatin1(shortcutItem.portalId), QString::fromLatin1(shortcutItem.description), trigger});
    }
    portal.bind(shortcuts);
}

ParclyStatusMenu::Shortcut ParclyStatusMenu::shortcutForTag(int tag)
{
    const ShortcutItem* item = shortcutItem(tag);
    if (!item)
        return {};
    Shortcut shortcut = item->fallback;
    const QVariant stored = DefaultsController::sharedUserDefaultsController().valueForKeyPath(QString::fromLatin1(item->keyPath));
    if (stored.typeId() == QMetaType::QVariantMap) {
        const QVariantMap entries = stored.toMap();
        if (entries.contains(QStringLiteral("keyCode")))
            shortcut.keyCode = entries.value(QStringLiteral("keyCode")).toULongLong();
        if (entries.contains(QStringLiteral("modifierFlags")))
            shortcut.modifierFlags = entries.value(QStringLiteral("modifierFlags")).toULongLong();
    }
    return shortcut;
}

void ParclyStatusMenu::validateMenuItems()
{
    for (QAction* item : actions()) {
        if (!item->isSeparator())
            validateMenuItem(item);
    }
}

void ParclyStatusMenu::setKeyEquivalent(QAction* item, const QKeySequence& keys)
{
    QShortcut*& equivalent = m_keyEquivalents[item];
    if (!equivalent) {
        // Lives on the menu, so it answers only while the menu is open.
        equivalent = new QShortcut(this);
        equivalent->setContext(Qt::WindowShortcut);
        QPointer<QAction> target(item);
        connect(equivalent, &QShortcut::activated, this, [this, target] {
            // As a click does: the menu closes first, so that a capture tool can take the
            // keyboard and the pointer.
            hide();
            if (target)
                QMetaObject::invokeMethod(target, &QAction::trigger, Qt::QueuedConnection);
        });
    }
    equivalent->setKey(keys);
}

bool ParclyStatusMenu::validateMenuItem(QAction* item)
{
    const int tag = item->data().isValid() ? item->data().toInt() : -1;
    const Shortcut shortcut = shortcutForTag(tag);

    if (tag == TagDropCount)
        item->setText(m_dropCount == 0 ? QStringLiteral("No drops yet") : QStringLiteral("%1 Drops shared").arg(m_dropCount));

    const QString title = item->text().section(QLatin1Char('\t'), 0, 0);
    if (shortcutItem(tag) && !portalTriggerForTag(tag).isEmpty()) {
        // The desktop delivers the keys it assigned, which may not be the stored ones: those keys
        // are what the item shows, and nothing of ours listens for any other. A shortcut it gave
        // no keys (a desktop that binds only what the user confirms, or cannot name the app) goes
        // on with the X11 grab below.
        if (m_hotKeys.contains(tag))
            releaseHotKey(tag);
        if (m_keyEquivalents.contains(item))
            setKeyEquivalent(item, {});
        item->setShortcut({});
        const QString trigger = portalTriggerForTag(tag);
        item->setText(trigger.isEmpty() ? title : title + QLatin1Char('\t') + trigger);
        return true;
    }
    item->setText(title);

    const auto registered = m_hotKeys.constFind(tag);
    if (registered != m_hotKeys.constEnd()
        && (registered->keyCode != shortcut.keyCode || registered->modifierFlags != shortcut.modifierFlags))
        releaseHotKey(tag);
    if (shortcut.keyCode == 0) {
        // A shortcut set to nothing takes the earlier key equivalent away too.
        if (m_keyEquivalents.contains(item)) {
            item->setShortcut({});
            setKeyEquivalent(item, {});
        }
        return true;
    }
    const QKeySequence keys = KeyCodes::keySequenceForKeyCode(static_cast<quint16>(shortcut.keyCode), shortcut.modifierFlags);
    // In a Wayland session without the portal the grab hears only X11 windows: the item makes
    // no promise of a shortcut it cannot keep (the preferences say why).
    item->setShortcut(HotKeyCenter::isLimitedToX11Windows() ? QKeySequence() : keys);
    setKeyEquivalent(item, keys);
    if (m_hotKeysSuspended)
        return true;
    // In a Wayland session the portal, once it answers, is the better way: no grab is made in
    // the moment before, which could only ever hear X11 windows anyway.
    if (HotKeyCenter::isLimitedToX11Windows() && PortalGlobalShortcuts::shared().state() == PortalGlobalShortcuts::State::Binding)
        return true;
    QPointer<QAction> target(item);
    if (HotKeyCenter::sharedHotKeyCenter().registerHotKey(static_cast<quint16>(shortcut.keyCode), shortcut.modifierFlags, this, [target] {
            if (target)
                target->trigger();
        }))
        m_hotKeys.insert(tag, shortcut);
    return true;
}

void ParclyStatusMenu::setHotKeysSuspended(bool suspended)
{
    if (suspended == m_hotKeysSuspended)
        return;
    m_hotKeysSuspended = suspended;
    if (suspended) {
        for (const int tag : m_hotKeys.keys())
            releaseHotKey(tag);
    } else {
        validateMenuItems();
    }
}

void ParclyStatusMenu::releaseHotKey(int tag)
{
    const Shortcut old = m_hotKeys.take(tag);
    // Another item may have taken the combination over meanwhile; it stays grabbed for that one.
    for (auto it = m_hotKeys.cbegin(); it != m_hotKeys.cend(); ++it) {
        if (it->keyCode == old.keyCode && it->modifierFlags == old.modifierFlags)
            return;
    }
    HotKeyCenter::sharedHotKeyCenter().unregisterHotKey(static_cast<quint16>(old.keyCode), old.modifierFlags);
}

void ParclyStatusMenu::shortcutDidChange(const QString& key)
{
    for (const ShortcutItem& shortcutItem : kShortcutItems) {
        if (QStringLiteral("values.") + key != QLatin1String(shortcutItem.keyPath))
            continue;
        if (QAction* item = itemWithTag(shortcutItem.tag))
            validateMenuItem(item);
    }
}

// --- Menu delegate ------------------------------------------------------------------------------

void ParclyStatusMenu::menuWillOpen()
{
    validateMenuItems();
    if (m_dropTargetItem) {
        const QSignalBlocker quiet(m_dropTargetItem);
        m_dropTargetItem->setChecked(m_statusItem && m_statusItem->isDropTargetVisible());
        // Without a tray the drop target is the app's only face and cannot be hidden.
        m_dropTargetItem->setEnabled(m_statusItem && m_statusItem->hasTray());
    }
    updateDropCount();
    m_recentDrops->refresh();
}

void ParclyStatusMenu::menuDidClose() { }

void ParclyStatusMenu::willHighlightItem(QAction*) { }
