#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// The service's answer to an upload, as far as the desktop may act on it. Its short link is opened
// in the browser, announced and put on the clipboard, so only a web link qualifies (WebLink.h).
namespace DropRecord {

// Whether a parsed answer is a drop: a JSON object whose "shortlink" is a web link.
bool isDrop(const QVariant& answer);

// The record's "shortlink" when it is an absolute http or https URL with a host; empty otherwise.
QUrl shortlink(const QVariantMap& record);

// One of the account's drops, as the drop list and the upload answer describe it.
struct Drop {
    QString code;
    QString title;
    qint64 size = 0;
    QString contentType;
    QDateTime created; // UTC
    QDateTime expires; // UTC; invalid: never
    QUrl shortlink; // always a web link

    friend bool operator==(const Drop&, const Drop&) = default;
};

// The drop a record describes; none when it has no web link or no code (from "code", else the
// short link's last path segment, as older services answer an upload).
std::optional<Drop> dropFromRecord(const QVariantMap& record);
// The record again, in the service's own form, for scripts.
QJsonObject toJson(const Drop& drop);

// The code a drop is named by on the command line: the code itself, or its short link (or the
// link's /raw). Empty when the text is neither.
QString codeFromReference(const QString& reference);

// "42s", "5m", "3h", "2d": how long ago `created` was, for a column.
QString shortAge(const QDateTime& created, const QDateTime& now);
// "just now", "5 minutes ago", "yesterday", "3 days ago": the same for a sentence.
QString ageInWords(const QDateTime& created, const QDateTime& now);
// "830 B", "12 KB", "1.5 MB" (units of 1,000 bytes, one decimal below ten).
QString sizeText(qint64 bytes);

} // namespace DropRecord

Q_DECLARE_METATYPE(DropRecord::Drop)
