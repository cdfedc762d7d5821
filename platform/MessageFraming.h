#pragma once

#include <QByteArray>

class QIODevice;

// Messages over a stream socket between our own programs: a 32-bit big-endian length, then that
// many bytes of payload.
namespace MessageFraming {

QByteArray frame(const QByteArray& payload);
// The same onto a device, without copying the payload (web pages send whole frames this way).
void writeMessage(QIODevice& device, const QByteArray& payload);

enum class Read { Incomplete, Message, TooLarge };

// Takes one whole message off the device's buffer into `payload`; an incomplete one stays where
// it is until more has arrived. TooLarge: the announced length exceeds `maximumBytes`, and the
// stream cannot be trusted any further.
Read readMessage(QIODevice& device, quint32 maximumBytes, QByteArray& payload);

} // namespace MessageFraming
