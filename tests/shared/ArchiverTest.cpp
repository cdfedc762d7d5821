// The archiver with the real /usr/bin/zip on real folders in the test's temporary HOME, checked
// with the real unzip.
#include "shared/Archiver.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "shared/WorkFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <thread>
#include <utility>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class ArchiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        // Each test starts without work folders left by the one before.
        ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
        WorkFolder::sweep(temporaryDirectory(), std::chrono::seconds(-60));
    }

    // The work folders in the temporary directory.
    static QStringList workFolders()
    {
        return QDir(temporaryDirectory()).entryList({QStringLiteral("work-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    // The archive lies in a work folder of its own, directly in the temporary directory.
    static void expectInOwnWorkFolder(const QUrl& archive)
    {
        const QFileInfo file(archive.toLocalFile());
        EXPECT_TRUE(file.isFile()) << file.filePath().toStdString();
        EXPECT_THAT(QFileInfo(file.path()).fileName().toStdString(), ::testing::MatchesRegex("work-[A-Za-z0-9]{6}"));
        EXPECT_EQ(QFileInfo(file.path()).path() + QLatin1Char('/'), temporaryDirectory());
    }

    QString write(const QString& relativePath, const QByteArray& contents = "data")
    {
        const QString path = root.path() + QLatin1Char('/') + relativePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(contents);
        return path;
    }

    QString folder(const QString& relativePath)
    {
        const QString path = root.path() + QLatin1Char('/') + relativePath;
        QDir().mkpath(path);
        return path;
    }

    static std::vector<std::string> entries(const QUrl& archive)
    {
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive.toLocalFile()});
        EXPECT_TRUE(unzip.waitForFinished(10000));
        EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAllStandardError().toStdString();
        std::vector<std::string> names;
        for (const QString& line : QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            names.push_back(line.toStdString());
        return names;
    }

    static QByteArray contentsOf(const QUrl& archive, const QString& entry)
    {
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), archive.toLocalFile(), entry});
        EXPECT_TRUE(unzip.waitForFinished(10000));
        return unzip.readAllStandardOutput();
    }

    QTemporaryDir root{QDir::homePath() + QStringLiteral("/items-XXXXXX")};
};

