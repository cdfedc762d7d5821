#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>

// The app's end of the page's message handlers: published on the page's web channel, it receives
// every postMessage and passes on those sent to a handler the app registered.
class ScriptMessageBridge : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void addHandler(const QString& name);
    const QStringList& handlerNames() const { return m_names; }

    // Called by the page over the web channel.
    Q_INVOKABLE void postMessage(const QString& name, const QVariant& body);

signals:
    void messageReceived(const QString& name, const QVariant& body);

private:
    QStringList m_names;
};

// The body as the app sees it: maps, lists, strings, numbers and booleans; a null QVariant for
// an absent or null body.
QVariant plainBody(const QVariant& body);
