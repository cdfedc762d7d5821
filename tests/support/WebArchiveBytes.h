#pragma once

// Web archives written byte by byte as QDataStream writes a QVariantMap, so that a test can hand
// the reader what no well-behaved program would.
#include <QByteArray>
#include <QMetaType>
#include <QtEndian>

inline void appendBigEndian32(QByteArray& bytes, quint32 value)
{
    const quint32 big = qToBigEndian(value);
    bytes.append(reinterpret_cast<const char*>(&big), 4);
}

// { "x": [[[ ... 50,000 lists deep ... 7 ]]] }
inline QByteArray deeplyNestedWebArchive()
{
    QByteArray bytes;
    appendBigEndian32(bytes, 1);
    appendBigEndian32(bytes, 2);
    bytes.append("\0x", 2);
    for (int level = 0; level < 50000; ++level) {
        appendBigEndian32(bytes, QMetaType::QVariantList);
        bytes.append('\0');
        appendBigEndian32(bytes, 1);
    }
    appendBigEndian32(bytes, QMetaType::Int);
    bytes.append('\0');
    appendBigEndian32(bytes, 7);
    return bytes;
}
