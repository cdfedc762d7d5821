#include "app/web/WebHelperChannel.h"

#include "platform/Log.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QtEndian>

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
    quint32 length = qToBigEndian(quint32(payload.size()));
    m_socket->write(reinterpret_cast<const char*>(&length), sizeof length);
    m_socket->write(payload);
}

void WebHelperChannel::close()
{
    m_socket->flush();
    m_socket->disconnectFromServer();
}

void WebHelperChannel::readMessages()
{
    m_buffer.append(m_socket->readAll());
    while (m_buffer.size() >= qsizetype(sizeof(quint32))) {
        const quint32 length = qFromBigEndian<quint32>(m_buffer.constData());
        if (length > kMaximumMessageBytes) {
            logLine(QStringLiteral("Web helper: message of %1 bytes refused; closing the connection").arg(length));
            m_buffer.clear();
            m_socket->abort();
            return;
        }
        if (quint64(m_buffer.size()) < sizeof(quint32) + quint64(length))
            return;
        QVariantList message;
        {
            QDataStream stream(m_buffer.mid(sizeof(quint32), length));
            stream.setVersion(QDataStream::Qt_6_4);
            stream >> message;
        }
        m_buffer.remove(0, sizeof(quint32) + length);
        if (!message.isEmpty())
            emit messageReceived(message);
        // A handler may have closed the channel.
        if (!isOpen())
            return;
    }
}
