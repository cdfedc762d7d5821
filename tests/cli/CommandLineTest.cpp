// The `parcly` command run as a user would run it, against a loopback fixture server.
#include "FixtureServer.h"
#include "QtPrinters.h"
#include "app/service/API.h"
#include "app/service/ServiceConfiguration.h"
#include "platform/Defaults.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct Finished {
    int exitCode = -1;
    QString out;
    QString err;
};

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { configure(server.baseURL()); }

    QString storePath() const { return home.path() + QStringLiteral("/.config/parcly/Parcly Lite.conf"); }

    void configure(const QString& apiURL)
    {
        Defaults store(storePath());
        store.setValue(QStringLiteral("parcly-api-url"), apiURL);
        store.synchronize();
    }

    void storeAccount(const QString& token = QStringLiteral("tok"))
    {
        Defaults store(storePath());
        store.setValue(QStringLiteral("parcly-username"), QStringLiteral("cli@free.parcly.example"));
        store.setValue(QStringLiteral("parcly-password"), QStringLiteral("pw"));
        store.setValue(QStringLiteral("parcly-token"), token.isEmpty() ? QVariant() : QVariant(token));
        store.synchronize();
    }

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(home.path() + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        return file.fileName();
    }

    Finished parcly(const QStringList& arguments, const QString& temporaryFolder = qEnvironmentVariable("TMPDIR"),
                    const QString& program = QStringLiteral(PARCLY_CLI_PATH))
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporaryFolder);
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(QDir::rootPath());
        process.start(program, arguments);
        const bool ended = process.waitForFinished(30000);
        EXPECT_TRUE(ended) << "parcly " << arguments.join(QLatin1Char(' ')).toStdString() << " did not end";
        if (!ended) {
            process.kill();
            process.waitForFinished();
        }
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    QTemporaryDir home;
    FixtureServer server;
};

TEST_F(CommandLineTest, FirstUploadRegistersAFreeAccountThenPrintsTheShortLink)
{
    server.reply("POST", "/account", {.status = 201, .headers = {{"x-parcly-authorization", "Bearer fresh"}}});
    server.reply("POST", "/files", {.status = 201, .body = R"({"title":"notes.txt","shortlink":"http://127.0.0.1:8787/Zx81"})"});
    const QString path = writeFile(QStringLiteral("notes.txt"), "hello");

    const Finished run = parcly({QStringLiteral("upload"), path});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("http://127.0.0.1:8787/Zx81\n"));
    EXPECT_TRUE(run.err.isEmpty()) << "no progress bar when stderr is not a terminal: " << run.err.toStdString();

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/account");
    EXPECT_EQ(requests[1].target, "/files");
    EXPECT_EQ(requests[1].body, "hello");
    const Defaults store(storePath());
    EXPECT_TRUE(store.string(QStringLiteral("parcly-username")).startsWith(QStringLiteral("free-mac")));
    // Stored as the service sent it, and bare from the next use of the account on.
    EXPECT_EQ(store.string(QStringLiteral("parcly-token")), QStringLiteral("fresh"));
}

// What a zip upload carried: its file name (sent Base64-encoded) and the entries of the archive.
struct UploadedArchive {
    QString fileName;
    QStringList entries;
};

UploadedArchive unpack(const RecordedRequest& request, const QString& scratchFolder)
{
    UploadedArchive uploaded;
    uploaded.fileName = QString::fromUtf8(QByteArray::fromBase64(QByteArray::fromStdString(request.header("x-parcly-filename"))));
    QFile body(scratchFolder + QStringLiteral("/received.zip"));
    EXPECT_TRUE(body.open(QIODevice::WriteOnly));
    body.write(request.body.data(), qint64(request.body.size()));
    body.close();
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), body.fileName()});
    EXPECT_TRUE(unzip.waitForFinished(10000));
    EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAllStandardError().toStdString();
    uploaded.entries = QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    uploaded.entries.sort();
    return uploaded;
}

