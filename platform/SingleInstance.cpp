#include "platform/SingleInstance.h"

#include "platform/Log.h"
#include "platform/MessageFraming.h"
#include "platform/TemporaryDirectory.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QtEndian>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr qsizetype kHeaderBytes = sizeof(quint32);
// How long a taken message may wait for its verdicts before the connection is closed anyway.
constexpr int kVerdictWaitMs = 60000;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// XDG_RUNTIME_DIR only when it is really the user's own: in a folder others can write to, another
// user could lay a lock and a socket of their own in our place and receive what we hand over.
QString runtimeFolder()
{
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty()) {
        struct stat info { };
        if (::lstat(QFile::encodeName(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()
            && (info.st_mode & 0777) == 0700)
            return runtime.endsWith(QLatin1Char('/')) ? runtime : runtime + QLatin1Char('/');
        static std::atomic_bool told = false;
        if (!told.exchange(true))
            logLine(
                QStringLiteral("Single instance: not using XDG_RUNTIME_DIR %1: not a folder of this user's with mode 0700").arg(runtime));
    }
    return privateCacheFolder(QStringLiteral("run"));
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

QByteArray frame(const QStringList& list)
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << list;
    return MessageFraming::frame(payload);
}

bool fitsInOneMessage(const QByteArray& message)
{
    return message.size() <= kHeaderBytes + qsizetype(SingleInstance::kMaximumMessageSize);
}

// Waits for the socket to become ready for `events` until the deadline; false when it did not.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline)
{
    pollfd wait{fd, events, 0};
    while (true) {
        const int ready = ::poll(&wait, 1, int(qMin<qint64>(deadline.remainingTime(), 60000)));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

// Reads exactly `size` bytes before the deadline; false on end of stream, error or time-out.
bool receive(int fd, char* into, qsizetype size, const QDeadlineTimer& deadline)
{
    for (qsizetype got = 0; got < size;) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        const ssize_t n = ::recv(fd, into + got, size - got, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

enum class Delivered { NotListening, Answered, NoAnswer };

// Blocking delivery with plain sockets: it runs before any application object exists. Once the
// message has been sent it is never sent again: waiting on, never retrying, is what keeps a slow
// instance from receiving the same URLs twice. With `verdicts`, waits for them as well; an older
// instance that closes after its one byte gives none.
Delivered deliver(const QString& path, const QByteArray& message, const QDeadlineTimer& deadline, QStringList* verdicts)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (native.size() >= qsizetype(sizeof(address.sun_path)))
        return Delivered::NotListening;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), native.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Delivered::NotListening;
    const auto closeSocket = qScopeGuard([fd] { ::close(fd); });
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return Delivered::NotListening;
    for (qsizetype sent = 0; sent < message.size();) {
        // A stopped instance stops reading: never block past the deadline on a full socket.
        if (!waitFor(fd, POLLOUT, deadline))
            return Delivered::NoAnswer;
        const ssize_t n = ::send(fd, message.constData() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return Delivered::NoAnswer;
        sent += n;
    }
    char taken = 0;
    if (!receive(fd, &taken, 1, deadline))
        return Delivered::NoAnswer;
    if (!verdicts)
        return Delivered::Answered;
    char header[kHeaderBytes];
    if (!receive(fd, header, kHeaderBytes, deadline)) {
        verdicts->clear();
        // Closed after its one byte: an older instance, which gives no verdicts.
        return deadline.hasExpired() ? Delivered::NoAnswer : Delivered::Answered;
    }
    const quint32 length = qFromBigEndian<quint32>(header);
    if (length > SingleInstance::kMaximumMessageSize)
        return Delivered::NoAnswer;
    QByteArray payload(length, Qt::Uninitialized);
    if (!receive(fd, payload.data(), length, deadline))
        return Delivered::NoAnswer;
    QDataStream stream(payload);
    stream >> *verdicts;
    return stream.status() == QDataStream::Ok ? Delivered::Answered : Delivered::NoAnswer;
}

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_name(name)
{
}

SingleInstance::~SingleInstance()
{
    if (m_listener >= 0) {
        delete m_notifier;
        ::close(m_listener);
        // We hold the lock still, so the socket file is ours to remove.
        ::unlink(QFile::encodeName(m_listeningPath).constData());
    }
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

void SingleInstance::raiseFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        logLine(QStringLiteral("Single instance: cannot raise the limit of open files: %1").arg(errnoText()));
}

qint64 SingleInstance::lockOwner() const
{
    qint64 pid = 0;
    QString host, application;
    if (m_lock)
        m_lock->getLockInfo(&pid, &host, &application);
    return pid;
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
        if (!fitsInOneMessage(message)) {
            logLine(QStringLiteral("Single instance: the URLs to hand over take %1 bytes, more than the %2 one message may hold")
                        .arg(message.size() - kHeaderBytes)
                        .arg(kMaximumMessageSize));
            return m_role = Role::TooLarge;
        }
        const Delivered delivered = deliver(socket, message, deadline, nullptr);
        if (delivered == Delivered::Answered)
            return m_role = Role::Secondary;
        if (delivered == Delivered::NoAnswer || deadline.hasExpired())
            break;
        // The owner lives but is not listening yet: it may still be starting.
        QThread::msleep(20);
    }
    logLine(QStringLiteral("Single instance: the instance holding %1 (pid %2) does not answer").arg(lockFile).arg(lockOwner()));
    return m_role = Role::Unresponsive;
}

SingleInstance::Delivery SingleInstance::handOver(const QStringList& urls, int timeoutMs, const QString& name)
{
    Delivery delivery;
    const QByteArray message = frame(urls);
    if (!fitsInOneMessage(message)) {
        logLine(QStringLiteral("Single instance: the URLs to hand over take %1 bytes, more than the %2 one message may hold")
                    .arg(message.size() - kHeaderBytes)
                    .arg(kMaximumMessageSize));
        delivery.status = Delivery::Status::TooLarge;
        return delivery;
    }
    const QString path = socketPath(name);
    if (path.isEmpty())
        return delivery;
    switch (deliver(path, message, QDeadlineTimer(timeoutMs), &delivery.verdicts)) {
    case Delivered::NotListening:
        delivery.status = Delivery::Status::NotRunning;
        break;
    case Delivered::NoAnswer:
        delivery.status = Delivery::Status::NoAnswer;
        break;
    case Delivered::Answered:
        delivery.status = Delivery::Status::Answered;
        break;
    }
    return delivery;
}

bool SingleInstance::listen(Handler handler)
{
    const QString path = socketPath(m_name);
    if (path.isEmpty())
        return false;
    m_handler = std::move(handler);
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (native.size() >= qsizetype(sizeof(address.sun_path))) {
        logLine(QStringLiteral("Single instance: cannot listen on %1: the path is too long").arg(path));
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), native.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        logLine(QStringLiteral("Single instance: cannot make a socket: %1").arg(errnoText()));
        return false;
    }
    // We hold the lock, so a socket file left there belongs to a dead instance.
    ::unlink(native.constData());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::chmod(native.constData(), 0600) != 0
        || ::listen(fd, SOMAXCONN) != 0) {
        logLine(QStringLiteral("Single instance: cannot listen on %1: %2").arg(path, errnoText()));
        ::close(fd);
        return false;
    }
    m_listener = fd;
    m_listeningPath = path;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SingleInstance::acceptConnections);
    return true;
}

