// Creating drops from files and from bytes: what goes on the wire, progress, and failures.
#include "ServiceTestSupport.h"

#include "app/service/UploadProgress.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "shared/SharedConstants.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <sys/stat.h>

namespace {

const std::string kDrop = R"({"code":"Ab3dE9xz","title":"a b.png","shortlink":"http://127.0.0.1:8787/Ab3dE9xz"})";

class UploadTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        storeCredentials();
        server.reply("POST", "/files", {.status = 201, .body = kDrop});
    }

    QUrl writeFile(const QString& name, const QByteArray& contents)
    {
        const QString path = folder.path() + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        return QUrl::fromLocalFile(path);
    }

    QTemporaryDir folder;
};

// Collects progress reports from the worker thread.
struct ProgressLog {
    QMutex mutex;
    QList<double> fractions;
    bool onMainThread = false;

    API::Progress callback()
    {
        return [this](double fraction) {
            QMutexLocker lock(&mutex);
            fractions.append(fraction);
            onMainThread |= QThread::currentThread() == QCoreApplication::instance()->thread();
        };
    }
};

TEST_F(UploadTest, AFileGoesOutRawWithItsTypeAndItsNameInBase64)
{
    const QByteArray contents("\x89PNG\r\n\x1a\n not really a png", 30);
    CompletionProbe probe;
    API::instance().shareFile(writeFile(QStringLiteral("a b.png"), contents), {}, probe.callback());
    ASSERT_TRUE(probe.waitForCall());

    EXPECT_TRUE(probe.success);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(probe.ranOnMainThread);
    EXPECT_EQ(probe.map().value(QStringLiteral("shortlink")).toString(), QStringLiteral("http://127.0.0.1:8787/Ab3dE9xz"));
    EXPECT_EQ(probe.map().value(QStringLiteral("title")).toString(), QStringLiteral("a b.png"));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/files") << "no screen here, so no pixel density";
    EXPECT_EQ(requests[0].header("Content-Type"), "image/png");
    EXPECT_EQ(requests[0].header("x-parcly-filename"), "YSBiLnBuZw==");
    EXPECT_EQ(requests[0].header("Authorization"),
              "Basic " + QByteArray("free-mac-test@free.parcly.example:pass word:1").toBase64().toStdString());
    EXPECT_EQ(QByteArray::fromStdString(requests[0].body), contents);
}

TEST_F(UploadTest, NonAsciiNamesAreSentAsBase64OfTheirUtf8)
{
    const QString name = QStringLiteral("Fotó «ünïcødé» 写真.JPG");
    CompletionProbe probe;
    API::instance().shareFile(writeFile(name, "jpeg"), {}, probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    ASSERT_EQ(server.requests().size(), 1u);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(request.header("x-parcly-filename"))), name.toUtf8());
    EXPECT_EQ(request.header("Content-Type"), "image/jpeg");
}

TEST_F(UploadTest, DataUploadsTakeTheirTypeFromTheNameAndNeverCarryADensity)
{
    const QString name = QStringLiteral("Image upload on 2017-03-01 at 14:05:09.png");
    CompletionProbe probe;
    API::instance().shareData("GIF89a", name, {}, probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_TRUE(probe.success);
    const RecordedRequest request = server.requests().at(0);
    EXPECT_EQ(request.target, "/files");
    EXPECT_EQ(request.header("Content-Type"), "image/png");
    EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(request.header("x-parcly-filename"))), name.toUtf8());
    EXPECT_EQ(request.body, "GIF89a");
}

TEST_F(UploadTest, UnknownExtensionsGoOutAsOctetStream)
{
    CompletionProbe file, data;
    API::instance().shareFile(writeFile(QStringLiteral("notes.zzqx"), "x"), {}, file.callback());
    ASSERT_TRUE(file.waitForCall());
    API::instance().shareData("x", QStringLiteral("no extension"), {}, data.callback());
    ASSERT_TRUE(data.waitForCall());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(requests[1].header("Content-Type"), "application/octet-stream");
}

