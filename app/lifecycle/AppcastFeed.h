#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

// An update feed: an RSS channel whose items each offer one version of the app. The version is
// read from a namespaced "shortVersionString" (element or enclosure attribute), else a namespaced
// "version"; the item's page is its link, else its enclosure's address, else the channel's link.
namespace AppcastFeed {

struct Item {
    QString version;
    QUrl page;
};

// The item with the highest version, or nothing with *error saying why (not XML, not a feed, no
// item with a readable version).
std::optional<Item> newestItem(const QByteArray& xml, QString* error);

// Dotted numeric versions: negative, zero or positive as a is older than, equal to or newer than
// b. Missing parts count as 0, so "1.2" equals "1.2.0".
int compareVersions(const QString& a, const QString& b);
// Whether the text is a dotted numeric version such as "1.10.2".
bool isVersion(const QString& text);

} // namespace AppcastFeed
