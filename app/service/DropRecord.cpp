#include "app/service/DropRecord.h"

#include "app/service/WebLink.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace DropRecord {

bool isDrop(const QVariant& answer)
{
    return answer.typeId() == QMetaType::QVariantMap && !shortlink(answer.toMap()).isEmpty();
}

QUrl shortlink(const QVariantMap& record)
{
    const QVariant value = record.value(QStringLiteral("shortlink"));
    if (value.typeId() != QMetaType::QString)
        return {};
    const QUrl link(value.toString(), QUrl::StrictMode);
    return WebLink::isWebLink(link) ? link : QUrl();
}

namespace {

bool isCode(const QString& text)
{
    static const QRegularExpression code(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return code.match(text).hasMatch();
}

// The link's last path segment that names a drop: "/abc123" and "/abc123/raw" both give abc123.
QString codeFromLink(const QUrl& link)
{
    QStringList segments = link.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (segments.size() > 1 && segments.last() == QLatin1String("raw"))
        segments.removeLast();
    const QString last = segments.value(segments.size() - 1);
    return isCode(last) ? last : QString();
}

QDateTime timeFrom(const QVariant& value)
{
    if (value.typeId() != QMetaType::QString)
        return {};
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

QString timeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

std::optional<Drop> dropFromRecord(const QVariantMap& record)
{
    Drop drop;
    drop.shortlink = shortlink(record);
    if (drop.shortlink.isEmpty())
        return std::nullopt;
    const QString code = record.value(QStringLiteral("code")).toString();
    drop.code = isCode(code) ? code : codeFromLink(drop.shortlink);
    if (drop.code.isEmpty())
        return std::nullopt;
    drop.title = record.value(QStringLiteral("title")).toString();
    drop.size = record.value(QStringLiteral("size")).toLongLong();
    drop.contentType = record.value(QStringLiteral("contentType")).toString();
    drop.created = timeFrom(record.value(QStringLiteral("created")));
    drop.expires = timeFrom(record.value(QStringLiteral("expires")));
    return drop;
}

QJsonObject toJson(const Drop& drop)
{
    return {
        {QStringLiteral("code"), drop.code},
        {QStringLiteral("title"), drop.title},
        {QStringLiteral("size"), drop.size},
        {QStringLiteral("contentType"), drop.contentType},
        {QStringLiteral("created"), drop.created.isValid() ? QJsonValue(timeText(drop.created)) : QJsonValue()},
        {QStringLiteral("expires"), drop.expires.isValid() ? QJsonValue(timeText(drop.expires)) : QJsonValue()},
        {QStringLiteral("shortlink"), drop.shortlink.toString(QUrl::FullyEncoded)},
    };
}

QString codeFromReference(const QString& reference)
{
    if (isCode(reference))
        return reference;
    const QUrl link(reference, QUrl::StrictMode);
    return WebLink::isWebLink(link) ? codeFromLink(link) : QString();
}

QString shortAge(const QDateTime& created, const QDateTime& now)
{
    if (!created.isValid())
        return QStringLiteral("?");
    const qint64 seconds = std::max<qint64>(0, created.secsTo(now));
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1m").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1h").arg(seconds / 3600);
    return QStringLiteral("%1d").arg(seconds / 86400);
}

QString ageInWords(const QDateTime& created, const QDateTime& now)
{
    if (!created.isValid())
        return {};
    const qint64 seconds = std::max<qint64>(0, created.secsTo(now));
    const auto counted = [](qint64 count, const char* unit) {
        return QStringLiteral("%1 %2%3 ago").arg(count).arg(QLatin1String(unit)).arg(count == 1 ? QString() : QStringLiteral("s"));
    };
    if (seconds < 60)
        return QStringLiteral("just now");
    if (seconds < 3600)
        return counted(seconds / 60, "minute");
    if (seconds < 86400)
        return counted(seconds / 3600, "hour");
    if (seconds < 2 * 86400)
        return QStringLiteral("yesterday");
    return counted(seconds / 86400, "day");
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(std::max<qint64>(0, bytes));
    double value = double(bytes);
    for (const char* unit : {"KB", "MB", "GB", "TB"}) {
        value /= 1000.0;
        if (value < 1000.0 || qstrcmp(unit, "TB") == 0) {
            // One decimal only below ten, and only where it says something: "1.5 MB", "2 MB", "12 KB".
            QString number = QString::number(value, 'f', value < 9.95 ? 1 : 0);
            if (number.endsWith(QLatin1String(".0")))
                number.chop(2);
            return QStringLiteral("%1 %2").arg(number, QLatin1String(unit));
        }
    }
    return {};
}

} // namespace DropRecord
