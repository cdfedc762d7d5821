#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <mutex>
#include <vector>

struct Notification {
    QString name;
    QVariant object;
    QVariantMap userInfo;
};

// In-process notifications. post() is synchronous: every observer of the name has run when it
// returns, on the posting thread. Observers may be added and removed from any thread, and from
// inside an observer.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = quint64;

    static NotificationCenter& defaultCenter();

    Token addObserver(const QString& name, Observer observer);
    void removeObserver(Token token);
    void post(const QString& name, const QVariant& object = QVariant(), const QVariantMap& userInfo = {});

private:
    struct Entry {
        Token token;
        QString name;
        std::shared_ptr<Observer> observer;
    };

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_nextToken = 1;
};

// Removes its observer when it goes out of scope.
class ScopedObserver {
public:
    ScopedObserver(const QString& name, NotificationCenter::Observer observer,
                   NotificationCenter& center = NotificationCenter::defaultCenter());
    ~ScopedObserver();
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;

private:
    NotificationCenter& m_center;
    NotificationCenter::Token m_token;
};
