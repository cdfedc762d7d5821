#pragma once

#include <QMap>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

// Four-character codes of the events the app takes.
inline constexpr quint32 kInternetEventClass = 0x4755524C; // 'GURL'
inline constexpr quint32 kAEGetURL = 0x4755524C; // 'GURL'
inline constexpr quint32 keyDirectObject = 0x2D2D2D2D; // '----'
// In a reply: why the event was not carried out; absent when it was.
inline constexpr quint32 keyErrorString = 0x65727273; // 'errs'

// An event sent to the app by the desktop or another program: a class, an id and parameters.
class AppleEvent {
public:
    AppleEvent(quint32 eventClass = 0, quint32 eventID = 0, QMap<quint32, QString> parameters = {})
        : m_eventClass(eventClass)
        , m_eventID(eventID)
        , m_parameters(std::move(parameters))
    {
    }

    quint32 eventClass() const { return m_eventClass; }
    quint32 eventID() const { return m_eventID; }
    // The parameter's string value; a null string when the event has no such parameter.
    QString paramDescriptorForKeyword(quint32 keyword) const { return m_parameters.value(keyword); }
    void setParamDescriptor(quint32 keyword, const QString& value) { m_parameters.insert(keyword, value); }

private:
    quint32 m_eventClass;
    quint32 m_eventID;
    QMap<quint32, QString> m_parameters;
};

// Delivers events to the handler registered for their class and id, on the main thread. Events
// that arrive before their handler is registered wait, and are delivered in order once it is.
// Used from the main thread only.
class EventManager {
public:
    using Handler = std::function<void(const AppleEvent& event, AppleEvent* replyEvent)>;
    // Gets the reply the handler filled in, once the event has been handled.
    using ReplyHandler = std::function<void(const AppleEvent& replyEvent)>;

    static EventManager& sharedAppleEventManager();

    void setEventHandler(Handler handler, quint32 eventClass, quint32 eventID);

    // Delivers the event now, or keeps it until a handler for it is registered; `replied`, when
    // given, gets the handler's reply.
    void dispatch(const AppleEvent& event, ReplyHandler replied = {});
    // A get-URL event carrying the URL string as its direct object.
    void dispatchGetURL(const QString& url, ReplyHandler replied = {});

private:
    EventManager() = default;
    static quint64 key(quint32 eventClass, quint32 eventID) { return (quint64(eventClass) << 32) | eventID; }

    QMap<quint64, Handler> m_handlers;
    std::vector<std::pair<AppleEvent, ReplyHandler>> m_pending;
};
