#include "platform/gui/WebArchive.h"

#include <QMetaType>
#include <QStringList>
#include <QUrl>
#include <QVariantHash>
#include <QVariantList>
#include <QVariantMap>
#include <QtEndian>

#include <cstring>

namespace {

constexpr quint32 kNullLength = 0xFFFFFFFFu;

class Reader {
public:
    explicit Reader(const QByteArray& bytes)
        : m_at(bytes.constData())
        , m_end(bytes.constData() + bytes.size())
    {
    }

    bool atEnd() const { return m_at == m_end; }
    QString error() const { return m_error; }

    bool fail(const QString& why)
    {
        if (m_error.isEmpty())
            m_error = why;
        return false;
    }

    bool readRaw(void* into, qsizetype size)
    {
        if (m_end - m_at < size)
            return fail(QStringLiteral("it ends early"));
        std::memcpy(into, m_at, size_t(size));
        m_at += size;
        return true;
    }

    template <typename T> bool readNumber(T& value)
    {
        T raw;
        if (!readRaw(&raw, sizeof raw))
            return false;
        value = qFromBigEndian(raw);
        return true;
    }

    // A count of elements, each taking at least `minimumSize` bytes: a count the remaining bytes
    // cannot hold is refused before anything is reserved for it.
    bool readCount(quint32& count, qsizetype minimumSize)
    {
        if (!readNumber(count))
            return false;
        if (qsizetype(count) > (m_end - m_at) / minimumSize)
            return fail(QStringLiteral("a list claims more elements than it holds"));
        return true;
    }

    bool readBytes(QByteArray& bytes)
    {
        quint32 length = 0;
        if (!readNumber(length))
            return false;
        if (length == kNullLength) {
            bytes = QByteArray();
            return true;
        }
        if (qsizetype(length) > m_end - m_at)
            return fail(QStringLiteral("it ends early"));
        bytes = QByteArray(m_at, qsizetype(length));
        m_at += length;
        return true;
    }

    bool readString(QString& string)
    {
        quint32 length = 0;
        if (!readNumber(length))
            return false;
        if (length == kNullLength) {
            string = QString();
            return true;
        }
        if (length % 2 != 0 || qsizetype(length) > m_end - m_at)
            return fail(QStringLiteral("a string is cut"));
        string.resize(qsizetype(length / 2));
        for (qsizetype i = 0; i < string.size(); ++i)
            string[i] = QChar(qFromBigEndian<quint16>(m_at + 2 * i));
        m_at += length;
        return true;
    }

    bool readVariant(QVariant& value, int depth)
    {
        if (depth > WebArchive::kMaxDepth)
            return fail(QStringLiteral("it nests deeper than %1 levels").arg(WebArchive::kMaxDepth));
        quint32 type = 0;
        qint8 isNull = 0;
        if (!readNumber(type) || !readNumber(isNull))
            return false;
        switch (type) {
        case QMetaType::Bool: {
            qint8 flag = 0;
            if (!readNumber(flag))
                return false;
            value = bool(flag);
            return true;
        }
        case QMetaType::Int:
            return readScalar<qint32>(value);
        case QMetaType::UInt:
            return readScalar<quint32>(value);
        case QMetaType::LongLong:
            return readScalar<qint64>(value);
        case QMetaType::ULongLong:
            return readScalar<quint64>(value);
        case QMetaType::Double: {
            quint64 bits = 0;
            if (!readNumber(bits))
                return false;
            double number;
            std::memcpy(&number, &bits, sizeof number);
            value = number;
            return true;
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            QVariantMap map;
            if (!readMap(map, depth + 1))
                return false;
            value = map;
            return true;
        }
        case QMetaType::QVariantList: {
            QVariantList list;
            if (!readList(list, depth + 1))
                return false;
            value = list;
            return true;
        }
        case QMetaType::QStringList: {
            quint32 count = 0;
            if (!readCount(count, 4))
                return false;
            QStringList list;
            list.reserve(count);
            for (quint32 i = 0; i < count; ++i) {
                QString string;
                if (!readString(string))
                    return false;
                list.append(string);
            }
            value = list;
            return true;
        }
        case QMetaType::QString: {
            QString string;
            if (!readString(string))
                return false;
            value = string;
            return true;
        }
        case QMetaType::QByteArray: {
            QByteArray bytes;
            if (!readBytes(bytes))
                return false;
            value = bytes;
            return true;
        }
        case QMetaType::QUrl: {
            QByteArray encoded;
            if (!readBytes(encoded))
                return false;
            value = QUrl::fromEncoded(encoded);
            return true;
        }
        default:
            return fail(QStringLiteral("it holds a value of type %1").arg(type));
        }
    }

    bool readMap(QVariantMap& map, int depth)
    {
        quint32 count = 0;
        // A key and a value's header: at least 4 + 5 bytes.
        if (!readCount(count, 9))
            return false;
        for (quint32 i = 0; i < count; ++i) {
            QString key;
            QVariant value;
            if (!readString(key) || !readVariant(value, depth))
                return false;
            map.insert(key, value);
        }
        return true;
    }

    bool readList(QVariantList& list, int depth)
    {
        quint32 count = 0;
        if (!readCount(count, 5))
            return false;
        list.reserve(count);
        for (quint32 i = 0; i < count; ++i) {
            QVariant value;
            if (!readVariant(value, depth))
                return false;
            list.append(value);
        }
        return true;
    }

private:
    template <typename T> bool readScalar(QVariant& value)
    {
        T number{};
        if (!readNumber(number))
            return false;
        value = QVariant::fromValue(number);
        return true;
    }

    const char* m_at;
    const char* m_end;
    QString m_error;
};

} // namespace

namespace WebArchive {

QVariant read(const QByteArray& bytes, QString* error)
{
    auto refuse = [error](const QString& why) {
        if (error)
            *error = why;
        return QVariant();
    };
    if (bytes.size() > kMaxBytes)
        return refuse(QStringLiteral("it is larger than %1 MiB").arg(kMaxBytes / (1024 * 1024)));
    Reader reader(bytes);
    QVariantMap archive;
    if (!reader.readMap(archive, 1))
        return refuse(reader.error());
    if (!reader.atEnd())
        return refuse(QStringLiteral("bytes follow its end"));
    return archive;
}

} // namespace WebArchive
