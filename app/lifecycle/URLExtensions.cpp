#include "app/lifecycle/URLExtensions.h"

#include <QStringDecoder>

#include <optional>

namespace {

int hexValue(QChar c)
{
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        return c.unicode() - '0';
    if (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        return c.unicode() - 'a' + 10;
    if (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
        return c.unicode() - 'A' + 10;
    return -1;
}

// Replaces percent escapes only; nothing when an escape is malformed or the bytes are not UTF-8.
std::optional<QString> replacingPercentEscapes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('%')) {
            bytes.append(QString(c).toUtf8());
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text.at(i + 1));
        const int low = hexValue(text.at(i + 2));
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(char(high * 16 + low));
        i += 2;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    // An empty value is still a value, unlike an absent key.
    return decoded.isNull() ? QStringLiteral("") : decoded;
}

} // namespace

namespace Extensions {

QUrl URLWithString(const QString& string)
{
    if (string.isEmpty())
        return {};
    QUrl url(string, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

QMap<QString, QString> parameters(const QUrl& url)
{
    QMap<QString, QString> result;
    if (!url.hasQuery())
        return result;
    const QString query = url.query(QUrl::FullyEncoded);
    for (const QString& piece : query.split(QLatin1Char('&'))) {
        const QStringList parts = piece.split(QLatin1Char('='));
        if (parts.size() < 2)
            continue;
        const std::optional<QString> key = replacingPercentEscapes(parts.at(0));
        const std::optional<QString> value = replacingPercentEscapes(parts.at(1));
        if (!key || !value)
            continue;
        result.insert(*key, *value);
    }
    return result;
}

QString parameterForKey(const QUrl& url, const QString& key)
{
    const QMap<QString, QString> all = parameters(url);
    const auto found = all.constFind(key);
    return found == all.cend() ? QString() : *found;
}

} // namespace Extensions
