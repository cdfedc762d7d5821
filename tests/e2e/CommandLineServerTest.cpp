// The `parcly` command against the real reference service, as a user runs it.
#include "ServerHarness.h"

#include "QtPrinters.h"
#include "platform/Defaults.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <unistd.h>

namespace {

constexpr std::uint64_t kUploadLimit = 64 * 1024;

class CommandLineServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(temporaryFolder()));
        Defaults store(home.path() + QStringLiteral("/.config/parcly/Parcly Lite.conf"));
        store.setValue(QStringLiteral("parcly-api-url"), QStringLiteral("http://127.0.0.1:%1").arg(service.port()));
        store.synchronize();
    }

    QString temporaryFolder() const { return home.path() + QStringLiteral("/tmp"); }

    std::unique_ptr<QProcess> start(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporaryFolder());
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
        process->setProcessEnvironment(environment);
        process->start(QStringLiteral(PARCLY_CLI_PATH), arguments);
        return process;
    }

    // Waits (bounded) for the run to end; its exit status, with its output in `out`.
    int finish(QProcess& process, QString* out = nullptr)
    {
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "parcly did not end";
        }
        if (out)
            *out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
        lastError = QString::fromUtf8(process.readAllStandardError()).toStdString();
        EXPECT_TRUE(lastError.empty() || process.exitCode() != 0) << lastError;
        return process.exitCode();
    }

    // The bytes the drop behind a printed short link serves.
    std::string dropBytes(const QString& shortlink)
    {
        const auto raw = service.client().Get(QUrl(shortlink).path().toStdString() + "/raw");
        EXPECT_TRUE(raw && raw->status == 200) << shortlink.toStdString();
        return raw ? raw->body : std::string();
    }

    QStringList zipEntries(const std::string& zip)
    {
        QFile file(home.path() + QStringLiteral("/received.zip"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(zip.data(), qint64(zip.size()));
        file.close();
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), file.fileName()});
        EXPECT_TRUE(unzip.waitForFinished(10000));
        QStringList entries = QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        entries.sort();
        return entries;
    }

    void writeFile(const QString& relativePath, const QByteArray& contents)
    {
        const QString path = home.path() + QLatin1Char('/') + relativePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    // What the last finished run printed on stderr.
    std::string lastError;
    QTemporaryDir home;
    RunningService service{[](ServerOptions& options) { options.maxUploadBytes = kUploadLimit; }};
};

