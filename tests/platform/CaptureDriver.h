#pragma once

// Helpers for tests that run the real capture tool on a private Xvfb: a known picture on the
// screen, xdotool acting as the user once the tool's overlay is up, and a screenshot portal on the
// test's private session bus.
#include <QColor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>

#include <cstdlib>
#include <memory>
#include <string>

namespace CaptureDriver {

inline const QString kOverlayTitle = QStringLiteral("^Parcly Screen Capture$");

// Every pixel of the screen-sized pattern is different from its neighbours, so a region cut
// one pixel off, or scaled, does not match.
inline QRgb patternPixel(int x, int y)
{
    return qRgb(x & 0xff, y & 0xff, ((x >> 8) << 4) | (y >> 8));
}

// A frameless top-level window filled with one picture. Bare Xvfb has no window manager, so
// the window is exactly where it is asked to be.
class PictureWindow : public QWidget {
public:
    PictureWindow(const QRect& geometry, QImage picture)
        : QWidget(nullptr, Qt::FramelessWindowHint)
        , m_picture(std::move(picture))
    {
        setGeometry(geometry);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_picture); }

private:
    QImage m_picture;
};

inline QImage patternImage(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, patternPixel(x, y));
    return image;
}

inline QImage solidImage(const QSize& size, const QColor& color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

// Shows the window and waits until the screen itself shows its picture at `probe` (global).
inline bool showAndWaitUntilOnScreen(QWidget& window, const QPoint& probe, QRgb expected)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return false;
    return QTest::qWaitFor(
        [&] {
            const QImage screen = window.screen()->grabWindow(0, probe.x(), probe.y(), 1, 1).toImage();
            return !screen.isNull() && screen.pixel(0, 0) == expected;
        },
        5000);
}

// Waits (up to 15 s) for the overlay to be up and holding the input, then runs the xdotool
// actions. Returns false if the overlay never came. Blocking and free of Qt, so it may run on a
// thread of its own while the main thread waits for the tool.
inline bool whenOverlayIsUp(const std::string& xdotoolActions)
{
    const std::string wait = "timeout 15 xdotool search --sync --onlyvisible --name '" + kOverlayTitle.toStdString() + "' >/dev/null";
    if (std::system(wait.c_str()) != 0)
        return false;
    return std::system(("xdotool " + xdotoolActions).c_str()) == 0;
}

inline const std::string kDragFrom100x100To300x250 = "mousemove 100 100 mousedown 1 mousemove 300 250 mouseup 1";

// Stands in for the desktop portal where a real one cannot run: owns org.freedesktop.portal.Desktop
// on the session bus and speaks the documented Screenshot interface. Screenshot(parent, options)
// returns the Request object's path (from the caller's name and its handle_token) and then emits
// that object's Response(code, {uri}). With offerScreenshot false the portal runs but has no
// Screenshot interface, as when no backend provides one.
class PortalStandIn : public QDBusVirtualObject {
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
    static inline const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

    explicit PortalStandIn(bool offerScreenshot = true)
        : m_offerScreenshot(offerScreenshot)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_running = bus.registerVirtualObject(kPath, this) && bus.registerService(kService);
    }
    ~PortalStandIn() override
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(kService);
        bus.unregisterObject(kPath);
    }

    bool isRunning() const { return m_running; }
    // What the next Screenshot call answers: 0 taken (uri = the image), 1 cancelled, 2 failed.
    void answer(uint code, const QString& imagePath = {})
    {
        m_code = code;
        m_imagePath = imagePath;
    }
    int calls() const { return m_calls; }
    QVariantMap lastOptions() const { return m_lastOptions; }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (!m_offerScreenshot || message.interface() != QLatin1String("org.freedesktop.portal.Screenshot")
            || message.member() != QLatin1String("Screenshot") || message.arguments().size() != 2)
            return false;
        ++m_calls;
        m_lastOptions = qdbus_cast<QVariantMap>(message.arguments().at(1));
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString request
            = QStringLiteral("%1/request/%2/%3").arg(kPath, sender, m_lastOptions.value(QStringLiteral("handle_token")).toString());
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        if (!m_imagePath.isEmpty())
            results.insert(QStringLiteral("uri"), QUrl::fromLocalFile(m_imagePath).toString());
        QDBusMessage response
            = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        response << m_code << results;
        // After the reply, as the real portal answers once the user is done.
        QTimer::singleShot(50, this, [connection, response]() mutable { connection.send(response); });
        return true;
    }

private:
    bool m_offerScreenshot;
    bool m_running = false;
    uint m_code = 2;
    QString m_imagePath;
    int m_calls = 0;
    QVariantMap m_lastOptions;
};

} // namespace CaptureDriver
