#pragma once

#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;

// One running instance of a program per user and display. The first instance holds a lock and
// listens on a local socket, both in the user's runtime folder; a later one hands its URLs over that
// socket and leaves. A lock or socket left behind by an instance that died is taken over.
//
// Wire format: a 32-bit big-endian length, then that many bytes of a QDataStream holding the
// QStringList of URLs; the receiver answers one byte once it has taken them.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role { Primary, Secondary, Failed };

    explicit SingleInstance(const QString& name = QStringLiteral("parcly-lite"), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `urls` to the one that runs (Secondary: they were
    // taken). Needs no application object, so a second start can leave before it makes one.
    // Failed: the runtime folder is unusable, or a live instance never answered within the timeout
    // (its lock is then taken over, and the caller runs as the primary after all, see role()).
    Role claim(const QStringList& urls, int timeoutMs = 5000);
    Role role() const { return m_role; }

    // Starts listening; call from the thread whose event loop delivers urlsReceived, once an
    // application object exists. False, logged, when the socket cannot be made.
    bool listen();

    // Hands the URLs to a running instance of `name`; true once it has answered. Does not start one.
    static bool sendToRunningInstance(const QStringList& urls, int timeoutMs = 2000,
                                      const QString& name = QStringLiteral("parcly-lite"));

    // <runtime folder>/<name>.<display>.socket and .lock
    static QString socketPath(const QString& name);
    static QString lockPath(const QString& name);

signals:
    // In the order the URLs were received; every message is acknowledged after this was emitted.
    void urlsReceived(const QStringList& urls);

private:
    void readMessage(QLocalSocket* socket);

    QString m_name;
    Role m_role = Role::Failed;
    std::unique_ptr<QLockFile> m_lock;
    QPointer<QLocalServer> m_server;
};
