#include "app/service/DropRecord.h"

bool DropRecord::isDrop(const QVariant& answer)
{
    return answer.typeId() == QMetaType::QVariantMap && !shortlink(answer.toMap()).isEmpty();
}

QUrl DropRecord::shortlink(const QVariantMap& record)
{
    const QVariant value = record.value(QStringLiteral("shortlink"));
    if (value.typeId() != QMetaType::QString)
        return {};
    const QUrl link(value.toString(), QUrl::StrictMode);
    const QString scheme = link.scheme().toLower();
    if (!link.isValid() || link.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return link;
}
