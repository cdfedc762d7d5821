#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantList>

class QLocalSocket;

// The descriptor on which the helper finds its end of the socket.
constexpr int kWebHelperSocketDescriptor = 3;

// What the two ends say to each other: the first element of each message.
namespace WebHelperMessage {
// App to helper.
inline const QString addHandler = QStringLiteral("addHandler"); // name
inline const QString load = QStringLiteral("load"); // url
inline const QString resize = QStringLiteral("resize"); // width, height
inline const QString runJavaScript = QStringLiteral("runJavaScript"); // source
inline const QString mouse = QStringLiteral("mouse"); // type, x, y, button, buttons, modifiers
inline const QString wheel = QStringLiteral("wheel"); // x, y, dx, dy, buttons, modifiers
inline const QString key = QStringLiteral("key"); // type, key, modifiers, text, autoRepeat, scanCode, virtualKey, nativeModifiers
inline const QString focus = QStringLiteral("focus"); // bool
inline const QString leave = QStringLiteral("leave");
inline const QString quit = QStringLiteral("quit");
// Helper to app.
inline const QString frame = QStringLiteral("frame"); // width, height, devicePixelRatio, ARGB32 premultiplied bytes
inline const QString finished = QStringLiteral("finished");
inline const QString failed = QStringLiteral("failed"); // reason
inline const QString message = QStringLiteral("message"); // handler name, body
inline const QString cursor = QStringLiteral("cursor"); // Qt::CursorShape
}

// One end of the private socket between the app and its web helper. A message is a QVariantList
// whose first element names it; on the wire it is a 32-bit length followed by the list in
// QDataStream form. Both programs use this class, so the two ends always agree.
class WebHelperChannel : public QObject {
    Q_OBJECT
public:
    // Takes over a connected stream socket (one end of a socketpair).
    WebHelperChannel(int socketDescriptor, QObject* parent = nullptr);

    bool isOpen() const;
    void send(const QVariantList& message);
    void close();

    // Larger messages are refused and end the connection: a frame of a 4K screen at scale 2 stays
    // well below this.
    static constexpr quint32 kMaximumMessageBytes = 256u * 1024u * 1024u;

signals:
    void messageReceived(const QVariantList& message);
    void disconnected();

private:
    void readMessages();

    QLocalSocket* m_socket;
};
