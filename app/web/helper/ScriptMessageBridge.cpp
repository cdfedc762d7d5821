#include "app/web/helper/ScriptMessageBridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

void ScriptMessageBridge::addHandler(const QString& name)
{
    if (!m_names.contains(name))
        m_names.append(name);
}

void ScriptMessageBridge::postMessage(const QString& name, const QVariant& body)
{
    // The channel is reachable by any script in the page; only registered handlers exist.
    if (!m_names.contains(name))
        return;
    emit messageReceived(name, plainBody(body));
}

QVariant plainBody(const QVariant& body)
{
    switch (body.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return QVariant();
    case QMetaType::QJsonValue:
        return plainBody(body.toJsonValue().toVariant());
    case QMetaType::QJsonObject:
        return body.toJsonObject().toVariantMap();
    case QMetaType::QJsonArray:
        return body.toJsonArray().toVariantList();
    case QMetaType::QJsonDocument: {
        const QJsonDocument document = body.toJsonDocument();
        return document.isArray() ? QVariant(document.array().toVariantList()) : QVariant(document.object().toVariantMap());
    }
    default:
        return body;
    }
}
