// The `parcly` command against the real reference service, as a user runs it.
#include "ServerHarness.h"

#include "QtPrinters.h"
#include "platform/Defaults.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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

} // namespace
