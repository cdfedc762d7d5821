#pragma once

#include "app/service/DropRecord.h"

#include <QHash>
#include <QList>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSet>
#include <QVariantMap>

// "Recent Drops" in the status menu: the account's newest drops, each with its link to copy or
// open and a way to delete it. It shows the last list it knows at once and asks the service for a
// fresh one whenever the status menu opens, so opening never waits on the network; an upload's
// drop goes on top as soon as the upload ends.
class RecentDropsMenu : public QMenu {
    Q_OBJECT
public:
    static constexpr int kShownDrops = 10;

    explicit RecentDropsMenu(QWidget* parent = nullptr);

    // Asks the service for the newest drops; what is shown stays until the answer arrives.
    void refresh();
    // Puts the drop an upload just made on top, from the upload's answer.
    void addDrop(const QVariantMap& record);
    // The drops shown, newest first.
    const QList<DropRecord::Drop>& drops() const { return m_drops; }

    // Entry actions, by the drop's code.
    void copyLink(const QString& code) const;
    void openInBrowser(const QString& code) const;
    // Asks first, in a dialog that names the drop; the drop is deleted only when the user agrees.
    void confirmDelete(const QString& code);
    // The account's drop list page on the web site, signed in with the account's token.
    void showAllDrops() const;

    // The confirmation or failure dialog while one shows; for tests and for raising it again.
    QMessageBox* openDialog() const { return m_dialog.data(); }

signals:
    // After a drop was deleted at the service.
    void dropDeleted(const QString& code);

private:
    void rebuild();
    void deleteDrop(const DropRecord::Drop& drop);
    void showDeleteFailure(const DropRecord::Drop& drop, const QString& reason);
    const DropRecord::Drop* dropWithCode(const QString& code) const;

    QList<DropRecord::Drop> m_drops;
    QList<QMenu*> m_entries;
    // Whether any list has arrived yet, and why the last request failed (empty when it did not).
    bool m_listed = false;
    QString m_failure;
    // Lists asked for one after another may be answered out of order: only the latest counts.
    quint64 m_request = 0;
    // Drops uploaded since, by the request that was the latest then: a list asked for before they
    // existed leaves them out, and they stay on top.
    QHash<QString, quint64> m_addedAt;
    // Drops deleted from here, which a list asked for before their deletion still names.
    QSet<QString> m_deleted;
    QPointer<QMessageBox> m_dialog;
};