TEST_F(CommandLineTest, AFolderOrSeveralItemsAreUploadedAsOneZip)
{
    storeAccount();
    server.reply("POST", "/files", {.status = 201, .body = R"({"title":"t","shortlink":"http://127.0.0.1:8787/Zip1"})"});
    QDir().mkpath(home.path() + QStringLiteral("/Trip/day 2"));
    writeFile(QStringLiteral("Trip/beach.txt"), "sand");
    writeFile(QStringLiteral("Trip/.DS_Store"), "finder");
    writeFile(QStringLiteral("Trip/day 2/sea.txt"), "salt");
    const QString notes = writeFile(QStringLiteral("notes.txt"), "n");
    const QString dashed = writeFile(QStringLiteral("-rf"), "d");

    // A folder given by a path with "." in it, from another working directory.
    const Finished folder = parcly({QStringLiteral("upload"), home.path() + QStringLiteral("/Trip/.")});
    EXPECT_EQ(folder.exitCode, 0) << folder.err.toStdString();
    EXPECT_EQ(folder.out, QStringLiteral("http://127.0.0.1:8787/Zip1\n"));
    const Finished several = parcly({QStringLiteral("upload"), notes, dashed, home.path() + QStringLiteral("/Trip")});
    EXPECT_EQ(several.exitCode, 0) << several.err.toStdString();
    EXPECT_TRUE(several.out.startsWith(QStringLiteral("http://")));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const UploadedArchive first = unpack(requests[0], home.path());
    EXPECT_EQ(first.fileName, QStringLiteral("Trip.zip"));
    EXPECT_EQ(first.entries, (QStringList{QStringLiteral("Trip/beach.txt"), QStringLiteral("Trip/day 2/sea.txt")}));
    const UploadedArchive second = unpack(requests[1], home.path());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Archive on \\d{4}-\\d{2}-\\d{2} at \\d{2}-\\d{2}-\\d{2}\\.zip$"))
                    .match(second.fileName)
                    .hasMatch())
        << second.fileName.toStdString();
    EXPECT_EQ(second.entries,
              (QStringList{QStringLiteral("-rf"), QStringLiteral("Trip/beach.txt"), QStringLiteral("Trip/day 2/sea.txt"),
                           QStringLiteral("notes.txt")}));
}

TEST_F(CommandLineTest, AStoredAccountIsUsedAsIsAndDropsPrintsTheCount)
{
    storeAccount();
    server.reply("GET", "/users/me", {.body = R"({"activeDrops":7})"});
    const Finished run = parcly({QStringLiteral("drops")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("7\n"));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("Authorization"), "Basic " + QByteArray("cli@free.parcly.example:pw").toBase64().toStdString());
}

TEST_F(CommandLineTest, CredentialsWhoseRegistrationFailedAreRegisteredAgain)
{
    storeAccount(QString());
    server.reply("POST", "/account", {.status = 201, .headers = {{"x-parcly-authorization", "Bearer late"}}});
    server.reply("GET", "/users/me", {.body = R"({"activeDrops":0})"});
    const Finished run = parcly({QStringLiteral("drops")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].target, "/account");
    EXPECT_NE(server.requests()[0].body.find("cli@free.parcly.example"), std::string::npos);
    EXPECT_EQ(Defaults(storePath()).string(QStringLiteral("parcly-token")), QStringLiteral("late"));
}

TEST_F(CommandLineTest, FailuresExitNonZeroWithOneLineThatSaysWhy)
{
    storeAccount();

    const Finished missing = parcly({QStringLiteral("upload"), home.path() + QStringLiteral("/nope.png")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("nope.png")));
    EXPECT_EQ(missing.err.count(QLatin1Char('\n')), 1);
    EXPECT_TRUE(missing.out.isEmpty());
    // The root would be zipped whole; refused before anything is sent. With nowhere to write, a
    // refusal that ever broke fails here instead of zipping "/".
    for (const QString& root : {QStringLiteral("/"), home.path() + QStringLiteral("/../../../../../..")}) {
        const Finished whole = parcly({QStringLiteral("upload"), root}, home.path() + QStringLiteral("/not-there"));
        EXPECT_EQ(whole.exitCode, 1);
        EXPECT_TRUE(whole.err.contains(QStringLiteral("root folder cannot be uploaded"))) << whole.err.toStdString();
    }
    EXPECT_TRUE(server.requests().empty());

    // Nowhere private to make the archive, neither in TMPDIR nor in the private fallback in the
    // cache folder: the archiver's own sentence, nothing sent.
    const QString notAFolder = writeFile(QStringLiteral("not-a-folder"), "f");
    const QString cacheParcly = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/parcly");
    ASSERT_TRUE(QDir().mkpath(cacheParcly));
    const QString blockedFallback = cacheParcly + QStringLiteral("/tmp");
    QFile blocker(blockedFallback);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Finished noArchive = parcly({QStringLiteral("upload"), home.path() + QStringLiteral("/.config")}, notAFolder);
    QFile::remove(blockedFallback);
    EXPECT_EQ(noArchive.exitCode, 1);
    EXPECT_EQ(noArchive.err, QStringLiteral("parcly: There is no safe private folder to make the archive in.\n"));
    EXPECT_TRUE(server.requests().empty());

    server.reply("POST", "/files", {.status = 401, .headers = {{"parcly-errorcode", "Authentication.UnknownUser"}}});
    const Finished unknown = parcly({QStringLiteral("upload"), writeFile(QStringLiteral("a.png"), "x")});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains(QStringLiteral("does not know this account"))) << unknown.err.toStdString();
    EXPECT_EQ(unknown.err.count(QLatin1Char('\n')), 1);

    server.reply("POST", "/files", {.status = 413});
    const Finished tooLarge = parcly({QStringLiteral("upload"), writeFile(QStringLiteral("b.png"), "x")});
    EXPECT_EQ(tooLarge.exitCode, 1);
    EXPECT_TRUE(tooLarge.err.contains(QStringLiteral("413"))) << tooLarge.err.toStdString();

    configure(QStringLiteral("http://127.0.0.1:1"));
    const Finished unreachable = parcly({QStringLiteral("drops")});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(unreachable.err.contains(QStringLiteral("127.0.0.1:1"))) << unreachable.err.toStdString();
    EXPECT_EQ(unreachable.err.count(QLatin1Char('\n')), 1);

    const Finished usage = parcly({QStringLiteral("frobnicate")});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(usage.err.contains(QStringLiteral("usage")));
}

