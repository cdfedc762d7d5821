// The single-instance channel of the real tray app under strain: a stopped first instance, a
// squatted runtime folder, no file descriptors left, connections that send half a message, and a
// hand-off named twice.
#include "AppProcess.h"
#include "BrowserRecorder.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLockFile>
#include <QRegularExpression>
#include <QtEndian>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kListening = QStringLiteral("Ignoring handed-over URL");

// A connection to the app's socket, as a raw client: -1 when it cannot connect.
int connectTo(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    std::memcpy(address.sun_path, native.constData(), qMin<size_t>(native.size(), sizeof(address.sun_path) - 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+)")).match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// True once the peer has closed every one of the connections.
bool allClosedByPeer(const std::vector<int>& fds, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            for (int fd : fds) {
                pollfd wait{fd, POLLIN, 0};
                char byte = 0;
                if (::poll(&wait, 1, 0) <= 0 || ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) != 0)
                    return false;
            }
            return true;
        },
        timeoutMs);
}

class SingleInstanceChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The test computes the app's socket path as the app does: no display in either.
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        QFile::remove(AppProcess::settingsPath());
        ASSERT_FALSE(service.url.isEmpty());
        AppProcess::configureService(service.url);
        handOff = handOffFolder();
        ASSERT_FALSE(handOff.isEmpty());
    }

    // Starts the app (through `wrapper`, when given) and waits until its URL handler is installed.
    void startApp(const QProcessEnvironment& environment, const QStringList& wrapper = {})
    {
        QStringList arguments = wrapper;
        arguments << QStringLiteral(PARCLY_LITE_PATH) << QStringLiteral("parcly-lite://?handleURL=file:///nowhere");
        app.log.clear();
        app.process.setProcessEnvironment(environment);
        app.process.start(arguments.takeFirst(), arguments);
        ASSERT_TRUE(app.waitForLog(kListening)) << app.log.toStdString();
        ASSERT_TRUE(QTest::qWaitFor([] { return !AppProcess::setting(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000));
    }

    QString writeHandOff(const QString& name, const QByteArray& content)
    {
        const QString folder = handOff + QStringLiteral("/work-") + QString::number(++m_folders).rightJustified(6, QLatin1Char('0'));
        QDir().mkpath(folder);
        QFile file(folder + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }

    QByteArray rawDrop(const QString& link)
    {
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), link + QStringLiteral("/raw")});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput();
    }

    ReferenceService service;
    BrowserRecorder browser;
    ChildProcess app;
    QString handOff;
    int m_folders = 0;
};