TEST_F(UploadTest, ProgressComesInVisibleStepsOffTheMainThreadAndEndsAtOne)
{
    const QByteArray contents(24 * 1024 * 1024, 'p');
    ProgressLog progress;
    CompletionProbe probe;
    API::instance().shareFile(writeFile(QStringLiteral("big.bin"), contents), progress.callback(), probe.callback());
    ASSERT_TRUE(probe.waitForCall(60000));
    ASSERT_TRUE(probe.success);
    EXPECT_EQ(server.requests().at(0).body.size(), size_t(contents.size()));

    QMutexLocker lock(&progress.mutex);
    ASSERT_GE(progress.fractions.size(), 2);
    EXPECT_LE(progress.fractions.size(), int(1 / UploadProgress::kStep) + 2);
    EXPECT_FALSE(progress.onMainThread);
    EXPECT_EQ(progress.fractions.last(), 1.0);
    for (int i = 0; i < progress.fractions.size(); ++i) {
        EXPECT_TRUE(progress.fractions[i] >= 0.0 && progress.fractions[i] <= 1.0) << progress.fractions[i];
        if (i > 0) {
            EXPECT_GT(progress.fractions[i], progress.fractions[i - 1]);
        }
    }
}

TEST_F(UploadTest, AnEmptyFileReportsOnlyCompletion)
{
    ProgressLog progress;
    CompletionProbe probe;
    API::instance().shareFile(writeFile(QStringLiteral("empty.txt"), QByteArray()), progress.callback(), probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_TRUE(probe.success);
    QMutexLocker lock(&progress.mutex);
    EXPECT_EQ(progress.fractions, QList<double>{1.0});
}

TEST_F(UploadTest, WithoutCredentialsTheRefusalArrivesBeforeTheCallReturns)
{
    Defaults::standard().remove(QStringLiteral("parcly-password"));
    CompletionProbe file, data;
    API::instance().shareFile(writeFile(QStringLiteral("a.png"), "x"), {}, file.callback());
    API::instance().shareData("x", QStringLiteral("a.png"), {}, data.callback());
    for (CompletionProbe* probe : {&file, &data}) {
        ASSERT_EQ(probe->calls, 1);
        EXPECT_FALSE(probe->success);
        EXPECT_EQ(probe->error().code, 407);
        EXPECT_EQ(probe->error().localizedDescription, QStringLiteral("User is not initialized"));
    }
    QTest::qWait(50);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(UploadTest, AnUnknownUserIsSignalledBeforeTheFailureWithTheHeaderFields)
{
    server.reply("POST", "/files", {.status = 401, .headers = {{"parcly-errorcode", unknownUserHeader()}}});
    int posts = 0;
    CompletionProbe probe;
    ScopedObserver observer(QString::fromLatin1(kUnknownUserAPIErrorNotification), [&](const Notification&) {
        ++posts;
        EXPECT_EQ(probe.calls, 0);
    });
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    API::instance().shareFile(writeFile(QStringLiteral("a.png"), "x"), {}, probe.callback());
    ASSERT_TRUE(probe.waitForCall());

    EXPECT_EQ(posts, 1);
    EXPECT_FALSE(probe.success);
    EXPECT_EQ(probe.map().value(QStringLiteral("parcly-errorcode")).toString(), QStringLiteral("Authentication.UnknownUser"));
    EXPECT_TRUE(log.linesStartingWith(QStringLiteral("Error: ")).isEmpty());
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Upload failed: ")).size(), 1);
}

TEST_F(UploadTest, FailuresWithoutAnHttpResponseCompleteWithNull)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    server.reply("POST", "/files", {.dropConnection = true});
    CompletionProbe dropped;
    API::instance().shareFile(writeFile(QStringLiteral("a.png"), QByteArray(300000, 'x')), {}, dropped.callback());
    ASSERT_TRUE(dropped.waitForCall());
    EXPECT_FALSE(dropped.success);
    EXPECT_TRUE(dropped.result.isNull());

    const size_t sentSoFar = server.requests().size();
    CompletionProbe missing;
    API::instance().shareFile(QUrl::fromLocalFile(folder.path() + QStringLiteral("/gone.png")), {}, missing.callback());
    ASSERT_TRUE(missing.waitForCall());
    EXPECT_FALSE(missing.success);
    EXPECT_TRUE(missing.result.isNull());
    EXPECT_EQ(server.requests().size(), sentSoFar) << "a file that cannot be read is not half-sent";
    EXPECT_TRUE(log.lines().last().contains(QStringLiteral("gone.png")));

    CompletionProbe folderProbe;
    API::instance().shareFile(QUrl::fromLocalFile(folder.path()), {}, folderProbe.callback());
    ASSERT_TRUE(folderProbe.waitForCall());
    EXPECT_FALSE(folderProbe.success);
    EXPECT_EQ(server.requests().size(), sentSoFar);

    // No file at all (an archive that was never made, a web address): the same failure, through
    // the completion on the main thread.
    for (const QUrl& url : {QUrl(), QUrl(QStringLiteral("https://example.org/a.png"))}) {
        CompletionProbe notAFile;
        API::instance().shareFile(url, {}, notAFile.callback());
        ASSERT_TRUE(notAFile.waitForCall()) << url.toString().toStdString();
        EXPECT_EQ(notAFile.calls, 1);
        EXPECT_FALSE(notAFile.success);
        EXPECT_TRUE(notAFile.result.isNull());
        EXPECT_TRUE(notAFile.ranOnMainThread);
    }
    EXPECT_EQ(server.requests().size(), sentSoFar);
}

// The explained completion gets the same result as the plain one, and the Error beside it: the
// reason the log line gives, for callers that show it.
TEST_F(UploadTest, AnExplainedFailureCarriesItsReasonBesideTheSameResult)
{
    struct Explained {
        int calls = 0;
        bool success = true;
        QVariant result;
        Error reason;
        API::ExplainedCompletion callback()
        {
            return [this](bool ok, const QVariant& value, const Error& why) {
                ++calls;
                success = ok;
                result = value;
                reason = why;
            };
        }
    };
    const ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    // Without credentials: the 407 refusal, as result and as reason, before the call returns.
    Defaults::standard().remove(QStringLiteral("parcly-password"));
    Explained refused;
    API::instance().shareData("x", QStringLiteral("a.txt"), {}, refused.callback());
    EXPECT_EQ(refused.calls, 1);
    EXPECT_EQ(refused.reason.code, API::kUserNotInitializedCode);
    EXPECT_EQ(refused.result.value<Error>(), refused.reason);
    storeCredentials();

    server.reply("POST", "/files", {.status = 413});
    Explained tooLarge;
    API::instance().shareFile(writeFile(QStringLiteral("a.png"), "x"), {}, tooLarge.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return tooLarge.calls > 0; }, 15000));
    EXPECT_FALSE(tooLarge.success);
    EXPECT_TRUE(tooLarge.result.toMap().contains(QStringLiteral("content-length"))) << "still the header fields";
    EXPECT_EQ(tooLarge.reason.code, 413);
    EXPECT_EQ(log.lines().last(), QStringLiteral("Upload failed: ") + tooLarge.reason.localizedDescription);

    // No file to send: a null result, and a reason that names what was given.
    Explained notAFile;
    API::instance().shareFile(QUrl(QStringLiteral("https://example.org/a.png")), {}, notAFile.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return notAFile.calls > 0; }, 15000));
    EXPECT_TRUE(notAFile.result.isNull());
    EXPECT_TRUE(notAFile.reason.localizedDescription.contains(QStringLiteral("https://example.org/a.png")));

    // A 2xx that is no drop: a failure with a reason, though the exchange itself went well.
    server.reply("POST", "/files", {.status = 200, .body = R"({"title":"a"})"});
    Explained noDrop;
    API::instance().shareData("x", QStringLiteral("a.txt"), {}, noDrop.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return noDrop.calls > 0; }, 15000));
    EXPECT_FALSE(noDrop.success);
    EXPECT_TRUE(noDrop.reason.localizedDescription.contains(QStringLiteral("not a drop")))
        << noDrop.reason.localizedDescription.toStdString();

    server.reply("POST", "/files", {.status = 201, .body = R"({"title":"a","shortlink":"http://127.0.0.1:8787/A"})"});
    Explained sent;
    API::instance().shareData("x", QStringLiteral("a.txt"), {}, sent.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent.calls > 0; }, 15000));
    EXPECT_TRUE(sent.success);
    EXPECT_EQ(sent.reason, Error{});
}

