#include "platform/Defaults.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates the file (and its folder) before QSettings ever writes it, so it is born 0600:
// QSettings replaces the file atomically but keeps the permissions of the one it replaces.
void createPrivateFile(const QString& path)
{
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    ::chmod(QFile::encodeName(info.absolutePath()).constData(), 0700);
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        logLine(QStringLiteral("Defaults: cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    ::close(fd);
}

} // namespace

Defaults& Defaults::standard()
{
    static Defaults defaults(standardFilePath());
    return defaults;
}

QString Defaults::standardFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/parcly/Parcly Lite.conf");
}

Defaults::Defaults(const QString& filePath)
    : m_filePath(filePath)
{
    createPrivateFile(m_filePath);
    restrictFileToOwner();
    m_settings = std::make_unique<QSettings>(m_filePath, QSettings::IniFormat);
}

Defaults::~Defaults()
{
    // Only what is left to write: a store that was never usable has nothing to complain about
    // at exit, and has said so when asked (unusableReason).
    bool unsaved;
    {
        std::lock_guard lock(m_mutex);
        unsaved = m_unsaved;
    }
    if (unsaved)
        synchronize();
}

bool Defaults::contains(const QString& key) const
{
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key);
}

QVariant Defaults::value(const QString& key) const
{
    std::lock_guard lock(m_mutex);
    return m_settings->value(key);
}

QString Defaults::string(const QString& key) const
{
    std::lock_guard lock(m_mutex);
    if (!m_settings->contains(key))
        return QString();
    QString text = m_settings->value(key).toString();
    if (text.isNull())
        text = QStringLiteral("");
    return text;
}

bool Defaults::boolValue(const QString& key, bool whenAbsent) const
{
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key) ? m_settings->value(key).toBool() : whenAbsent;
}

void Defaults::setValue(const QString& key, const QVariant& value)
{
    std::lock_guard lock(m_mutex);
    if (!value.isValid()) {
        m_settings->remove(key);
        m_unsaved = true;
        return;
    }
    // Writing back what is stored would still rewrite the file at the next synchronize.
    if (m_settings->contains(key) && m_settings->value(key) == value)
        return;
    m_settings->setValue(key, value);
    m_unsaved = true;
}

void Defaults::remove(const QString& key)
{
    std::lock_guard lock(m_mutex);
    m_settings->remove(key);
    m_unsaved = true;
}

void Defaults::clear()
{
    std::lock_guard lock(m_mutex);
    m_settings->clear();
    m_unsaved = true;
}

bool Defaults::synchronize()
{
    std::lock_guard lock(m_mutex);
    m_settings->sync();
    restrictFileToOwner();
    if (m_settings->status() != QSettings::NoError) {
        logLine(QStringLiteral("Defaults: cannot write %1").arg(m_filePath));
        return false;
    }
    m_unsaved = false;
    return true;
}

QString Defaults::unusableReason() const
{
    // Non-blocking: whatever sits at the path, looking at it must not hang.
    const QByteArray path = QFile::encodeName(m_filePath);
    const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // The constructor made the file if it could.
        if (errno == ENOENT)
            return QStringLiteral("it does not exist and cannot be created");
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    struct stat info { };
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular)
        return QStringLiteral("it is not a regular file");
    // Changes are written to a new file beside it that then takes its place.
    const QByteArray folder = QFile::encodeName(QFileInfo(m_filePath).absolutePath());
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("its folder cannot be written: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return QString();
}

void Defaults::restrictFileToOwner() const
{
    // Tightens a file that something else created with a looser mode.
    ::chmod(QFile::encodeName(m_filePath).constData(), 0600);
}
