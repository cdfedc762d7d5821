#pragma once

#include <QPointer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class ShortcutRecorder;

// The preferences window: recorders for the three global shortcuts, start at login, uploading
// every new screenshot, and the update check. Settings are stored as they change and take effect
// at once.
class PreferencesWindowController : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesWindowController(QWidget* parent = nullptr);

    void showWindow();

    // Actions.
    void setStartAtLogin(bool on);
    void checkForUpdates();

    ShortcutRecorder* shareFile() const { return m_shareFile; }
    ShortcutRecorder* takeScreenshot() const { return m_takeScreenshot; }
    ShortcutRecorder* grabWindow() const { return m_grabWindow; }
    QCheckBox* uploadAllScreenshotsButton() const { return m_uploadAllScreenshotsButton; }
    QCheckBox* startAtLoginButton() const { return m_startAtLoginButton; }
    QPushButton* checkForUpdatesButton() const { return m_checkForUpdatesButton; }
    // Why the last combination was refused; empty while nothing is refused.
    QLabel* messageLabel() const { return m_message; }

private:
    void windowDidLoad();
    ShortcutRecorder* makeRecorder(int tag);
    // Why a combination cannot be the shortcut of the item with this tag, or a null string.
    QString refusalFor(int tag, quint16 keyCode, quint64 modifierFlags) const;
    void bindUploadAllScreenshots();
    void fitHeight();

    ShortcutRecorder* m_shareFile = nullptr;
    ShortcutRecorder* m_takeScreenshot = nullptr;
    ShortcutRecorder* m_grabWindow = nullptr;
    QCheckBox* m_uploadAllScreenshotsButton = nullptr;
    QCheckBox* m_startAtLoginButton = nullptr;
    QPushButton* m_checkForUpdatesButton = nullptr;
    QLabel* m_message = nullptr;
};