TEST_F(ArchiverTest, AFolderIsZippedUnderItsOwnNameWithoutDirectoryEntriesOrDsStoreFiles)
{
    write(QStringLiteral("Pictures/Trip/beach.jpg"), "sand");
    write(QStringLiteral("Pictures/Trip/.DS_Store"));
    write(QStringLiteral("Pictures/Trip/day 2/sea.jpg"));
    write(QStringLiteral("Pictures/Trip/day 2/deeper/.DS_Store"));
    write(QStringLiteral("Pictures/Trip/day 2/notes.DS_Store"));
    folder(QStringLiteral("Pictures/Trip/empty"));
    write(QStringLiteral("Pictures/beside.txt"));
    ScopedLogCapture log;

    const QUrl archive = Archiver::zipFiles({root.path() + QStringLiteral("/Pictures/Trip")});

    EXPECT_EQ(QFileInfo(archive.toLocalFile()).fileName(), QStringLiteral("Trip.zip"));
    expectInOwnWorkFolder(archive);
    EXPECT_THAT(entries(archive), UnorderedElementsAre("Trip/beach.jpg", "Trip/day 2/sea.jpg"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("Trip/beach.jpg")), "sand");
    const QStringList runs = log.linesStartingWith(QStringLiteral("Archive Task: "));
    ASSERT_EQ(runs.size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_THAT(
        runs.first().toStdString(),
        ::testing::MatchesRegex(
            R"(Archive Task: <Task /usr/bin/zip pid [0-9]+> \(-r, -y, -9, -x, "\*\.DS_Store", -D, .*/work-[A-Za-z0-9]{6}/Trip\.zip, \./Trip\))"));
}

TEST_F(ArchiverTest, APlainFileKeepsItsExtensionBeforeZip)
{
    const QString report = write(QStringLiteral("docs/report.pdf"), "%PDF");
    const QUrl archive = Archiver::zipFiles({report});
    EXPECT_EQ(QFileInfo(archive.toLocalFile()).fileName(), QStringLiteral("report.pdf.zip"));
    EXPECT_THAT(entries(archive), ElementsAre("report.pdf"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("report.pdf")), "%PDF");
}

TEST_F(ArchiverTest, SeveralItemsGoIntoOneTimestampedArchiveEachUnderItsOwnName)
{
    const QString x = write(QStringLiteral("a/x.txt"), "ex");
    const QString y = write(QStringLiteral("b/y.txt"), "why");
    const QString trip = folder(QStringLiteral("c/Trip"));
    write(QStringLiteral("c/Trip/z.txt"));
    ScopedLogCapture log;

    const QDateTime before = QDateTime::currentDateTime();
    const QUrl archive = Archiver::zipFiles({x, y, trip});
    const QDateTime after = QDateTime::currentDateTime();

    const QString name = QFileInfo(archive.toLocalFile()).fileName();
    const auto stamp = [](const QDateTime& when) {
        return QStringLiteral("Archive on %1 at %2.zip")
            .arg(when.toString(QStringLiteral("yyyy-MM-dd")), when.toString(QStringLiteral("HH-mm-ss")));
    };
    EXPECT_TRUE(name == stamp(before) || name == stamp(after)) << name.toStdString();
    expectInOwnWorkFolder(archive);
    EXPECT_THAT(entries(archive), UnorderedElementsAre("x.txt", "y.txt", "Trip/z.txt"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("y.txt")), "why");
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Archive Task: ")).size(), 3);
}

TEST_F(ArchiverTest, ALaterItemWithTheSameNameReplacesTheEntriesOfAnEarlierOne)
{
    write(QStringLiteral("first/Trip/only-first.txt"));
    write(QStringLiteral("first/Trip/shared.txt"), "from the first");
    write(QStringLiteral("second/Trip/shared.txt"), "from the second");
    write(QStringLiteral("second/Trip/only-second.txt"));

    const QUrl archive = Archiver::zipFiles({root.path() + QStringLiteral("/first/Trip"), root.path() + QStringLiteral("/second/Trip")});

    EXPECT_THAT(entries(archive), UnorderedElementsAre("Trip/only-first.txt", "Trip/shared.txt", "Trip/only-second.txt"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("Trip/shared.txt")), "from the second");
}

TEST_F(ArchiverTest, SameNamedFoldersZippedAtOnceEachGetTheirOwnArchive)
{
    // Folders big enough that the two zip runs overlap.
    QByteArray filler;
    for (int i = 0; filler.size() < (1 << 20); ++i)
        filler += QByteArray::number(i * 7919) + ' ';
    for (const QString& side : {QStringLiteral("a"), QStringLiteral("b")}) {
        for (int i = 0; i < 8; ++i)
            write(side + QStringLiteral("/docs/part %1.txt").arg(i), filler);
        write(side + QStringLiteral("/docs/which.txt"), side.toUtf8());
        write(side + QStringLiteral("/docs/only-") + side, side.toUtf8());
    }

    QUrl archives[2];
    std::thread first([&] { archives[0] = Archiver::zipFiles({root.path() + QStringLiteral("/a/docs")}); });
    std::thread second([&] { archives[1] = Archiver::zipFiles({root.path() + QStringLiteral("/b/docs")}); });
    first.join();
    second.join();

    EXPECT_NE(archives[0], archives[1]);
    for (int i = 0; i < 2; ++i) {
        const QString side = i == 0 ? QStringLiteral("a") : QStringLiteral("b");
        EXPECT_EQ(QFileInfo(archives[i].toLocalFile()).fileName(), QStringLiteral("docs.zip"));
        expectInOwnWorkFolder(archives[i]);
        EXPECT_EQ(contentsOf(archives[i], QStringLiteral("docs/which.txt")), side.toUtf8());
        EXPECT_EQ(entries(archives[i]).size(), 10u);
        EXPECT_EQ(contentsOf(archives[i], QStringLiteral("docs/only-") + side), side.toUtf8());
    }

    // The caller is done with one: removing it leaves the other alone.
    EXPECT_TRUE(WorkFolder::removeContaining(archives[0].toLocalFile()));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(archives[0].toLocalFile()).path()));
    EXPECT_EQ(contentsOf(archives[1], QStringLiteral("docs/which.txt")), "b");
}