TEST_F(UploadTest, AnswersThatAreNotJSONOrNotSuccessAreFailuresWithTheirHeaderFields)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    server.reply("POST", "/files", {.status = 200, .headers = {{"X-Served-By", "proxy"}}, .body = "<html>", .contentType = "text/html"});
    CompletionProbe notJSON;
    API::instance().shareData("x", QStringLiteral("a.txt"), {}, notJSON.callback());
    ASSERT_TRUE(notJSON.waitForCall());
    EXPECT_FALSE(notJSON.success);
    EXPECT_EQ(notJSON.map().value(QStringLiteral("x-served-by")).toString(), QStringLiteral("proxy"));

    server.reply("POST", "/files", {.status = 413, .body = R"({"error":"too large"})"});
    CompletionProbe tooLarge;
    API::instance().shareData("x", QStringLiteral("a.txt"), {}, tooLarge.callback());
    ASSERT_TRUE(tooLarge.waitForCall());
    EXPECT_FALSE(tooLarge.success);
    EXPECT_TRUE(tooLarge.map().contains(QStringLiteral("content-type")));
    EXPECT_TRUE(log.lines().last().contains(QStringLiteral("413")));
}

TEST_F(UploadTest, ConcurrentUploadsEachCompleteOnceWithTheirOwnResult)
{
    constexpr int kUploads = 6;
    CompletionProbe probes[kUploads];
    for (int i = 0; i < kUploads; ++i)
        API::instance().shareData(QByteArray::number(i), QStringLiteral("n%1.txt").arg(i), {}, probes[i].callback());
    for (CompletionProbe& probe : probes) {
        ASSERT_TRUE(probe.waitForCall());
        EXPECT_EQ(probe.calls, 1);
        EXPECT_TRUE(probe.success);
    }
    std::set<std::string> bodies;
    for (const auto& request : server.requests())
        bodies.insert(request.body);
    EXPECT_EQ(bodies.size(), size_t(kUploads));
}

