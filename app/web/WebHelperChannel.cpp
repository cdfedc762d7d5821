#include "app/web/WebHelperChannel.h"

#include "platform/Log.h"
#include "platform/MessageFraming.h"

#include <QDataStream>
#include <QLocalSocket>

WebHelperChannel::WebHelperChannel(int socketDescriptor, QObject* parent)
    : QObject(parent)
    , m_socket(new QLocalSocket(this))
{
    if (!m_socket->setSocketDescriptor(socketDescriptor))
        logLine(QStringLiteral("Web helper: cannot use socket %1: %2").arg(socketDescriptor).arg(m_socket->errorString()));
    connect(m_socket, &QLocalSocket::readyRead, this, &WebHelperChannel::readMessages);
    connect(m_socket, &QLocalSocket::disconnected, this, &WebHelperChannel::disconnected);
}

bool WebHelperChannel::isOpen() const
{
    return m_socket->state() == QLocalSocket::ConnectedState;
}

void WebHelperChannel::send(const QVariantList& message)
{
    if (!isOpen())
        return;
    QByteArray payload;
    {
        QDataStream stream(&payload, QIODevice::WriteOnly);
        stream.setVersion(QDataStream::Qt_6_4);
        stream << message;
    }
    MessageFraming::writeMessage(*m_socket, payload);
}

void WebHelperChannel::close()
{
    m_socket->flush();
    m_socket->disconnectFromServer();
}

void WebHelperChannel::readMessages()
{
    QByteArray payload;
    while (true) {
        const MessageFraming::Read read = MessageFraming::readMessage(*m_socket, kMaximumMessageBytes, payload);
        if (read == MessageFraming::Read::Incomplete)
            return;
        if (read == MessageFraming::Read::TooLarge) {
            logLine(QStringLiteral("Web helper: oversized message refused; closing the connection"));
            m_socket->abort();
            return;
        }
        QVariantList message;
        {
            QDataStream stream(payload);
            stream.setVersion(QDataStream::Qt_6_4);
            stream >> message;
        }
        if (!message.isEmpty())
            emit messageReceived(message);
        // A handler may have closed the channel.
        if (!isOpen())
            return;
    }
}
