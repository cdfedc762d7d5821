#include "platform/Bundle.h"

#include "platform/Log.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QXmlStreamReader>

namespace {

QMutex mainBundleMutex;
QString mainBundleOverride;

// Reads the XML property list format: dict, array, string, integer, real, true, false, date
// and data. Anything else makes the whole file unreadable rather than silently half-read.
class PropertyListReader {
public:
    explicit PropertyListReader(QIODevice* device)
        : m_xml(device)
    {
    }

    bool read(QVariantMap& root)
    {
        if (!m_xml.readNextStartElement() || m_xml.name() != QLatin1String("plist"))
            return fail(QStringLiteral("no plist element"));
        if (!m_xml.readNextStartElement() || m_xml.name() != QLatin1String("dict"))
            return fail(QStringLiteral("the top-level object is not a dict"));
        QVariant value;
        if (!readValue(value))
            return false;
        root = value.toMap();
        return true;
    }

    QString errorString() const { return m_error.isEmpty() ? m_xml.errorString() : m_error; }

private:
    bool fail(const QString& reason)
    {
        if (m_error.isEmpty())
            m_error = reason;
        return false;
    }

    // Reads the element the reader stands on; afterwards the reader is at its end element.
    bool readValue(QVariant& value)
    {
        const QString type = m_xml.name().toString();
        if (type == QLatin1String("dict"))
            return readDict(value);
        if (type == QLatin1String("array"))
            return readArray(value);
        if (type == QLatin1String("true") || type == QLatin1String("false")) {
            value = type == QLatin1String("true");
            m_xml.skipCurrentElement();
            return !m_xml.hasError();
        }
        const QString text = m_xml.readElementText();
        if (m_xml.hasError())
            return false;
        bool ok = true;
        if (type == QLatin1String("string"))
            value = text;
        else if (type == QLatin1String("integer"))
            value = text.trimmed().toLongLong(&ok);
        else if (type == QLatin1String("real"))
            value = text.trimmed().toDouble(&ok);
        else if (type == QLatin1String("date")) {
            const QDateTime date = QDateTime::fromString(text.trimmed(), Qt::ISODate);
            ok = date.isValid();
            value = date;
        } else if (type == QLatin1String("data"))
            value = QByteArray::fromBase64(text.toLatin1());
        else
            return fail(QStringLiteral("unknown element <%1>").arg(type));
        return ok || fail(QStringLiteral("bad <%1> value \"%2\"").arg(type, text));
    }

    bool readDict(QVariant& value)
    {
        QVariantMap map;
        while (m_xml.readNextStartElement()) {
            if (m_xml.name() != QLatin1String("key"))
                return fail(QStringLiteral("a dict entry without a key"));
            const QString key = m_xml.readElementText();
            if (!m_xml.readNextStartElement())
                return fail(QStringLiteral("the key \"%1\" has no value").arg(key));
            QVariant entry;
            if (!readValue(entry))
                return false;
            map.insert(key, entry);
        }
        value = map;
        return !m_xml.hasError();
    }

    bool readArray(QVariant& value)
    {
        QVariantList list;
        while (m_xml.readNextStartElement()) {
            QVariant entry;
            if (!readValue(entry))
                return false;
            list.append(entry);
        }
        value = list;
        return !m_xml.hasError();
    }

    QXmlStreamReader m_xml;
    QString m_error;
};

QSharedPointer<const QVariantMap> readInfoDictionary(const QString& bundlePath)
{
    if (bundlePath.isEmpty())
        return {};
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        logLine(QStringLiteral("Bundle: cannot read %1: %2").arg(file.fileName(), file.errorString()));
        return {};
    }
    PropertyListReader reader(&file);
    QVariantMap info;
    if (!reader.read(info)) {
        logLine(QStringLiteral("Bundle: cannot read %1: %2").arg(file.fileName(), reader.errorString()));
        return {};
    }
    return QSharedPointer<const QVariantMap>::create(std::move(info));
}

QString existingFile(const QString& path)
{
    return QFileInfo(path).isFile() ? path : QString();
}

} // namespace

Bundle Bundle::mainBundle()
{
    {
        const QMutexLocker lock(&mainBundleMutex);
        if (!mainBundleOverride.isEmpty())
            return Bundle(mainBundleOverride);
    }
    // /proc/self/exe is the executable itself, links already resolved by the kernel. Read once:
    // after a package upgrade replaces the running program, the link names a deleted file.
    static const QString ownBundle = bundlePathForExecutable(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
    return Bundle(ownBundle);
}

void Bundle::setMainBundlePath(const QString& bundlePath)
{
    const QMutexLocker lock(&mainBundleMutex);
    mainBundleOverride = bundlePath;
}

QString Bundle::bundlePathForExecutable(const QString& executablePath)
{
    const QString resolved = QFileInfo(executablePath).canonicalFilePath();
    if (resolved.isEmpty())
        return {};
    QDir folder = QFileInfo(resolved).dir();
    if (folder.dirName() != QLatin1String("MacOS") || !folder.cdUp() || folder.dirName() != QLatin1String("Contents") || !folder.cdUp()
        || !folder.dirName().endsWith(QLatin1String(".app")))
        return {};
    return folder.absolutePath();
}

Bundle::Bundle(const QString& bundlePath)
    : m_path(bundlePath.isEmpty() ? QString() : QDir::cleanPath(QDir(bundlePath).absolutePath()))
    , m_info(readInfoDictionary(m_path))
{
}

bool Bundle::isValid() const
{
    return !m_info.isNull();
}

QString Bundle::bundlePath() const
{
    return m_path;
}

QString Bundle::bundleIdentifier() const
{
    return objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString();
}

QString Bundle::executablePath() const
{
    const QString name = objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutable")).toString();
    return name.isEmpty() ? QString() : pathForAuxiliaryExecutable(name);
}

QString Bundle::resourcePath() const
{
    return contentsPath(QStringLiteral("Resources"));
}

QString Bundle::builtInPlugInsPath() const
{
    return contentsPath(QStringLiteral("PlugIns"));
}

QString Bundle::pathForResource(const QString& name, const QString& extension) const
{
    if (!isValid() || name.isEmpty())
        return {};
    QString fileName = name;
    const QString suffix = extension.startsWith(QLatin1Char('.')) ? extension.mid(1) : extension;
    if (!suffix.isEmpty())
        fileName += QLatin1Char('.') + suffix;
    // A name is a file name inside Resources, never a way out of it.
    if (fileName.contains(QLatin1Char('/')) || fileName == QLatin1String(".."))
        return {};
    return existingFile(resourcePath() + QLatin1Char('/') + fileName);
}

QString Bundle::pathForAuxiliaryExecutable(const QString& name) const
{
    if (!isValid() || name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".."))
        return {};
    return existingFile(contentsPath(QStringLiteral("MacOS/") + name));
}

QVariant Bundle::objectForInfoDictionaryKey(const QString& key) const
{
    return m_info ? m_info->value(key) : QVariant();
}

QString Bundle::contentsPath(const QString& relative) const
{
    return isValid() ? m_path + QStringLiteral("/Contents/") + relative : QString();
}