void SingleInstance::acceptConnections()
{
    while (true) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Out of file descriptors or memory: the connection waits in the queue, and the
            // listener stays. Paused, or the notifier would fire at once again.
            if (!m_acceptFailureLogged)
                logLine(QStringLiteral("Single instance: cannot accept a connection: %1; trying again shortly").arg(errnoText()));
            m_acceptFailureLogged = true;
            m_notifier->setEnabled(false);
            QTimer::singleShot(200, this, [this] {
                m_notifier->setEnabled(true);
                acceptConnections();
            });
            return;
        }
        if (m_acceptFailureLogged)
            logLine(QStringLiteral("Single instance: accepting connections again"));
        m_acceptFailureLogged = false;
        auto* socket = new QLocalSocket(this);
        if (!socket->setSocketDescriptor(fd, QLocalSocket::ConnectedState, QIODevice::ReadWrite)) {
            ::close(fd);
            delete socket;
            continue;
        }
        serve(socket);
    }
}

void SingleInstance::serve(QLocalSocket* socket)
{
    // No more than one whole message is ever held for a connection.
    socket->setReadBufferSize(kHeaderBytes + kMaximumMessageSize);
    auto* timer = new QTimer(socket);
    timer->setObjectName(QStringLiteral("deadline"));
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, socket, [socket] {
        if (!socket->property("taken").toBool())
            logLine(QStringLiteral("Single instance: closing a connection that sent no whole message within %1 s")
                        .arg(kStalledConnectionMs / 1000));
        socket->abort();
    });
    timer->start(kStalledConnectionMs);
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        connectionClosed();
        socket->deleteLater();
    });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
    if (socket->bytesAvailable() > 0)
        readMessage(socket);
}

void SingleInstance::connectionClosed()
{
    // A connection's buffer can have held up to a megabyte; once freed, it goes back to the
    // system rather than staying in the heap of a program that runs all day.
    if (m_trimScheduled)
        return;
    m_trimScheduled = true;
    QTimer::singleShot(100, this, [this] {
        m_trimScheduled = false;
        ::malloc_trim(0);
    });
}

void SingleInstance::readMessage(QLocalSocket* socket)
{
    if (socket->property("taken").toBool()) {
        // One message per connection; anything after it is not ours to keep.
        socket->skip(socket->bytesAvailable());
        return;
    }
    QByteArray payload;
    const MessageFraming::Read read = MessageFraming::readMessage(*socket, kMaximumMessageSize, payload);
    if (read == MessageFraming::Read::Incomplete)
        return;
    if (read == MessageFraming::Read::TooLarge) {
        logLine(QStringLiteral("Single instance: refusing a message of more than %1 bytes").arg(kMaximumMessageSize));
        socket->abort();
        return;
    }
    QStringList urls;
    {
        QDataStream stream(payload);
        stream >> urls;
        if (stream.status() != QDataStream::Ok) {
            logLine(QStringLiteral("Single instance: ignoring a malformed message"));
            socket->abort();
            return;
        }
    }
    payload = QByteArray();
    socket->setProperty("taken", true);
    if (auto* timer = socket->findChild<QTimer*>(QStringLiteral("deadline")))
        timer->start(kVerdictWaitMs);
    socket->write("k", 1);
    socket->flush();

    const QPointer<QLocalSocket> connection(socket);
    auto answered = std::make_shared<bool>(false);
    const Answer answer = [connection, answered](const QStringList& verdicts) {
        if (*answered || !connection)
            return;
        *answered = true;
        connection->write(frame(verdicts));
        connection->disconnectFromServer();
    };
    if (m_handler)
        m_handler(urls, answer);
    else
        answer(QStringList(urls.size(), QString()));
}
