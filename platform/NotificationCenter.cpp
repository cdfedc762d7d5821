#include "platform/NotificationCenter.h"

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Observer observer)
{
    std::lock_guard lock(m_mutex);
    const Token token = m_nextToken++;
    m_entries.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [token](const Entry& entry) { return entry.token == token; });
}

void NotificationCenter::post(const QString& name, const QVariant& object, const QVariantMap& userInfo)
{
    // Observers run outside the lock, so they may post or (un)register themselves.
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(m_mutex);
        for (const Entry& entry : m_entries) {
            if (entry.name == name)
                observers.push_back(entry.observer);
        }
    }
    const Notification notification{name, object, userInfo};
    for (const auto& observer : observers)
        (*observer)(notification);
}

ScopedObserver::ScopedObserver(const QString& name, NotificationCenter::Observer observer, NotificationCenter& center)
    : m_center(center)
    , m_token(center.addObserver(name, std::move(observer)))
{
}

ScopedObserver::~ScopedObserver()
{
    m_center.removeObserver(m_token);
}