// The reason printed is the one the service client's completion gives, never its log line: for
// an answer that is no drop the two are worded apart, so reading the log back would print the
// log's wording here.
TEST_F(CommandLineTest, AFailedUploadPrintsTheReasonItsCompletionGaveNotItsLogLine)
{
    storeAccount();
    server.reply("POST", "/files", {.status = 201, .body = R"({"title":"a.png","shortlink":"ftp://127.0.0.1/A"})"});
    const Finished printed = parcly({QStringLiteral("upload"), writeFile(QStringLiteral("a.png"), "x")});

    // The same upload in this process, through the same client.
    Defaults& store = Defaults::standard();
    store.setValue(ServiceConfiguration::kAPIURLKey, server.baseURL());
    store.setValue(QStringLiteral("parcly-username"), QStringLiteral("cli@free.parcly.example"));
    store.setValue(QStringLiteral("parcly-password"), QStringLiteral("pw"));
    store.synchronize();
    const ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    bool called = false;
    Error reason;
    API::instance().shareFile(QUrl::fromLocalFile(writeFile(QStringLiteral("b.png"), "x")), {},
                              [&](bool success, const QVariant&, const Error& why) {
                                  EXPECT_FALSE(success);
                                  reason = why;
                                  called = true;
                              });
    ASSERT_TRUE(QTest::qWaitFor([&] { return called; }, 15000));
    store.clear();
    store.synchronize();

    ASSERT_FALSE(reason.localizedDescription.isEmpty());
    EXPECT_TRUE(reason.localizedDescription.contains(QStringLiteral("201"))) << reason.localizedDescription.toStdString();
    const QStringList logged = log.linesStartingWith(QStringLiteral("Upload failed: "));
    ASSERT_EQ(logged.size(), 1);
    EXPECT_NE(logged.first().mid(QStringLiteral("Upload failed: ").size()), reason.localizedDescription)
        << "the log line and the completion's reason are worded apart, so this case tells them apart";
    EXPECT_EQ(printed.exitCode, 1);
    EXPECT_EQ(printed.err, QStringLiteral("parcly: %1\n").arg(reason.localizedDescription));
    EXPECT_TRUE(printed.out.isEmpty());
}

TEST_F(CommandLineTest, PipesSocketsAndDevicesAreRefusedAtOnceAndNothingIsSent)
{
    storeAccount();
    const QString fifo = home.path() + QStringLiteral("/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString socketPath = home.path() + QStringLiteral("/sock");
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QString notes = writeFile(QStringLiteral("notes.txt"), "n");

    // Alone or among files: nothing is zipped or sent when one item cannot be shared. Opening
    // the pipe would block for ever, reading /dev/zero never end; the helper fails a run that
    // does not end.
    const QList<std::pair<QStringList, QString>> cases = {
        {{fifo}, QStringLiteral("\"pipe\" is a named pipe")},
        {{notes, fifo}, QStringLiteral("\"pipe\" is a named pipe")},
        {{QStringLiteral("/dev/zero")}, QStringLiteral("\"zero\" is a device")},
        {{socketPath}, QStringLiteral("\"sock\" is a socket")},
    };
    for (const auto& [items, message] : cases) {
        const Finished run = parcly(QStringList{QStringLiteral("upload")} + items);
        EXPECT_EQ(run.exitCode, 1) << items.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(run.err.contains(message)) << run.err.toStdString();
        EXPECT_EQ(run.err.count(QLatin1Char('\n')), 1) << run.err.toStdString();
    }
    ::close(listening);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CommandLineTest, NoTextFromTheServiceCanDriveTheTerminal)
{
    storeAccount();
    const std::string hostile = "\x1b[2J\x1b]0;owned\x07\xe2\x80\xae"
                                "gnp.exe"; // ESC sequences, then U+202E
    server.reply("GET", "/users/me", {.raw = "HTTP/1.1 500 Broken " + hostile + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"});
    const Finished count = parcly({QStringLiteral("drops")});
    EXPECT_EQ(count.exitCode, 1);
    EXPECT_TRUE(count.err.contains(QStringLiteral("Broken gnp.exe")))
        << "the readable rest of the reason stays: " << count.err.toStdString();

    server.reply("POST", "/files",
                 {.status = 201, .body = R"({"title":"a\u001b[31m","shortlink":"http://127.0.0.1:8787/A\u202egnp.exe"})"});
    const Finished upload = parcly({QStringLiteral("upload"), writeFile(QStringLiteral("a.png"), "x")});
    EXPECT_EQ(upload.exitCode, 0) << upload.err.toStdString();
    EXPECT_EQ(upload.out, QStringLiteral("http://127.0.0.1:8787/Agnp.exe\n"));

    for (const QString& printed : {count.err, count.out, upload.err, upload.out}) {
        for (const QChar forbidden : {QChar(0x1b), QChar(0x07), QChar(0x202e)})
            EXPECT_FALSE(printed.contains(forbidden)) << printed.toStdString();
    }
}

TEST_F(CommandLineTest, AnUnusableSettingsFileIsOneErrorBeforeAnyRequest)
{
    // A folder where the settings file belongs: nothing could be stored, so a registered
    // account would be lost at exit and its drops orphaned.
    ASSERT_TRUE(QFile::remove(storePath()));
    ASSERT_TRUE(QDir().mkpath(storePath()));
    const QString notes = writeFile(QStringLiteral("notes.txt"), "n");
    server.reply("POST", "/account", {.status = 201, .headers = {{"x-parcly-authorization", "Bearer t"}}});
    for (const QStringList& command :
         {QStringList{QStringLiteral("upload"), notes}, QStringList{QStringLiteral("drops")}, QStringList{QStringLiteral("register")}}) {
        const Finished run = parcly(command);
        EXPECT_EQ(run.exitCode, 1) << command.first().toStdString();
        EXPECT_EQ(run.err, QStringLiteral("parcly: cannot use the settings file %1: Is a directory\n").arg(storePath()));
        EXPECT_TRUE(run.out.isEmpty());
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CommandLineTest, ASettingsFileThisUserCannotReadOrWriteIsRefusedToo)
{
    if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "needs root and setpriv to run parcly as another user";
    // The store belongs to root; run as nobody, who may neither read nor write it.
    ASSERT_TRUE(
        QFile::setPermissions(home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    const Finished run = parcly({QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                                 QStringLiteral(PARCLY_CLI_PATH), QStringLiteral("drops")},
                                qEnvironmentVariable("TMPDIR"), QStringLiteral("setpriv"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, QStringLiteral("parcly: cannot use the settings file %1: Permission denied\n").arg(storePath()));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CommandLineTest, AServiceThatTricklesIsGivenUpWithAMessageThatSaysWhy)
{
    // A byte every half second: never slow enough for a stall rule of a byte a second, and
    // without a deadline it kept the command waiting for minutes.
    const std::string trickle = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n"
                                "{\"activeDrops\":1,                     }";
    server.reply("GET", "/users/me", {.raw = trickle, .pauseBeforeEachByte = std::chrono::milliseconds(500)});
    server.reply("POST", "/account", {.raw = trickle, .pauseBeforeEachByte = std::chrono::milliseconds(500)});
    server.reply("POST", "/files", {.raw = trickle, .pauseBeforeEachByte = std::chrono::milliseconds(500)});
    const QString program = QStringLiteral(PARCLY_SHORT_LIMITS_CLI_PATH);
    const QString temporaryFolder = qEnvironmentVariable("TMPDIR");

    const Finished registration = parcly({QStringLiteral("register")}, temporaryFolder, program);
    EXPECT_EQ(registration.exitCode, 1);
    EXPECT_TRUE(registration.err.contains(QStringLiteral("the service did not answer within 1.5 seconds")))
        << registration.err.toStdString();

    storeAccount();
    const Finished count = parcly({QStringLiteral("drops")}, temporaryFolder, program);
    EXPECT_EQ(count.exitCode, 1);
    EXPECT_EQ(count.err.count(QLatin1Char('\n')), 1) << count.err.toStdString();
    EXPECT_TRUE(count.err.contains(QStringLiteral("the service did not answer within 1.5 seconds"))) << count.err.toStdString();

    // An upload has no deadline (a large file rightly takes long) but fails when it stalls.
    const Finished upload = parcly({QStringLiteral("upload"), writeFile(QStringLiteral("a.txt"), "x")}, temporaryFolder, program);
    EXPECT_EQ(upload.exitCode, 1);
    EXPECT_TRUE(upload.err.contains(QStringLiteral("stalled, moving less than 1024 bytes a second for 1 second")))
        << upload.err.toStdString();
}

} // namespace