TEST_F(ArchiverTest, NamesWithBlanksAccentsAndLeadingDashesArriveAsNames)
{
    const QString holiday = folder(QStringLiteral("Ferien März/Grüße aus Köln"));
    write(QStringLiteral("Ferien März/Grüße aus Köln/über alles.txt"), "ü");
    // zip would read these as options: "--help" prints help and writes nothing, "-TT..." sets the
    // command zip runs to test an archive.
    const QString help = write(QStringLiteral("odd/--help"), "help");
    const QString command = write(QStringLiteral("odd/-TTtouch pwned"), "tt");
    const QString dash = write(QStringLiteral("odd/-"), "dash");

    const QUrl archive = Archiver::zipFiles({holiday, help, command, dash});

    EXPECT_THAT(entries(archive), UnorderedElementsAre("Grüße aus Köln/über alles.txt", "--help", "-TTtouch pwned", "-"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("Grüße aus Köln/über alles.txt")), "ü");
    EXPECT_FALSE(QFileInfo::exists(root.path() + QStringLiteral("/odd/pwned")));

    const QUrl single = Archiver::zipFiles({help});
    EXPECT_EQ(QFileInfo(single.toLocalFile()).fileName(), QStringLiteral("--help.zip"));
    EXPECT_THAT(entries(single), ElementsAre("--help"));
}

TEST_F(ArchiverTest, LinksInsideAFolderAreStoredAsLinksAndNothingOutsideIsRead)
{
    write(QStringLiteral("secret.txt"), "secret");
    const QString proj = folder(QStringLiteral("proj"));
    write(QStringLiteral("proj/a.txt"), "project");
    // A way up and out of the folder, and a link that leads back into it: followed, the first
    // brings in files never shared, the second repeats the folder without end.
    ASSERT_TRUE(QFile::link(QStringLiteral(".."), proj + QStringLiteral("/up")));
    ASSERT_TRUE(QFile::link(QStringLiteral("../secret.txt"), proj + QStringLiteral("/secret link")));
    ASSERT_TRUE(QFile::link(QStringLiteral("nowhere"), proj + QStringLiteral("/dangling")));

    const QUrl archive = Archiver::zipFiles({proj});
    EXPECT_THAT(entries(archive), UnorderedElementsAre("proj/a.txt", "proj/up", "proj/secret link", "proj/dangling"));
    // zipinfo's long listing: the mode of each entry, "l" for a link, and the link's target as its data.
    QProcess zipinfo;
    zipinfo.start(QStringLiteral("unzip"), {QStringLiteral("-Z"), archive.toLocalFile(), QStringLiteral("proj/up")});
    ASSERT_TRUE(zipinfo.waitForFinished(10000));
    EXPECT_TRUE(zipinfo.readAllStandardOutput().startsWith("lrwx")) << "not stored as a link";
    EXPECT_EQ(contentsOf(archive, QStringLiteral("proj/up")), "..");
    EXPECT_EQ(contentsOf(archive, QStringLiteral("proj/secret link")), "../secret.txt");

    // Given itself as a link, a folder is zipped under the link's name, still keeping the links
    // inside it as links; a link to a file, as that file's contents.
    const QString linkToFolder = root.path() + QStringLiteral("/shortcut");
    const QString linkToFile = root.path() + QStringLiteral("/note");
    ASSERT_TRUE(QFile::link(proj, linkToFolder));
    ASSERT_TRUE(QFile::link(proj + QStringLiteral("/a.txt"), linkToFile));
    const QUrl both = Archiver::zipFiles({linkToFolder, linkToFile});
    EXPECT_THAT(entries(both), UnorderedElementsAre("shortcut/a.txt", "shortcut/up", "shortcut/secret link", "shortcut/dangling", "note"));
    EXPECT_EQ(contentsOf(both, QStringLiteral("shortcut/up")), "..");
    EXPECT_EQ(contentsOf(both, QStringLiteral("note")), "project");
}