TEST_F(SingleInstanceChannel, AHandOffIsTakenOnceAndItsWorkFolderGoesWithItsUpload)
{
    startApp(AppProcess::environment(QString::fromUtf8(browser.command())));
    const QString file = writeHandOff(QStringLiteral("once.txt"), "only once\n");
    EXPECT_EQ(runSecondStart({handOffURL(file)}), 0);
    const QStringList calls = browser.waitForCalls(1, 15000);
    ASSERT_EQ(calls.size(), 1) << app.log.toStdString();
    EXPECT_EQ(rawDrop(calls.first()), "only once\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(QFileInfo(file).path()); }, 10000)) << "the work folder stayed";

    // Named again, while its upload runs and after: nothing more goes up.
    const QString again = writeHandOff(QStringLiteral("twice.txt"), "not twice\n");
    EXPECT_EQ(runSecondStart({handOffURL(again), handOffURL(again)}), 0);
    EXPECT_EQ(browser.waitForCalls(2, 15000).size(), 2);
    EXPECT_TRUE(app.waitForLog(QStringLiteral("it has already been taken for upload"))) << app.log.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(again); }, 10000));
    EXPECT_EQ(runSecondStart({handOffURL(again)}), 0);
    QTest::qWait(1000);
    EXPECT_EQ(browser.calls().size(), 2) << browser.calls().join(QLatin1Char(' ')).toStdString();

    // An older share extension's copies lie straight in the hand-off folder, a later copy of the
    // same name in place of the earlier: each copy is a hand-off of its own, taken once.
    const QString legacy = handOff + QStringLiteral("/legacy.txt");
    int uploads = 2;
    for (const QByteArray& content : {QByteArray("first copy\n"), QByteArray("second copy\n")}) {
        // Replaced only once the earlier copy has gone up.
        ASSERT_EQ(browser.waitForCalls(uploads, 15000).size(), uploads);
        ++uploads;
        QFile::remove(legacy);
        QFile file(legacy);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        const SingleInstance::Delivery delivery = SingleInstance::handOver({handOffURL(legacy), handOffURL(legacy)});
        EXPECT_EQ(delivery.verdicts, (QStringList{QString(), QStringLiteral("it has already been taken for upload")}));
    }
    const QStringList legacyCalls = browser.waitForCalls(4, 15000);
    ASSERT_EQ(legacyCalls.size(), 4);
    EXPECT_EQ(rawDrop(legacyCalls.at(2)), "first copy\n");
    EXPECT_EQ(rawDrop(legacyCalls.at(3)), "second copy\n");

    // Too much for one message: refused by the sender, and by the app if a sender tries anyway.
    const QStringList huge(10, QStringLiteral("parcly-lite://?x=") + QString(110000, QLatin1Char('a')));
    EXPECT_EQ(SingleInstance::handOver(huge).status, SingleInstance::Delivery::Status::TooLarge);
    EXPECT_EQ(runSecondStart(huge), 1);
    const int raw = connectTo(SingleInstance::socketPath(QStringLiteral("parcly-lite")));
    ASSERT_GE(raw, 0);
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(SingleInstance::kMaximumMessageSize + 1, header.data());
    ASSERT_EQ(::send(raw, header.constData(), header.size(), MSG_NOSIGNAL), 4);
    EXPECT_TRUE(allClosedByPeer({raw}, 5000));
    ::close(raw);
    EXPECT_TRUE(app.waitForLog(QStringLiteral("Single instance: refusing a message of more than")));

    // The verdicts come back to the sender, one per URL, in order.
    const QString third = writeHandOff(QStringLiteral("third.txt"), "third\n");
    const SingleInstance::Delivery delivery
        = SingleInstance::handOver({handOffURL(third), handOffURL(again), QStringLiteral("parcly-lite://?other=1")});
    ASSERT_EQ(delivery.status, SingleInstance::Delivery::Status::Answered);
    EXPECT_EQ(delivery.verdicts, (QStringList{QString(), QStringLiteral("no such file"), QString()}));
    EXPECT_EQ(browser.waitForCalls(5, 15000).size(), 5);
}

TEST_F(SingleInstanceChannel, AStoppedFirstInstanceIsNeverJoinedByASecondTrayApp)
{
    startApp(AppProcess::environment(QString::fromUtf8(browser.command())));
    ASSERT_EQ(::kill(pid_t(app.process.processId()), SIGSTOP), 0);
    QProcess second;
    second.setProcessEnvironment(AppProcess::environment());
    second.start(QStringLiteral(PARCLY_LITE_PATH), {handOffURL(writeHandOff(QStringLiteral("late.txt"), "late\n"))});
    const bool ended = second.waitForFinished(30000);
    ::kill(pid_t(app.process.processId()), SIGCONT);
    ASSERT_TRUE(ended) << "the second start never ended";
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(second.readAllStandardError())
                    .contains(QStringLiteral("is already running (pid %1) but does not answer").arg(app.process.processId())));
    // Once it runs again, the first instance is still the one that answers.
    EXPECT_EQ(runSecondStart({}), 0);
}

