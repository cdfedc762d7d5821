#include "app/menubar/RecentDropsMenu.h"

#include "app/menubar/LinkPasteboard.h"
#include "app/service/API.h"
#include "app/service/HttpTransfer.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/WebLink.h"
#include "platform/Log.h"
#include "platform/gui/UserNotificationCenter.h"

#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <utility>

namespace {

constexpr int kLongestTitle = 48;

// A title as a menu item may show it: the service's text with no controls or direction marks,
// no mnemonic ampersands, and no longer than a menu should be wide.
QString menuTitle(const QString& title)
{
    QString shown;
    for (const QChar c : title) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            shown += c == QLatin1Char('\t') || c == QLatin1Char('\n') ? QStringLiteral(" ") : QString();
        else
            shown += c;
    }
    shown = shown.simplified();
    if (shown.isEmpty())
        shown = QStringLiteral("Untitled");
    if (shown.size() > kLongestTitle)
        shown = shown.left(kLongestTitle / 2 - 1) + QChar(0x2026) + shown.right(kLongestTitle / 2 - 1);
    return shown;
}

// The informative text guesses its format: escaped and marked as rich text, the service's words
// show as they are whatever they hold.
QString richText(const QString& plain)
{
    return QStringLiteral("<p>%1</p>").arg(plain.toHtmlEscaped());
}

QString quoted(const DropRecord::Drop& drop)
{
    return QStringLiteral("“%1”").arg(menuTitle(drop.title));
}

} // namespace

RecentDropsMenu::RecentDropsMenu(QWidget* parent)
    : QMenu(QStringLiteral("Recent Drops"), parent)
{
    setObjectName(QStringLiteral("RecentDropsMenu"));
    setToolTipsVisible(true);
    // Ages are worded relative to now: worded afresh each time the entries show.
    connect(this, &QMenu::aboutToShow, this, &RecentDropsMenu::rebuild);
    rebuild();
}

void RecentDropsMenu::refresh()
{
    const quint64 request = ++m_request;
    QPointer<RecentDropsMenu> self(this);
    API::instance().listDrops(kShownDrops, [self, request](bool success, const QVariant& result) {
        if (!self || request != self->m_request)
            return;
        if (!success) {
            // What was shown stays; the log has the reason, and an empty list says it failed.
            self->m_failure = result.value<Error>().localizedDescription;
            if (self->m_drops.isEmpty())
                self->rebuild();
            return;
        }
        QList<DropRecord::Drop> listed;
        for (const DropRecord::Drop& drop : result.value<QList<DropRecord::Drop>>()) {
            if (!self->m_deleted.contains(drop.code))
                listed.append(drop);
        }
        // Uploads that ended after this list was asked for are newer than all it names; once a
        // list names one, the service's order holds for it.
        QList<DropRecord::Drop> newer;
        for (const DropRecord::Drop& drop : std::as_const(self->m_drops)) {
            const auto added = self->m_addedAt.constFind(drop.code);
            const bool listedAlready = std::any_of(listed.cbegin(), listed.cend(), [&](const auto& l) { return l.code == drop.code; });
            if (added != self->m_addedAt.constEnd() && *added >= request && !listedAlready)
                newer.append(drop);
        }
        self->m_addedAt.removeIf([&](const auto& added) {
            return std::any_of(listed.cbegin(), listed.cend(), [&](const auto& l) { return l.code == added.key(); });
        });
        const QList<DropRecord::Drop> shown = (newer + listed).mid(0, kShownDrops);
        // Unchanged, the entries stay as they are: the user may be in one of them.
        if (self->m_listed && self->m_failure.isEmpty() && shown == self->m_drops)
            return;
        self->m_drops = shown;
        self->m_listed = true;
        self->m_failure.clear();
        self->rebuild();
    });
}

void RecentDropsMenu::addDrop(const QVariantMap& record)
{
    const std::optional<DropRecord::Drop> drop = DropRecord::dropFromRecord(record);
    if (!drop) {
        logLine(QStringLiteral("Not listing a new drop without a code or web link among the recent drops"));
        return;
    }
    m_drops.removeIf([&](const DropRecord::Drop& shown) { return shown.code == drop->code; });
    m_drops.prepend(*drop);
    if (m_drops.size() > kShownDrops)
        m_drops.resize(kShownDrops);
    // The latest request may have been asked for before the upload ended; the next one after it.
    m_addedAt.insert(drop->code, m_request);
    m_listed = true;
    rebuild();
}

const DropRecord::Drop* RecentDropsMenu::dropWithCode(const QString& code) const
{
    for (const DropRecord::Drop& drop : m_drops) {
        if (drop.code == code)
            return &drop;
    }
    return nullptr;
}

