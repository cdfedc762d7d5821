#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QMessageBox>
struct HttpResult;

// The user-initiated update check: fetches the service's update feed, compares its newest version
// with this copy's, and says the outcome in a dialog (up to date; a newer version, with a button
// to its download page; or why the check failed). Nothing is checked in the background.
class Updater : public QObject {
    Q_OBJECT
public:
    enum class Outcome { UpToDate, UpdateAvailable, Failed };

    explicit Updater(QObject* parent = nullptr);

    void checkForUpdates(QObject* sender = nullptr);

    // The web site's "/lite/appcast.xml": Parcly Lite's releases.
    static QString feedURL();
    // The bundle's CFBundleShortVersionString.
    static QString currentVersion();

    // The dialog of the latest check, while it is open.
    QMessageBox* dialog() const { return m_dialog; }

signals:
    // After each check, once its dialog is up.
    void checkFinished(Updater::Outcome outcome);

private:
    void feedArrived(const HttpResult& result);
    void present(Outcome outcome, const QString& text, const QString& details, const QUrl& page = {});

    bool m_checking = false;
    QPointer<QMessageBox> m_dialog;
};