TEST_F(ArchiverTest, PipesSocketsAndDevicesInsideAreLeftOutAndNamedWhileAnItemOfThatKindIsRefused)
{
    const QString proj = folder(QStringLiteral("proj"));
    write(QStringLiteral("proj/a.txt"), "a");
    // Wildcards in a name must not leave out a file whose name they would match.
    write(QStringLiteral("proj/sub/pipe1"), "not a pipe");
    const QString pipe = proj + QStringLiteral("/sub/pipe?");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    QLocalServer socket;
    ASSERT_TRUE(socket.listen(proj + QStringLiteral("/socket")));
    // Only root may make a device; /dev/zero's twin would be read for ever.
    const bool device = ::mknod(QFile::encodeName(proj + QStringLiteral("/zero")).constData(), S_IFCHR | 0644, makedev(1, 5)) == 0;
    ScopedLogCapture log;

    const Archiver::Result result = Archiver::makeArchive({proj});

    EXPECT_THAT(entries(result.archive), UnorderedElementsAre("proj/a.txt", "proj/sub/pipe1"));
    EXPECT_TRUE(result.failure.isEmpty()) << result.failure.toStdString();
    QStringList expected{QStringLiteral("proj/sub/pipe?"), QStringLiteral("proj/socket")};
    if (device)
        expected.append(QStringLiteral("proj/zero"));
    EXPECT_THAT(result.skipped, ::testing::UnorderedElementsAreArray(expected));
    const QStringList leftOut = log.linesStartingWith(QStringLiteral("Archive: left out "));
    ASSERT_EQ(leftOut.size(), 1);
    EXPECT_TRUE(leftOut.first().contains(QStringLiteral("\"proj/socket\""))) << leftOut.first().toStdString();
    EXPECT_TRUE(log.linesStartingWith(QStringLiteral("Archive: zip ended")).isEmpty()) << log.lines().join(QLatin1Char('\n')).toStdString();
    WorkFolder::removeContaining(result.archive.toLocalFile());

    // A pipe given as an item, or missing one, is refused before anything is made; a folder of
    // pipes alone gives no archive.
    QString failure;
    EXPECT_TRUE(Archiver::zipFiles({proj + QStringLiteral("/a.txt"), pipe}, &failure).isEmpty());
    EXPECT_EQ(failure, QStringLiteral("\"pipe?\" is a named pipe: only files and folders can be shared."));
    EXPECT_TRUE(Archiver::zipFiles({root.path() + QStringLiteral("/gone.txt")}, &failure).isEmpty());
    EXPECT_EQ(failure, QStringLiteral("\"gone.txt\" cannot be shared: No such file or directory."));
    QFile::remove(proj + QStringLiteral("/sub/pipe1"));
    EXPECT_TRUE(Archiver::zipFiles({proj + QStringLiteral("/sub")}, &failure).isEmpty());
    EXPECT_EQ(failure, QStringLiteral("There are no files in \"sub\" to put into an archive."));
    EXPECT_TRUE(workFolders().isEmpty()) << "a failed archive left its work folder";
}