void RecentDropsMenu::rebuild()
{
    // clear() leaves the entries' menus, which are this menu's children; later, because one of
    // them may be the menu whose action is running now.
    for (QMenu* entry : std::as_const(m_entries)) {
        entry->setObjectName(QString());
        entry->deleteLater();
    }
    m_entries.clear();
    clear();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const DropRecord::Drop& drop : std::as_const(m_drops)) {
        const QString age = DropRecord::ageInWords(drop.created, now);
        const QString details
            = age.isEmpty() ? DropRecord::sizeText(drop.size) : age + QStringLiteral(", ") + DropRecord::sizeText(drop.size);
        // Doubled, an ampersand shows as itself rather than marking a mnemonic.
        QMenu* entry
            = addMenu(QStringLiteral("%1 — %2").arg(menuTitle(drop.title), details).replace(QLatin1Char('&'), QStringLiteral("&&")));
        m_entries.append(entry);
        entry->setObjectName(QStringLiteral("drop-") + drop.code);
        entry->setAccessibleName(menuTitle(drop.title));
        entry->menuAction()->setToolTip(drop.shortlink.toString());
        const QString code = drop.code;
        connect(entry->addAction(QStringLiteral("Copy Link")), &QAction::triggered, this, [this, code] { copyLink(code); });
        connect(entry->addAction(QStringLiteral("Open in Browser")), &QAction::triggered, this, [this, code] { openInBrowser(code); });
        entry->addSeparator();
        connect(entry->addAction(QStringLiteral("Delete Drop…")), &QAction::triggered, this, [this, code] { confirmDelete(code); });
    }
    if (m_drops.isEmpty()) {
        QString state = QStringLiteral("Looking for drops…");
        if (m_listed)
            state = QStringLiteral("No drops yet");
        else if (!m_failure.isEmpty())
            state = QStringLiteral("Drops could not be listed");
        QAction* placeholder = addAction(state);
        placeholder->setEnabled(false);
        if (!m_failure.isEmpty())
            placeholder->setToolTip(m_failure);
    }
    addSeparator();
    connect(addAction(QStringLiteral("Show All Drops")), &QAction::triggered, this, &RecentDropsMenu::showAllDrops);
}

void RecentDropsMenu::copyLink(const QString& code) const
{
    const DropRecord::Drop* drop = dropWithCode(code);
    if (!drop)
        return;
    copyLinkToPasteboard(drop->shortlink);
}

void RecentDropsMenu::openInBrowser(const QString& code) const
{
    if (const DropRecord::Drop* drop = dropWithCode(code))
        WebLink::openWebPage(drop->shortlink, QStringLiteral("drop"));
}

void RecentDropsMenu::showAllDrops() const
{
    API::instance().refreshAccountComplete([](bool success, const QVariant& token) {
        // The page is of no use without the account; the log says why there is none.
        if (!success)
            return;
        WebLink::openWebPageWithToken(QUrl(ServiceConfiguration::webOrigin() + QStringLiteral("/account/drops")), token.toString(),
                                      QStringLiteral("drop list page"));
    });
}

void RecentDropsMenu::confirmDelete(const QString& code)
{
    const DropRecord::Drop* shown = dropWithCode(code);
    if (!shown)
        return;
    const DropRecord::Drop drop = *shown;
    if (m_dialog)
        m_dialog->close();
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Delete Drop"), QStringLiteral("Delete %1?").arg(quoted(drop)),
                                QMessageBox::Cancel);
    box->setObjectName(QStringLiteral("confirmDeleteDrop"));
    box->setInformativeText(richText(QStringLiteral("Its link %1 stops working for everyone you shared it with. This cannot be undone.")
                                         .arg(drop.shortlink.toString(QUrl::FullyEncoded))));
    box->setTextFormat(Qt::PlainText);
    QPushButton* deleteButton = box->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    // A stray Return keeps the drop.
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, deleteButton, drop] {
        if (box->clickedButton() == deleteButton)
            deleteDrop(drop);
    });
    m_dialog = box;
    box->open();
    box->raise();
    box->activateWindow();
}

void RecentDropsMenu::deleteDrop(const DropRecord::Drop& drop)
{
    QPointer<RecentDropsMenu> self(this);
    API::instance().deleteDrop(drop.code, [self, drop](bool success, const QVariant& result) {
        if (!self)
            return;
        const Error error = result.value<Error>();
        // Not found: already deleted, expired, or never this account's; listed no longer either way.
        const bool gone = success || (error.domain == HttpErrorDomain::kStatus && error.code == 404);
        if (gone) {
            self->m_deleted.insert(drop.code);
            self->m_drops.removeIf([&](const DropRecord::Drop& shown) { return shown.code == drop.code; });
            self->rebuild();
        }
        if (!success) {
            logLine(QStringLiteral("Could not delete the drop %1: %2").arg(drop.code, error.localizedDescription));
            self->showDeleteFailure(drop, error.localizedDescription);
            return;
        }
        logLine(QStringLiteral("Deleted the drop %1").arg(drop.code));
        UserNotificationCenter::defaultUserNotificationCenter().deliverNotification(
            {QStringLiteral("Drop Deleted"), QStringLiteral("%1 is deleted; its link no longer works.").arg(quoted(drop)), QString()});
        emit self->dropDeleted(drop.code);
    });
}

void RecentDropsMenu::showDeleteFailure(const DropRecord::Drop& drop, const QString& reason)
{
    if (m_dialog)
        m_dialog->close();
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Delete Drop"),
                                QStringLiteral("%1 could not be deleted.").arg(quoted(drop)), QMessageBox::Ok);
    box->setObjectName(QStringLiteral("deleteDropFailed"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(richText(reason.isEmpty() ? QStringLiteral("The service did not answer.") : reason));
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog = box;
    box->open();
    box->raise();
}
