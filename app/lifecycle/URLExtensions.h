#pragma once

#include <QMap>
#include <QString>
#include <QUrl>

namespace Extensions {

// A URL from its string, strictly parsed; an invalid QUrl when the string is not a URL.
QUrl URLWithString(const QString& string);

// The query's key-value pairs: the query as written, split at every "&" and then at every "=",
// key and value percent-decoded as UTF-8, "+" kept, a later key replacing an earlier one. Only
// the first two parts of a piece count, so an unescaped "=" ends the value. Pieces without "=",
// or with escapes that are not UTF-8, are skipped. Empty for a URL without a query.
QMap<QString, QString> parameters(const QUrl& url);

// parameters(url)'s value for the key, or a null string.
QString parameterForKey(const QUrl& url, const QString& key);

} // namespace Extensions
