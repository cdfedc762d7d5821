#pragma once

#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

class QLocalSocket;
class QSocketNotifier;

// One running instance of a program per user and display. The first instance holds a lock and
// listens on a local socket, both in the user's runtime folder (used only when it is the user's
// own with mode 0700; else a private folder in the user's cache); a later one hands its URLs over
// that socket and leaves. Only a lock whose owner has died is taken over.
//
// Wire format: a 32-bit big-endian length, then that many bytes of a QDataStream holding the
// QStringList of URLs (at most kMaximumMessageSize). The receiver answers one byte, "k", once it
// has taken them (all an older sender waits for), then one frame of the same shape holding a
// QStringList with one verdict per URL: empty when the URL was accepted, else why it was refused.
// It closes the connection after that. A connection that has not sent a whole message within
// kStalledConnectionMs is closed.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kMaximumMessageSize = 1 << 20;
    static constexpr int kStalledConnectionMs = 10000;

    // Unresponsive: another instance holds the lock and lives, but never answered within the
    // timeout. TooLarge: the URLs do not fit in one message. Failed: no private folder for the lock.
    enum class Role { Primary, Secondary, Unresponsive, TooLarge, Failed };

    // Answers the URLs of one message: `answer` gets one verdict per URL (see above), at once or
    // later, on the thread that runs the listener.
    using Answer = std::function<void(const QStringList& verdicts)>;
    using Handler = std::function<void(const QStringList& urls, const Answer& answer)>;

    explicit SingleInstance(const QString& name = QStringLiteral("parcly-lite"), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `urls` to the one that runs (Secondary: they were
    // taken). Needs no application object, so a second start can leave before it makes one. Never
    // Primary while the lock's owner lives; the error roles are logged.
    Role claim(const QStringList& urls, int timeoutMs = 5000);
    Role role() const { return m_role; }
    // The process holding the lock, as far as its lock file says (for the user's message).
    qint64 lockOwner() const;

    // Starts listening; call from the thread whose event loop delivers the messages, once an
    // application object exists, with the handler that answers them. False, logged, when the
    // socket cannot be made. A failed accept (no file descriptors left) is retried shortly after.
    bool listen(Handler handler);

    // How a hand-over to a running instance went.
    struct Delivery {
        enum class Status { Answered, NotRunning, NoAnswer, TooLarge };
        Status status = Status::NotRunning;
        // With Answered: one verdict per URL (empty: accepted).
        QStringList verdicts;
    };
    // Hands the URLs to a running instance of `name` and waits, at most timeoutMs, for its
    // verdicts. Does not start one.
    static Delivery handOver(const QStringList& urls, int timeoutMs = 10000, const QString& name = QStringLiteral("parcly-lite"));

    // <runtime folder>/<name>.<display>.socket and .lock
    static QString socketPath(const QString& name);
    static QString lockPath(const QString& name);

    // Raises this process's soft limit of open files to its hard limit: every waiting sender costs
    // the listener one.
    static void raiseFileLimit();

private:
    void acceptConnections();
    void serve(QLocalSocket* socket);
    void readMessage(QLocalSocket* socket);
    void connectionClosed();

    QString m_name;
    Role m_role = Role::Failed;
    std::unique_ptr<QLockFile> m_lock;
    Handler m_handler;
    int m_listener = -1;
    QString m_listeningPath;
    QSocketNotifier* m_notifier = nullptr;
    bool m_acceptFailureLogged = false;
    bool m_trimScheduled = false;
};