TEST_F(SingleInstanceChannel, ASquattedRuntimeFolderIsNotUsed)
{
    // A runtime folder open to all, where another user has laid a lock (held by a live process)
    // and a socket that listens.
    const QString shared = QDir::homePath() + QStringLiteral("/shared-runtime");
    QDir().mkpath(shared);
    ::chmod(QFile::encodeName(shared).constData(), 01777);
    QLockFile squatterLock(shared + QStringLiteral("/parcly-lite.nodisplay.lock"));
    ASSERT_TRUE(squatterLock.tryLock(0));
    QLocalServer squatter;
    ASSERT_TRUE(squatter.listen(shared + QStringLiteral("/parcly-lite.nodisplay.socket")));
    for (const char* name : {"/parcly-lite.nodisplay.lock", "/parcly-lite.nodisplay.socket"}) {
        if (::chown(QFile::encodeName(shared + QString::fromLatin1(name)).constData(), 65534, 65534) != 0)
            GTEST_SKIP() << "cannot give files to another user here (not root): " << std::strerror(errno);
    }

    QProcessEnvironment environment = AppProcess::environment(QString::fromUtf8(browser.command()));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), shared);
    startApp(environment);
    EXPECT_TRUE(app.waitForLog(QStringLiteral("not using XDG_RUNTIME_DIR")));
    const QString file = writeHandOff(QStringLiteral("tax.txt"), "private\n");
    EXPECT_EQ(runSecondStart({handOffURL(file)}, 5000, environment), 0);
    const QStringList calls = browser.waitForCalls(1, 15000);
    ASSERT_EQ(calls.size(), 1) << app.log.toStdString();
    EXPECT_EQ(rawDrop(calls.first()), "private\n");
    EXPECT_FALSE(squatter.hasPendingConnections()) << "a start talked to the other user's socket";
    EXPECT_TRUE(QFileInfo::exists(QDir::homePath() + QStringLiteral("/.cache/parcly/run/parcly-lite.nodisplay.socket")));
}

TEST_F(SingleInstanceChannel, TheListenerOutlivesAFailedAcceptAndHalfSentMessagesGiveTheirMemoryBack)
{
    // Few file descriptors, soft and hard, so that waiting connections exhaust them.
    startApp(AppProcess::environment(QString::fromUtf8(browser.command())), {QStringLiteral("prlimit"), QStringLiteral("--nofile=48:48")});
    const QString socket = SingleInstance::socketPath(QStringLiteral("parcly-lite"));

    std::vector<int> idle;
    for (int i = 0; i < 60; ++i) {
        const int fd = connectTo(socket);
        if (fd >= 0)
            idle.push_back(fd);
    }
    EXPECT_TRUE(app.waitForLog(QStringLiteral("Single instance: cannot accept a connection"))) << app.log.toStdString();
    for (int fd : idle)
        ::close(fd);
    // The listener is still there: a hand-off goes through.
    const QString file = writeHandOff(QStringLiteral("after.txt"), "after the storm\n");
    EXPECT_EQ(runSecondStart({handOffURL(file)}, 20000), 0);
    const QStringList calls = browser.waitForCalls(1, 20000);
    ASSERT_EQ(calls.size(), 1) << app.log.toStdString();
    EXPECT_EQ(rawDrop(calls.first()), "after the storm\n");
    app.stop();

    // Many connections each announcing a whole megabyte and sending half of it, then stalling.
    startApp(AppProcess::environment(QString::fromUtf8(browser.command())));
    const qint64 second = app.process.processId();
    const qint64 before = residentKiB(second);
    constexpr int kConnections = 200;
    constexpr qsizetype kHalf = SingleInstance::kMaximumMessageSize / 2;
    std::vector<int> stalled;
    std::vector<qsizetype> sent;
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(SingleInstance::kMaximumMessageSize, header.data());
    const QByteArray half = header + QByteArray(kHalf, 'x');
    for (int i = 0; i < kConnections; ++i) {
        const int fd = connectTo(socket);
        ASSERT_GE(fd, 0);
        stalled.push_back(fd);
        sent.push_back(0);
    }
    (void)QTest::qWaitFor(
        [&] {
            bool all = true;
            for (size_t i = 0; i < stalled.size(); ++i) {
                if (sent[i] == half.size())
                    continue;
                const ssize_t n = ::send(stalled[i], half.constData() + sent[i], half.size() - sent[i], MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    sent[i] += n;
                all = all && sent[i] == half.size();
            }
            return all;
        },
        8000);
    const qint64 peak = residentKiB(second);
    ASSERT_GT(peak - before, 50 * 1024) << "the half messages were never buffered: " << before << " -> " << peak;
    // Closed by the app once they have stalled long enough, and their memory returned.
    EXPECT_TRUE(allClosedByPeer(stalled, SingleInstance::kStalledConnectionMs + 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return residentKiB(second) < before + (peak - before) / 4; }, 10000))
        << before << " -> " << peak << " -> " << residentKiB(second);
    for (int fd : stalled)
        ::close(fd);
    EXPECT_EQ(runSecondStart({}), 0);
}

} // namespace
