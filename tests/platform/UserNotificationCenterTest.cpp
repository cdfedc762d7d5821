// Notifications reach the desktop's notification server on a private session bus, or fall back
// without blocking when there is none.
#include "platform/gui/UserNotificationCenter.h"
#include "platform/Log.h"

#include "PrivateSessionBus.h"
#include "QtPrinters.h"
#include "SessionBusEnvironment.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

class NotificationServer {
public:
    explicit NotificationServer(const QStringList& options = {})
    {
        m_process.start(QStringLiteral(FAKE_NOTIFICATION_SERVER), QStringList{QStringLiteral("--record"), recordPath()} + options);
        const bool ready = QTest::qWaitFor(
            [this] {
                m_output += m_process.readAllStandardOutput();
                return m_output.contains("ready\n") || m_process.state() == QProcess::NotRunning;
            },
            10000);
        m_ready = ready && m_output.contains("ready\n");
    }
    ~NotificationServer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    bool isReady() const { return m_ready; }
    QString recordPath() const { return m_folder.filePath(QStringLiteral("notifications.jsonl")); }
    QList<QJsonObject> recorded() const
    {
        QList<QJsonObject> lines;
        QFile file(recordPath());
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    lines.append(QJsonDocument::fromJson(line).object());
            }
        }
        return lines;
    }

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    QByteArray m_output;
    bool m_ready = false;
};

UserNotificationCenter& center()
{
    return UserNotificationCenter::defaultUserNotificationCenter();
}

// Delivers and waits for the outcome; the call itself must return before anything was answered.
bool deliverAndWait(const UserNotification& notification)
{
    QSignalSpy handled(&center(), &UserNotificationCenter::notificationHandled);
    center().deliverNotification(notification);
    EXPECT_EQ(handled.count(), 0) << "deliverNotification waited for the server";
    EXPECT_TRUE(handled.wait(UserNotificationCenter::kReplyTimeoutMs + 5000));
    return !handled.isEmpty() && handled.first().first().toBool();
}

TEST(UserNotificationCenter, TitleAndTextsReachTheServer)
{
    NotificationServer server;
    ASSERT_TRUE(server.isReady());
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    EXPECT_TRUE(deliverAndWait({"Drop Created", "holiday.png", "http://127.0.0.1:8787/abc"}));
    EXPECT_TRUE(deliverAndWait({"Drop Created", "", "http://127.0.0.1:8787/def"}));

    const QList<QJsonObject> lines = server.recorded();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0]["app_name"].toString(), "Parcly Lite");
    EXPECT_EQ(lines[0]["summary"].toString(), "Drop Created");
    EXPECT_EQ(lines[0]["body"].toString(), "holiday.png\nhttp://127.0.0.1:8787/abc");
    EXPECT_EQ(lines[0]["replaces_id"].toInt(), 0);
    EXPECT_EQ(lines[0]["timeout"].toInt(), -1);
    EXPECT_EQ(lines[1]["body"].toString(), "http://127.0.0.1:8787/def");
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join('\n').toStdString();
}

TEST(UserNotificationCenter, TextIsEscapedForServersThatReadMarkup)
{
    NotificationServer server({QStringLiteral("--markup")});
    ASSERT_TRUE(server.isReady());
    EXPECT_TRUE(deliverAndWait({"Drop Created", "Tom & Jerry <1>.png", "https://l.example/x?a=1&b=2"}));
    const QList<QJsonObject> lines = server.recorded();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0]["body"].toString(), "Tom &amp; Jerry &lt;1&gt;.png\nhttps://l.example/x?a=1&amp;b=2");
    EXPECT_EQ(lines[0]["summary"].toString(), "Drop Created");
}

TEST(UserNotificationCenter, WithoutAServerItFallsBackAndSaysSo)
{
    // The previous test's server may take a moment to leave the bus.
    ASSERT_TRUE(
        QTest::qWaitFor([] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"); }));
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    EXPECT_FALSE(deliverAndWait({"Drop Created", "a.png", "http://127.0.0.1:8787/a"}));
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().startsWith("Notification server unavailable")) << log.lines().first().toStdString();
    EXPECT_TRUE(log.lines().first().contains("Drop Created"));
}

TEST(UserNotificationCenter, AServerThatRefusesTheCallGetsTheFallbackToo)
{
    NotificationServer server({QStringLiteral("--reject")});
    ASSERT_TRUE(server.isReady());
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    EXPECT_FALSE(deliverAndWait({"Drop Created", "a.png", "http://127.0.0.1:8787/a"}));
    EXPECT_TRUE(server.recorded().isEmpty());
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().contains("notifications are switched off")) << log.lines().first().toStdString();
}

} // namespace