TEST_F(CommandLineServerTest, FilesThatStateAWrongLengthAreSentAsRead)
{
    // /proc states 0 bytes for a page of text; a drop of 0 bytes was what it made.
    QString link;
    auto status = start({QStringLiteral("upload"), QStringLiteral("/proc/self/status")});
    ASSERT_EQ(finish(*status, &link), 0) << lastError;
    const std::string proc = dropBytes(link);
    EXPECT_EQ(proc.rfind("Name:\tparcly\n", 0), 0u) << proc;
    EXPECT_NE(proc.find("\nPid:\t"), std::string::npos) << proc;

    // /sys states a page for a word.
    const QString sysFile = QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled");
    QFile sys(sysFile);
    if (!sys.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "no " << sysFile.toStdString() << " here; the /proc case ran";
    const QByteArray expected = sys.readAll();
    auto word = start({QStringLiteral("upload"), sysFile});
    ASSERT_EQ(finish(*word, &link), 0) << lastError;
    EXPECT_EQ(dropBytes(link), expected.toStdString());
}

TEST_F(CommandLineServerTest, SameNamedFoldersUploadedAtOnceKeepTheirOwnFilesAndNoArchiveIsLeft)
{
    auto registration = start({QStringLiteral("register")});
    ASSERT_EQ(finish(*registration), 0) << lastError;
    writeFile(QStringLiteral("a/docs/one.txt"), "one");
    writeFile(QStringLiteral("b/docs/two.txt"), "two");

    auto first = start({QStringLiteral("upload"), home.path() + QStringLiteral("/a/docs")});
    auto second = start({QStringLiteral("upload"), home.path() + QStringLiteral("/b/docs")});
    QString firstLink, secondLink;
    ASSERT_EQ(finish(*first, &firstLink), 0) << lastError;
    ASSERT_EQ(finish(*second, &secondLink), 0) << lastError;
    EXPECT_EQ(zipEntries(dropBytes(firstLink)), QStringList{QStringLiteral("docs/one.txt")});
    EXPECT_EQ(zipEntries(dropBytes(secondLink)), QStringList{QStringLiteral("docs/two.txt")});

    // A failed upload removes its archive too: this folder's zip is over the service's limit.
    QByteArray noise(int(kUploadLimit * 2), Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    writeFile(QStringLiteral("big/noise.bin"), noise);
    auto tooLarge = start({QStringLiteral("upload"), home.path() + QStringLiteral("/big")});
    EXPECT_EQ(finish(*tooLarge), 1);

    const QString ours = temporaryFolder() + QStringLiteral("/parcly-%1").arg(::getuid());
    const QStringList left = QDir(ours).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    EXPECT_TRUE(left.isEmpty()) << left.join(QStringLiteral(", ")).toStdString();
    EXPECT_TRUE(QFile::exists(home.path() + QStringLiteral("/big/noise.bin"))) << "the user's own files stay";
}

// Fields of the JSON drop list, by code.
QJsonObject dropNamed(const QJsonArray& drops, const QString& code)
{
    for (const QJsonValue& drop : drops) {
        if (drop.toObject().value(QStringLiteral("code")).toString() == code)
            return drop.toObject();
    }
    return {};
}

qint64 lifetimeSeconds(const QJsonObject& drop)
{
    const QDateTime created = QDateTime::fromString(drop.value(QStringLiteral("created")).toString(), Qt::ISODate);
    const QDateTime expires = QDateTime::fromString(drop.value(QStringLiteral("expires")).toString(), Qt::ISODate);
    return created.isValid() && expires.isValid() ? created.secsTo(expires) : -1;
}

TEST_F(CommandLineServerTest, DropsAreListedExpireAsAskedAndOnlyTheAccountsOwnAreDeleted)
{
    auto registration = start({QStringLiteral("register")});
    ASSERT_EQ(finish(*registration), 0) << lastError;
    {
        // "Delete new drops after: 1 day", as the app's preferences store it.
        Defaults store(home.path() + QStringLiteral("/.config/parcly/Parcly Lite.conf"));
        store.setValue(QStringLiteral("parcly-drop-expiry"), 86400);
        store.synchronize();
    }
    writeFile(QStringLiteral("a.txt"), "alpha");
    writeFile(QStringLiteral("b\tname.txt"), "bravo!");
    writeFile(QStringLiteral("c.txt"), "charlie");
    const auto uploaded = [&](const QStringList& arguments) {
        QString link;
        auto run = start(QStringList{QStringLiteral("upload")} + arguments);
        EXPECT_EQ(finish(*run, &link), 0) << lastError;
        return link;
    };
    const QString a = uploaded({home.path() + QStringLiteral("/a.txt")});
    const QString b = uploaded({QStringLiteral("--expires"), QStringLiteral("2h"), home.path() + QStringLiteral("/b\tname.txt")});
    const QString c = uploaded({QStringLiteral("--expires=never"), home.path() + QStringLiteral("/c.txt")});
    ASSERT_FALSE(a.isEmpty() || b.isEmpty() || c.isEmpty());
    auto unclear
        = start({QStringLiteral("upload"), QStringLiteral("--expires"), QStringLiteral("soon"), home.path() + QStringLiteral("/a.txt")});
    EXPECT_EQ(finish(*unclear), 2);
    EXPECT_NE(lastError.find("--expires soon: not a duration"), std::string::npos) << lastError;
    auto nothingToSend = start({QStringLiteral("upload"), QStringLiteral("--expires"), QStringLiteral("1h")});
    EXPECT_EQ(finish(*nothingToSend), 2);

    // Newest first, one tab-separated line each; the tab in a title does not make a column.
    QString table;
    auto list = start({QStringLiteral("drops"), QStringLiteral("list")});
    ASSERT_EQ(finish(*list, &table), 0) << lastError;
    const QStringList lines = table.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 3) << table.toStdString();
    const QString links[] = {c, b, a};
    const char* titles[] = {"c.txt", "b name.txt", "a.txt"};
    const char* sizes[] = {"7 B", "6 B", "5 B"};
    for (int i = 0; i < 3; ++i) {
        const QStringList fields = lines.at(i).split(QLatin1Char('\t'));
        ASSERT_EQ(fields.size(), 5) << lines.at(i).toStdString();
        EXPECT_EQ(fields.at(0), QUrl(links[i]).path().mid(1));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9]+s$")).match(fields.at(1)).hasMatch()) << fields.at(1).toStdString();
        EXPECT_EQ(fields.at(2), QLatin1String(sizes[i]));
        EXPECT_EQ(fields.at(3), QLatin1String(titles[i]));
        EXPECT_EQ(fields.at(4), links[i]);
    }

    // For scripts: the service's fields, and each drop's expiry as it was asked for.
    QString json;
    auto listJson = start(
        {QStringLiteral("drops"), QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--limit"), QStringLiteral("2")});
    ASSERT_EQ(finish(*listJson, &json), 0) << lastError;
    const QJsonArray two = QJsonDocument::fromJson(json.toUtf8()).object().value(QStringLiteral("drops")).toArray();
    ASSERT_EQ(two.size(), 2) << json.toStdString();
    EXPECT_EQ(two.at(0).toObject().value(QStringLiteral("shortlink")).toString(), c);
    EXPECT_TRUE(two.at(0).toObject().value(QStringLiteral("expires")).isNull());
    EXPECT_EQ(two.at(1).toObject().value(QStringLiteral("title")).toString(), QStringLiteral("b\tname.txt"));
    EXPECT_EQ(lifetimeSeconds(two.at(1).toObject()), 7200);
    auto listAll = start({QStringLiteral("drops"), QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_EQ(finish(*listAll, &json), 0) << lastError;
    const QJsonArray all = QJsonDocument::fromJson(json.toUtf8()).object().value(QStringLiteral("drops")).toArray();
    EXPECT_EQ(lifetimeSeconds(dropNamed(all, QUrl(a).path().mid(1))), 86400) << json.toStdString();
    for (const char* limit : {"0", "101", "x"}) {
        auto wrong = start({QStringLiteral("drops"), QStringLiteral("list"), QStringLiteral("--limit"), QLatin1String(limit)});
        EXPECT_EQ(finish(*wrong), 2) << limit;
    }

    // Another account's drop is "No such drop" to this one, and stays; the others still go.
    const Credentials other = registerAccount(service);
    const auto theirs = upload(service, other, {.bytes = "theirs", .name = "theirs.txt"});
    ASSERT_TRUE(theirs && theirs->status == 201);
    const QString theirLink = jsonObject(theirs->body).value(QStringLiteral("shortlink")).toString();
    const QString theirCode = QUrl(theirLink).path().mid(1);
    auto removal
        = start({QStringLiteral("delete"), QUrl(a).path().mid(1), b + QStringLiteral("/raw"), QStringLiteral("not a code!"), theirCode});
    EXPECT_EQ(finish(*removal), 1);
    EXPECT_NE(lastError.find("parcly: not a code!: not a drop's code or link"), std::string::npos) << lastError;
    EXPECT_NE(lastError.find(("parcly: " + theirCode + ": No such drop").toStdString()), std::string::npos) << lastError;
    EXPECT_EQ(QString::fromStdString(lastError).count(QLatin1Char('\n')), 2) << lastError;
    for (const QString& gone : {a, b}) {
        for (const QString& page : {QUrl(gone).path(), QUrl(gone).path() + QStringLiteral("/raw")}) {
            const auto answer = service.client().Get(page.toStdString());
            EXPECT_TRUE(answer && answer->status == 410) << page.toStdString();
        }
    }
    EXPECT_EQ(dropBytes(theirLink), "theirs");
    EXPECT_EQ(dropBytes(c), "charlie");

    auto listed = start({QStringLiteral("drops"), QStringLiteral("list")});
    ASSERT_EQ(finish(*listed, &table), 0) << lastError;
    EXPECT_TRUE(table.startsWith(QUrl(c).path().mid(1) + QLatin1Char('\t')) && !table.contains(QLatin1Char('\n'))) << table.toStdString();
    QString count;
    auto counted = start({QStringLiteral("drops")});
    ASSERT_EQ(finish(*counted, &count), 0) << lastError;
    EXPECT_EQ(count, QStringLiteral("1"));
}

} // namespace