TEST(UploadProgress, ReportsStepsClampsAndNeverDividesByZero)
{
    QList<double> seen;
    UploadProgress unknownTotal(0, [&](double f) { seen << f; });
    unknownTotal.bytesSent(0);
    unknownTotal.bytesSent(100);
    EXPECT_TRUE(seen.isEmpty());
    unknownTotal.finish(0);
    EXPECT_EQ(seen, QList<double>{1.0});

    seen.clear();
    UploadProgress progress(1000, [&](double f) { seen << f; });
    for (qint64 sent = 0; sent <= 1000; ++sent)
        progress.bytesSent(sent);
    progress.bytesSent(5000);
    progress.finish(1000);
    EXPECT_EQ(seen.size(), progress.reportCount());
    EXPECT_LE(seen.size(), 101);
    EXPECT_EQ(seen.last(), 1.0);
    EXPECT_EQ(seen.count(1.0), 1);

    seen.clear();
    UploadProgress cutShort(1000, [&](double f) { seen << f; });
    cutShort.bytesSent(400);
    cutShort.finish(400);
    EXPECT_EQ(seen, QList<double>{0.4}) << "an upload that did not send everything does not claim 1.0";
}

} // namespace

namespace {

TEST_F(UploadTest, FilesOfUntrustworthyLengthGoAsReadAndAPipeNeverBlocks)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    // /proc states 0 bytes for a page of text: sent chunked, as read.
    CompletionProbe proc;
    API::instance().shareFile(QUrl::fromLocalFile(QStringLiteral("/proc/self/status")), {}, proc.callback());
    ASSERT_TRUE(proc.waitForCall());
    EXPECT_TRUE(proc.success);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(server.requests()[0].body.rfind("Name:\t", 0), 0u) << server.requests()[0].body;
    EXPECT_NE(server.requests()[0].body.find("\nPid:\t"), std::string::npos);

    // Opening a named pipe would wait for a writer for ever.
    const QString fifo = folder.path() + QStringLiteral("/pipe.png");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    CompletionProbe pipe;
    API::instance().shareFile(QUrl::fromLocalFile(fifo), {}, pipe.callback());
    ASSERT_TRUE(pipe.waitForCall());
    EXPECT_FALSE(pipe.success);
    EXPECT_TRUE(log.lines().last().contains(QStringLiteral("not a regular file"))) << log.lines().last().toStdString();
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UploadTest, AFileWhoseLengthChangesWhileSentFailsRatherThanPassForComplete)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    // Large against the 2 MiB reads, so the change lands after the first read, before the last.
    const QByteArray contents(20 * 1024 * 1024, 'x');
    for (const bool grow : {true, false}) {
        const QUrl url = writeFile(QStringLiteral("changing.bin"), contents);
        std::atomic<bool> changed = false;
        const auto changeOnce = [&](double) {
            if (changed.exchange(true))
                return;
            QFile file(url.toLocalFile());
            if (grow) {
                ASSERT_TRUE(file.open(QIODevice::Append));
                file.write("more");
            } else {
                ASSERT_TRUE(file.resize(contents.size() / 2));
            }
        };
        CompletionProbe probe;
        API::instance().shareFile(url, changeOnce, probe.callback());
        ASSERT_TRUE(probe.waitForCall(30000));
        EXPECT_FALSE(probe.success) << (grow ? "grown" : "shrunk");
        const QString expected = grow ? QStringLiteral("became longer") : QStringLiteral("became shorter");
        EXPECT_TRUE(log.lines().last().contains(expected)) << log.lines().last().toStdString();
    }
}

} // namespace
