#pragma once

#include "share-extension/ExtensionContext.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QUrl>
#include <QWidget>

// The share sheet: as soon as it is on screen it turns what was shared into one file in the
// extension's own temporary folder (a copy, or one archive of several items) and hands that file
// to the tray app by opening a "parcly-lite:" URL, which ends the request. Send and Cancel end
// the request by hand. Loads complete on worker threads; the hand-off runs on the thread of the
// completion that triggers it, and everything that touches the sheet is posted to its thread.
class ShareViewController : public QWidget {
    Q_OBJECT
public:
    explicit ShareViewController(ExtensionContext* context, QWidget* parent = nullptr);

    ExtensionContext* extensionContext() const { return m_extensionContext; }

    QString nibName() const { return QStringLiteral("ShareViewController"); }
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

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Both may be called from any thread.
    void startLoading();
    void showProblem(const QString& text);

    ExtensionContext* m_extensionContext;
    QPointer<QProgressBar> m_loading;
    QPointer<QLabel> m_confirmationText;
    QLabel* m_problem = nullptr;
    bool m_appeared = false;
};
