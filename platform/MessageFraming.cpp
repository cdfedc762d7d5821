#include "platform/MessageFraming.h"

#include <QIODevice>
#include <QtEndian>

namespace MessageFraming {

namespace {

constexpr qint64 kHeaderBytes = sizeof(quint32);

QByteArray header(qsizetype length)
{
    QByteArray bytes(kHeaderBytes, '\0');
    qToBigEndian<quint32>(quint32(length), bytes.data());
    return bytes;
}

} // namespace

QByteArray frame(const QByteArray& payload)
{
    return header(payload.size()) + payload;
}

void writeMessage(QIODevice& device, const QByteArray& payload)
{
    device.write(header(payload.size()));
    device.write(payload);
}

Read readMessage(QIODevice& device, quint32 maximumBytes, QByteArray& payload)
{
    if (device.bytesAvailable() < kHeaderBytes)
        return Read::Incomplete;
    char lengthBytes[kHeaderBytes];
    device.peek(lengthBytes, kHeaderBytes);
    const quint32 length = qFromBigEndian<quint32>(lengthBytes);
    if (length > maximumBytes)
        return Read::TooLarge;
    if (device.bytesAvailable() < kHeaderBytes + qint64(length))
        return Read::Incomplete;
    device.skip(kHeaderBytes);
    payload = device.read(length);
    return Read::Message;
}

} // namespace MessageFraming
