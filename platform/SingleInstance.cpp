#include "platform/SingleInstance.h"

#include "platform/Log.h"
#include "platform/MessageFraming.h"
#include "platform/TemporaryDirectory.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Larger messages are refused: a URL list from a second start is a few hundred bytes.
constexpr quint32 kMaximumMessageSize = 1 << 20;

QString runtimeFolder()
{
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime + QLatin1Char('/');
    // Without a runtime folder, the private temporary folder is also only ours.
    return temporaryDirectoryWithSubfolder(QStringLiteral("run"));
}

// The display this session draws on, made safe for a file name.
QString displayName()
{
    QString display = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
    if (display.isEmpty())
        display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
    if (display.isEmpty())
        return QStringLiteral("nodisplay");
    for (QChar& c : display) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    }
    return display;
}

QByteArray frame(const QStringList& urls)
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << urls;
    return MessageFraming::frame(payload);
}

// Blocking delivery with plain sockets: it runs before any application object exists.
bool deliver(const QString& path, const QByteArray& message, int timeoutMs)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    if (native.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), native.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto closeSocket = qScopeGuard([fd] { ::close(fd); });
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    for (qsizetype sent = 0; sent < message.size();) {
        const ssize_t n = ::send(fd, message.constData() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    pollfd wait {fd, POLLIN, 0};
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const int ready = ::poll(&wait, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char answer = 0;
        return ::recv(fd, &answer, 1, 0) == 1;
    }
}

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_name(name)
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath(const QString& name)
{
    const QString folder = runtimeFolder();
    return folder.isEmpty() ? QString() : QStringLiteral("%1%2.%3.socket").arg(folder, name, displayName());
}

QString SingleInstance::lockPath(const QString& name)
{
    const QString folder = runtimeFolder();
    return folder.isEmpty() ? QString() : QStringLiteral("%1%2.%3.lock").arg(folder, name, displayName());
}

SingleInstance::Role SingleInstance::claim(const QStringList& urls, int timeoutMs)
{
    const QString lockFile = lockPath(m_name);
    const QString socket = socketPath(m_name);
    if (lockFile.isEmpty() || socket.isEmpty()) {
        logLine(QStringLiteral("Single instance: no private runtime folder; running without the instance check"));
        return m_role = Role::Failed;
    }
    m_lock = std::make_unique<QLockFile>(lockFile);
    // Only a dead owner makes the lock stale: an instance that has run for hours still holds it.
    m_lock->setStaleLockTime(0);
    const QByteArray message = frame(urls);
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        // A lock whose owner has died is stale, and tryLock takes it over.
        if (m_lock->tryLock(0))
            return m_role = Role::Primary;
        // The owner may still be starting and not listening yet: keep trying until it answers.
        if (deliver(socket, message, 1000))
            return m_role = Role::Secondary;
        if (deadline.hasExpired())
            break;
        QThread::msleep(20);
    }
    qint64 pid = 0;
    QString host, application;
    m_lock->getLockInfo(&pid, &host, &application);
    logLine(QStringLiteral("Single instance: the instance holding %1 (pid %2) does not answer; taking over").arg(lockFile).arg(pid));
    m_lock->removeStaleLockFile();
    if (m_lock->tryLock(0))
        return m_role = Role::Primary;
    logLine(QStringLiteral("Single instance: cannot take %1 over; running without the instance check").arg(lockFile));
    return m_role = Role::Failed;
}

bool SingleInstance::listen()
{
    const QString path = socketPath(m_name);
    if (path.isEmpty())
        return false;
    // We hold the lock, so a socket file left there belongs to a dead instance.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        logLine(QStringLiteral("Single instance: cannot listen on %1: %2").arg(path, m_server->errorString()));
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
            if (socket->bytesAvailable() > 0)
                readMessage(socket);
        }
    });
    return true;
}

void SingleInstance::readMessage(QLocalSocket* socket)
{
    QByteArray payload;
    const MessageFraming::Read read = MessageFraming::readMessage(*socket, kMaximumMessageSize, payload);
    if (read == MessageFraming::Read::Incomplete)
        return;
    if (read == MessageFraming::Read::TooLarge) {
        logLine(QStringLiteral("Single instance: refusing an oversized message"));
        socket->abort();
        return;
    }
    QDataStream stream(payload);
    QStringList urls;
    stream >> urls;
    if (stream.status() != QDataStream::Ok) {
        logLine(QStringLiteral("Single instance: ignoring a malformed message"));
        socket->abort();
        return;
    }
    emit urlsReceived(urls);
    socket->write("k", 1);
    socket->flush();
}

bool SingleInstance::sendToRunningInstance(const QStringList& urls, int timeoutMs, const QString& name)
{
    const QString path = socketPath(name);
    return !path.isEmpty() && QFileInfo::exists(path) && deliver(path, frame(urls), timeoutMs);
}
