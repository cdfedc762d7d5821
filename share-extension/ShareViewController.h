#pragma once

#include "share-extension/ExtensionContext.h"

#include <QLabel>
#include <QMutex>
#include <QPointer>
#include <QProgressBar>
#include <QUrl>
#include <QWidget>

// The share sheet: as soon as it is on screen it turns what was shared into one file in a fresh
// work folder of the hand-off folder (a copy, or one archive of several items) and hands that file
// to the tray app by opening a "parcly-lite:" URL; once the app has accepted it, the request ends.
// When something fails (an item that is no file or folder, a copy, the archive, the app refusing
// or not answering) the sheet says why for kFailureShownMs, then ends the request with that error;
// Send or Cancel end it sooner, with an error still. Send and Cancel end the request by hand. Loads complete on worker threads; the
// hand-off runs on the thread of the completion that triggers it, and everything that touches the sheet is posted to its thread.
class ShareViewController : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFailureShownMs = 6000;

    explicit ShareViewController(ExtensionContext* context, QWidget* parent = nullptr);

    void loadView();
    // Starts the work; called once, when the sheet has first appeared.
    void viewDidAppear();

    void shareFileURL(const QUrl& url);
    void archivePathsAndUpload();

    void send();
    void cancel();

    QProgressBar* loading() const { return m_loading; }
    void setLoading(QProgressBar* loading) { m_loading = loading; }
    QLabel* confirmationText() const { return m_confirmationText; }
    void setConfirmationText(QLabel* confirmationText) { m_confirmationText = confirmationText; }

    // What the sheet tells the user when there is nothing it can hand off; empty while all is well.
    QString problemText() const;
    // Why the request failed, from any thread; empty while all is well.
    QString failureText() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Both may be called from any thread.
    void startLoading();
    void showProblem(const QString& text);
    // Logs the sentence, remembers it as the request's failure and shows it.
    void fail(const QString& text);
    void endWithFailure();
    // Opens the hand-off URL for the file and ends the request once the tray app has accepted it.
    void handOff(const QString& path);

    ExtensionContext* m_extensionContext;
    QPointer<QProgressBar> m_loading;
    QPointer<QLabel> m_confirmationText;
    QLabel* m_problem = nullptr;
    bool m_appeared = false;
    mutable QMutex m_failureMutex;
    QString m_failure;
};
