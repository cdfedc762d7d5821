#include "app/service/DropRecord.h"

#include "app/service/WebLink.h"

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
    return WebLink::isWebLink(link) ? link : QUrl();
}
