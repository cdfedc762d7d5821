#pragma once

#include <functional>

#include <QByteArray>
#include <QHash>
#include <QMenu>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QAction;
class QKeySequence;
class PreferencesWindowController;
class RecentDropsMenu;
class QShortcut;
class ScreenshotDetector;
class StartAtLogin;
class StatusItem;
#include "app/menubar/SharePopover.h"

// The menu of the app's icon and the hub every upload passes through: it starts uploads, reports
// their progress and outcome to the status item, announces created drops, shows the drop count,
// binds the global shortcuts and watches for the desktop's own screenshots.
class ParclyStatusMenu : public QMenu {
    Q_OBJECT
public:
    // Item tags.
    enum Tag { TagShareFile = 1, TagScreenshot = 2, TagDropCount = 3, TagGrabWindow = 4 };

    struct Shortcut {
        quint64 keyCode = 0;
        quint64 modifierFlags = 0;
    };

    static ParclyStatusMenu& instance();

    qint64 dropCount() const { return m_dropCount; }
    void setDropCount(qint64 count) { m_dropCount = count; }
    SharePopover* shareFilePopover() const { return m_shareFilePopover; }
    PreferencesWindowController* prefsWindow() const { return m_prefsWindow; }
    RecentDropsMenu* recentDropsMenu() const { return m_recentDrops; }

    // The icon the menu opens from: where the share popover points, and the drop target the menu
    // shows and hides. Given by the status item controller that owns it.
    void setStatusItem(StatusItem* item);
    // What the preferences' start-at-login box drives; given by the app's delegate.
    void setStartAtLogin(StartAtLogin* startAtLogin) { m_startAtLogin = startAtLogin; }

    // Menu actions.
    void file();
    void screenshot();
    void grabWindow();
    void upgrade();
    void preferences();

    // Entries for uploads. A local file that is not a regular file or folder (a named pipe, a
    // socket, a device) is refused at once, through uploadDidFail. `ended`, when given, runs on the
    // main thread once the upload has ended (or was refused).
    void uploadFile(const QUrl& url, std::function<void(bool success)> ended = {});
    void uploadFileData(const QByteArray& data, const QString& name);
    // A file the app made in a work folder (an archive) goes with the folder once its upload has
    // ended; any other file is left where it is.
    void shareFile(const QUrl& url, std::function<void(bool success)> ended = {});
    // What the user offered was not uploaded, and `reason` (a sentence for the user) says why: the
    // log's "Upload failed: ..." line, the error image and a notification.
    void uploadDidFail(const QString& reason);

    // Runs the file panel without blocking; OK uploads the chosen file.
    void runOpenPanel();

    void handleDropCreated(const QVariantMap& drop);
    void updateDropCount();
    void watchForScreenshots();

    QString stringForKeyCode(quint64 keyCode) const;
    // Runs for every item each time the menu is about to show: titles, key equivalents, hot keys.
    bool validateMenuItem(QAction* item);
    void validateMenuItems();
    // The shortcut an item's tag stands for: the stored one, entry by entry, over the default.
    static Shortcut shortcutForTag(int tag);
    static Shortcut defaultShortcutForTag(int tag);
    // The defaults key path ("values.KEY") the item's shortcut is stored under; empty for an item
    // without a shortcut.
    static QString keyPathForTag(int tag);
    // The keys of the item's shortcut as a person reads them, modifiers first in the order Ctrl,
    // Alt, Shift, Super, e.g. {"Alt", "Shift", "D"}.
    static QStringList keyNamesForTag(int tag);
    // The item's id among the shortcuts bound through the desktop portal; empty for no shortcut.
    static QString portalIdForTag(int tag);
    // Whether the shortcuts are bound through the desktop portal. Those it gave keys to
    // (portalTriggerForTag not empty) it delivers, and no X11 key is grabbed for them.
    static bool shortcutsComeFromPortal();
    // The keys the desktop assigned to the item's shortcut, as it describes them; empty when the
    // portal does not deliver the shortcuts or assigned none.
    static QString portalTriggerForTag(int tag);

    QAction* itemWithTag(int tag) const;

    // While a shortcut is being recorded the hot keys let go, so the recorder gets every key.
    void setHotKeysSuspended(bool suspended);

    // Menu delegate.
    void menuWillOpen();
    void menuDidClose();
    void willHighlightItem(QAction* item);

    static inline const QString kHasShownSharePopKey = QStringLiteral("hashShownSharePop");

signals:
    // What the uploads report, on the main thread, for the icon to show.
    void uploadDidStart();
    void uploadDidReportProgress(double fraction);
    void uploadDidEnd(bool success);
    // What the user offered was refused before any upload started (uploadDidFail).
    void uploadWasRefused();
    // The preferences' "Check for Updates…" button was pressed.
    void updateCheckRequested();

private:
    ParclyStatusMenu();
    ~ParclyStatusMenu() override;

    void buildItems();
    QAction* addItem(const QString& title, int tag, void (ParclyStatusMenu::*action)());
    void showShareFilePopover();
    // What an upload reports, passed on as the signals above.
    void reportProgress(double fraction);
    void reportOutcome(bool success, const QVariant& result);
    void setKeyEquivalent(QAction* item, const QKeySequence& keys);
    // A shortcut changed in the preferences works at once, and the one it replaced stops working.
    void shortcutDidChange(const QString& key);
    void releaseHotKey(int tag);
    // Offers the shortcuts to the desktop portal, with the stored combinations as the preferred
    // keys; until it answers (and for good where it cannot), the X11 grabs serve.
    void bindPortalShortcuts();

    qint64 m_dropCount = 0;
    quint64 m_dropCountRequest = 0;
    QPointer<SharePopover> m_shareFilePopover;
    std::unique_ptr<ScreenshotDetector> m_screenshotDetector;
    QAction* m_dropTargetItem = nullptr;
    QHash<QAction*, QShortcut*> m_keyEquivalents;
    // The combination each item's hot key was last registered with.
    QHash<int, Shortcut> m_hotKeys;
    PreferencesWindowController* m_prefsWindow = nullptr;
    QPointer<StatusItem> m_statusItem;
    StartAtLogin* m_startAtLogin = nullptr;
    RecentDropsMenu* m_recentDrops = nullptr;
    bool m_hotKeysSuspended = false;
};
