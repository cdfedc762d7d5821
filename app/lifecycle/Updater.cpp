#include "app/lifecycle/Updater.h"

#include "app/lifecycle/AppcastFeed.h"
#include "app/service/HttpTransfer.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/WebLink.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/gui/Application.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

Updater::Updater(QObject* parent)
    : QObject(parent)
{
}

QString Updater::feedURL()
{
    // Parcly Lite's own releases: the site's "/appcast.xml" announces the full desktop client.
    return ServiceConfiguration::webOrigin() + QStringLiteral("/lite/appcast.xml");
}

QString Updater::currentVersion()
{
    return Bundle::mainBundle().objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString().trimmed();
}

void Updater::checkForUpdates(QObject*)
{
    // A second click while the feed is on its way changes nothing; its answer brings the dialog.
    if (m_checking)
        return;
    m_checking = true;
    HttpRequest request;
    request.url = feedURL();
    request.expectsJson = false;
    QPointer<Updater> self(this);
    HttpTransfer::start(std::move(request), {}, [self](const HttpResult& result) {
        if (self)
            self->feedArrived(result);
    });
}

void Updater::feedArrived(const HttpResult& result)
{
    m_checking = false;
    const QString failed = QStringLiteral("Parcly Lite could not check for updates.");
    if (result.error) {
        logLine(QStringLiteral("Update check failed: %1").arg(result.error->localizedDescription));
        present(Outcome::Failed, failed, result.error->localizedDescription);
        return;
    }
    QString problem;
    const std::optional<AppcastFeed::Item> newest = AppcastFeed::newestItem(result.data, &problem);
    if (!newest) {
        logLine(QStringLiteral("Update check failed: %1 at %2").arg(problem, feedURL()));
        present(Outcome::Failed, failed, QStringLiteral("The update feed could not be read: %1.").arg(problem));
        return;
    }
    const QString current = currentVersion();
    if (!AppcastFeed::isVersion(current)) {
        logLine(QStringLiteral("Update check failed: this copy's version is unknown (%1)").arg(current));
        present(Outcome::Failed, failed, QStringLiteral("This copy of Parcly Lite does not know its own version."));
        return;
    }
    if (AppcastFeed::compareVersions(newest->version, current) <= 0) {
        present(Outcome::UpToDate, QStringLiteral("You’re up to date!"),
                QStringLiteral("Parcly Lite %1 is the newest version available.").arg(current));
        return;
    }
    present(Outcome::UpdateAvailable, QStringLiteral("A new version of Parcly Lite is available!"),
            QStringLiteral("Parcly Lite %1 is out; you have %2. Its download page has the new version.").arg(newest->version, current),
            newest->page);
}

void Updater::present(Outcome outcome, const QString& text, const QString& details, const QUrl& page)
{
    if (m_dialog)
        m_dialog->close();
    auto* dialog = new QMessageBox;
    m_dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("UpdaterDialog"));
    dialog->setWindowTitle(QStringLiteral("Software Update"));
    dialog->setIcon(outcome == Outcome::Failed ? QMessageBox::Warning : QMessageBox::Information);
    dialog->setText(text);
    dialog->setInformativeText(details);
    // The details may quote the service (an error's reason phrase): shown as typed, never as
    // markup, so a served tag can neither load a local image nor offer a link.
    dialog->setTextFormat(Qt::PlainText);
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
        label->setTextInteractionFlags(label->textInteractionFlags() & ~Qt::LinksAccessibleByMouse & ~Qt::LinksAccessibleByKeyboard);
    }
    if (outcome == Outcome::UpdateAvailable) {
        QPushButton* download = dialog->addButton(QStringLiteral("Open Download Page"), QMessageBox::AcceptRole);
        download->setObjectName(QStringLiteral("download"));
        dialog->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        dialog->setDefaultButton(download);
        // The feed comes from the network: only a web page is ever opened from it.
        connect(download, &QPushButton::clicked, this, [page] { WebLink::openWebPage(page, QStringLiteral("download page")); });
    } else {
        dialog->setStandardButtons(QMessageBox::Ok);
    }
    dialog->show();
    Application::activateIgnoringOtherApps();
    emit checkFinished(outcome);
}