TEST_F(ArchiverTest, AFolderWithUnreadableItemsGivesNoArchiveAndSaysWhichAndHowMany)
{
    // Root reads everything: the archiver runs as nobody, for whom the items are unreadable.
    QStringList command{QStringLiteral(PARCLY_ARCHIVE_TOOL)};
    if (::geteuid() == 0) {
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            GTEST_SKIP() << "running as root without setpriv: no other user to be";
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                              QStringLiteral("--clear-groups")}
            + command;
    }
    // Outside the test's private HOME, which the other user cannot enter.
    QTemporaryDir shared(QStringLiteral("/tmp/parcly-unreadable-XXXXXX"));
    ASSERT_TRUE(shared.isValid());
    const QString base = shared.path();
    QDir().mkpath(base + QStringLiteral("/proj/locked"));
    QDir().mkpath(base + QStringLiteral("/tmp"));
    for (const auto& [name, contents] : {std::pair{"a.txt", "a"}, {"secret", "s"}, {"locked/inner", "i"}}) {
        QFile file(base + QStringLiteral("/proj/") + QLatin1String(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    ::chmod(QFile::encodeName(base).constData(), 0755);
    ::chmod(QFile::encodeName(base + QStringLiteral("/tmp")).constData(), 01777);
    ::chmod(QFile::encodeName(base + QStringLiteral("/proj/secret")).constData(), 0);
    ::chmod(QFile::encodeName(base + QStringLiteral("/proj/locked")).constData(), 0);

    const auto run = [&](const QStringList& items) {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), base + QStringLiteral("/tmp"));
        tool.setProcessEnvironment(environment);
        tool.start(command.first(), command.mid(1) + items);
        EXPECT_TRUE(tool.waitForFinished(30000));
        EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
        return QString::fromUtf8(tool.readAllStandardOutput()).split(QLatin1Char('\n'));
    };

    const QStringList folderOut = run({base + QStringLiteral("/proj")});
    ASSERT_GE(folderOut.size(), 2);
    EXPECT_TRUE(folderOut[0].isEmpty()) << "an archive was made: " << folderOut[0].toStdString();
    EXPECT_THAT(
        folderOut[1].toStdString(),
        ::testing::MatchesRegex(R"re("(secret|locked)" and 1 more item in "proj" cannot be read, so the folder was not shared\.)re"));

    const QStringList fileOut = run({base + QStringLiteral("/proj/a.txt"), base + QStringLiteral("/proj/secret")});
    ASSERT_GE(fileOut.size(), 2);
    EXPECT_TRUE(fileOut[0].isEmpty());
    EXPECT_EQ(fileOut[1], QStringLiteral("\"secret\" cannot be read, so nothing was shared."));

    // Nothing was left behind in the temporary folder.
    QDirIterator made(base + QStringLiteral("/tmp"), {QStringLiteral("work-*")}, QDir::Dirs, QDirIterator::Subdirectories);
    EXPECT_FALSE(made.hasNext()) << made.next().toStdString();
    // Once readable, the same folder is shared.
    ::chmod(QFile::encodeName(base + QStringLiteral("/proj/secret")).constData(), 0644);
    ::chmod(QFile::encodeName(base + QStringLiteral("/proj/locked")).constData(), 0755);
    const QStringList readable = run({base + QStringLiteral("/proj")});
    ASSERT_GE(readable.size(), 2);
    EXPECT_THAT(entries(QUrl::fromLocalFile(readable[0])), UnorderedElementsAre("proj/a.txt", "proj/secret", "proj/locked/inner"));
}

} // namespace

TEST_F(ArchiverTest, ARootPathIsRefusedAndAFolderWithATrailingSlashKeepsItsName)
{
    write(QStringLiteral("Trip/beach.jpg"), "sand");
    {
        // With nowhere to write, a refusal that ever broke fails here instead of zipping "/".
        const QByteArray tmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", root.path().toUtf8() + "/not-there");
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        for (const QStringList& paths :
             {QStringList{QStringLiteral("/")}, QStringList{root.path() + QStringLiteral("/../../../../../../..")},
              QStringList{root.path() + QStringLiteral("/Trip"), QStringLiteral("/")}}) {
            EXPECT_TRUE(Archiver::zipFiles(paths).isEmpty()) << paths.join(QLatin1Char(' ')).toStdString();
        }
        qputenv("TMPDIR", tmp);
        EXPECT_EQ(log.linesStartingWith(QStringLiteral("Archive: refusing to zip ")).size(), 3)
            << log.lines().join(QLatin1Char('\n')).toStdString();
    }

    const QUrl archive = Archiver::zipFiles({root.path() + QStringLiteral("/Trip/")});
    EXPECT_EQ(QFileInfo(archive.toLocalFile()).fileName(), QStringLiteral("Trip.zip"));
    EXPECT_THAT(entries(archive), ElementsAre("Trip/beach.jpg"));
}
