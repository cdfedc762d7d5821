#include "platform/EventManager.h"

EventManager& EventManager::sharedAppleEventManager()
{
    static EventManager manager;
    return manager;
}

void EventManager::setEventHandler(Handler handler, quint32 eventClass, quint32 eventID)
{
    m_handlers.insert(key(eventClass, eventID), std::move(handler));
    // Deliver what waited for this handler, oldest first; others keep waiting.
    std::vector<AppleEvent> waiting;
    waiting.swap(m_pending);
    for (const AppleEvent& event : waiting)
        dispatch(event);
}

void EventManager::dispatch(const AppleEvent& event)
{
    const auto handler = m_handlers.constFind(key(event.eventClass(), event.eventID()));
    if (handler == m_handlers.cend()) {
        m_pending.push_back(event);
        return;
    }
    AppleEvent reply;
    // A copy: the handler may replace itself while it runs.
    const Handler run = *handler;
    run(event, &reply);
}

void EventManager::dispatchGetURL(const QString& url)
{
    AppleEvent event(kInternetEventClass, kAEGetURL);
    event.setParamDescriptor(keyDirectObject, url);
    dispatch(event);
}
