#pragma once

#include <QPointer>
#include <QWidget>

class GnomeCustomShortcuts;
class ParclyStatusMenu;
class QCheckBox;
class QLabel;
class QPushButton;
class ShortcutRecorder;
class StartAtLogin;

// The preferences window: recorders for the three global shortcuts, start at login, uploading
// every new screenshot, and the update check. Settings are stored as they change and take effect
// at once. The menu whose shortcuts it records lets go of its hot keys while one is recorded.
class PreferencesWindowController : public QWidget {
    Q_OBJECT
public:
    PreferencesWindowController(ParclyStatusMenu& menu, StartAtLogin& startAtLogin, QWidget* parent = nullptr);

    void showWindow();

    // Actions.
    void setStartAtLogin(bool on);
    void checkForUpdates();

    ShortcutRecorder* shareFile() const { return m_shareFile; }
    ShortcutRecorder* takeScreenshot() const { return m_takeScreenshot; }
    ShortcutRecorder* grabWindow() const { return m_grabWindow; }
    QCheckBox* uploadAllScreenshotsButton() const { return m_uploadAllScreenshotsButton; }
    QCheckBox* startAtLoginButton() const { return m_startAtLoginButton; }
    // Why the last combination was refused; empty while nothing is refused.
    QLabel* messageLabel() const { return m_message; }

    // Where the shortcuts cannot reach every window, or the desktop assigns their keys: what the
    // window says about it. Hidden when the X11 grabs serve the whole desktop.
    QLabel* shortcutNoteLabel() const { return m_shortcutNote; }
    // The command lines a desktop's own shortcuts can run (and, off GNOME, the lines for sway).
    QLabel* commandLinesLabel() const { return m_commandLines; }
    // Adds the commands to GNOME's custom shortcuts, or takes them out again.
    QPushButton* gnomeShortcutsButton() const { return m_gnomeButton; }
    // The keys the desktop portal assigned, shown in place of the recorder.
    QLabel* assignedTriggerLabel(int tag) const;
    // The command line that runs the item's action, e.g. "parcly-lite --capture-region".
    static QString commandLineForTag(int tag);

signals:
    // "Check for Updates…" was pressed; whoever owns the updater runs the check.
    void updateCheckRequested();

private:
    void windowDidLoad();
    ShortcutRecorder* makeRecorder(int tag);
    // Why a combination cannot be the shortcut of the item with this tag, or a null string.
    QString refusalFor(int tag, quint16 keyCode, quint64 modifierFlags) const;
    void bindUploadAllScreenshots();
    void fitHeight();
    // Shows how far the shortcuts reach in this session: everywhere (X11), through the portal,
    // or only while an X11 window has focus (Wayland without the portal).
    void refreshShortcutReach();
    void toggleGnomeShortcuts();
    void showGnomeShortcutsInstalled(bool installed);

    ParclyStatusMenu& m_menu;
    StartAtLogin& m_startAtLogin;
    ShortcutRecorder* m_shareFile = nullptr;
    ShortcutRecorder* m_takeScreenshot = nullptr;
    ShortcutRecorder* m_grabWindow = nullptr;
    QCheckBox* m_uploadAllScreenshotsButton = nullptr;
    QCheckBox* m_startAtLoginButton = nullptr;
    QPushButton* m_checkForUpdatesButton = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_recorderHint = nullptr;
    QLabel* m_shortcutNote = nullptr;
    QLabel* m_commandLines = nullptr;
    QPushButton* m_gnomeButton = nullptr;
    QList<QLabel*> m_assignedTriggers; // share a file, region, window
    GnomeCustomShortcuts* m_gnome = nullptr;
    bool m_gnomeInstalled = false;
    bool m_gnomeQueried = false;
};
