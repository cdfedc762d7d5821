#include "app/lifecycle/AppcastFeed.h"

#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

QList<qulonglong> versionParts(const QString& version)
{
    QList<qulonglong> parts;
    for (const QString& part : version.split(QLatin1Char('.')))
        parts.append(part.toULongLong());
    return parts;
}

struct ItemReading {
    QString shortVersion;
    QString version;
    QUrl link;
    QUrl enclosure;
};

void readVersionAttributes(const QXmlStreamAttributes& attributes, ItemReading& item)
{
    for (const QXmlStreamAttribute& attribute : attributes) {
        if (attribute.namespaceUri().isEmpty())
            continue;
        if (attribute.name() == QLatin1String("shortVersionString"))
            item.shortVersion = attribute.value().toString().trimmed();
        else if (attribute.name() == QLatin1String("version"))
            item.version = attribute.value().toString().trimmed();
    }
}

} // namespace

bool AppcastFeed::isVersion(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9})*$"));
    return pattern.match(text).hasMatch();
}

int AppcastFeed::compareVersions(const QString& a, const QString& b)
{
    const QList<qulonglong> left = versionParts(a);
    const QList<qulonglong> right = versionParts(b);
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qulonglong l = i < left.size() ? left[i] : 0;
        const qulonglong r = i < right.size() ? right[i] : 0;
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

std::optional<AppcastFeed::Item> AppcastFeed::newestItem(const QByteArray& xml, QString* error)
{
    QXmlStreamReader reader(xml);
    std::optional<Item> newest;
    QUrl channelLink;
    bool sawChannel = false;
    int items = 0;
    std::optional<ItemReading> item;

    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const bool plain = reader.namespaceUri().isEmpty();
            const auto name = reader.name();
            if (plain && name == QLatin1String("channel")) {
                sawChannel = true;
            } else if (plain && name == QLatin1String("item")) {
                item.emplace();
            } else if (plain && name == QLatin1String("link")) {
                const QUrl link(reader.readElementText().trimmed());
                (item ? item->link : channelLink) = link;
            } else if (item && plain && name == QLatin1String("enclosure")) {
                item->enclosure = QUrl(reader.attributes().value(QLatin1String("url")).toString());
                readVersionAttributes(reader.attributes(), *item);
            } else if (item && !plain && name == QLatin1String("shortVersionString")) {
                item->shortVersion = reader.readElementText().trimmed();
            } else if (item && !plain && name == QLatin1String("version")) {
                item->version = reader.readElementText().trimmed();
            }
        } else if (reader.isEndElement() && item && reader.name() == QLatin1String("item") && reader.namespaceUri().isEmpty()) {
            ++items;
            const QString version = !item->shortVersion.isEmpty() ? item->shortVersion : item->version;
            if (isVersion(version) && (!newest || compareVersions(version, newest->version) > 0))
                newest = Item{version, !item->link.isEmpty() ? item->link : item->enclosure};
            item.reset();
        }
    }
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (reader.hasError())
        return fail(QStringLiteral("the feed is not readable XML (%1, line %2)").arg(reader.errorString()).arg(reader.lineNumber()));
    if (!sawChannel)
        return fail(QStringLiteral("the document is not an update feed"));
    if (!newest)
        return fail(items == 0 ? QStringLiteral("the feed lists no version") : QStringLiteral("no version in the feed is readable"));
    if (newest->page.isEmpty())
        newest->page = channelLink;
    return newest;
}
