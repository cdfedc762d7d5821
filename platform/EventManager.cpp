#include "platform/EventManager.h"

EventManager& EventManager::sharedAppleEventManager()
{
    static EventManager manager;
    return manager;
}

void EventManager::setEventHandler(Handler handler, quint32 eventClass, quint32 eventID)
{
    m_handlers[key(eventClass, eventID)] = std::move(handler);
    // Deliver what waited for this handler, oldest first; others keep waiting.
    std::vector<std::pair<AppleEvent, ReplyHandler>> waiting;
    waiting.swap(m_pending);
    for (auto& [event, replied] : waiting)
        dispatch(event, std::move(replied));
}

void EventManager::dispatch(const AppleEvent& event, ReplyHandler replied)
{
    const auto handler = m_handlers.constFind(key(event.eventClass(), event.eventID()));
    if (handler == m_handlers.cend()) {
        m_pending.emplace_back(event, std::move(replied));
        return;
    }
    AppleEvent reply;
    // A copy: the handler may replace itself while it runs.
    const Handler run = *handler;
    run(event, &reply);
    if (replied)
        replied(reply);
}

void EventManager::dispatchGetURL(const QString& url, ReplyHandler replied)
{
    AppleEvent event(kInternetEventClass, kAEGetURL);
    event.setParamDescriptor(keyDirectObject, url);
    dispatch(event, std::move(replied));
}
