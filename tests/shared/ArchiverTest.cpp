// The archiver with the real /usr/bin/zip on real folders in the test's temporary HOME, checked
// with the real unzip.
#include "shared/Archiver.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class ArchiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        // Each test starts without archives left by the one before.
        QDir archives(temporaryDirectory());
        for (const QString& name : archives.entryList({QStringLiteral("*.zip")}, QDir::Files))
            archives.remove(name);
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

    EXPECT_EQ(archive, QUrl::fromLocalFile(temporaryDirectory() + QStringLiteral("Trip.zip")));
    EXPECT_THAT(entries(archive), UnorderedElementsAre("Trip/beach.jpg", "Trip/day 2/sea.jpg"));
    EXPECT_EQ(contentsOf(archive, QStringLiteral("Trip/beach.jpg")), "sand");
    const QStringList runs = log.linesStartingWith(QStringLiteral("Archive Task: "));
    ASSERT_EQ(runs.size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_THAT(runs.first().toStdString(), ::testing::MatchesRegex(R"(Archive Task: <Task /usr/bin/zip pid [0-9]+> \(-r, -9, -x, "\*\.DS_Store", -D, .*/Trip\.zip, \./Trip\))"));
    EXPECT_TRUE(log.linesStartingWith(QStringLiteral("File exists at path: ")).isEmpty());
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
        return QStringLiteral("Archive on %1 at %2.zip").arg(when.toString(QStringLiteral("yyyy-MM-dd")), when.toString(QStringLiteral("HH-mm-ss")));
    };
    EXPECT_TRUE(name == stamp(before) || name == stamp(after)) << name.toStdString();
    EXPECT_EQ(QFileInfo(archive.toLocalFile()).absolutePath() + QLatin1Char('/'), temporaryDirectory());
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

TEST_F(ArchiverTest, AnArchiveMadeAgainHoldsOnlyTheNewEntries)
{
    const QString trip = folder(QStringLiteral("Trip"));
    write(QStringLiteral("Trip/old.txt"));
    const QUrl first = Archiver::zipFiles({trip});
    ASSERT_THAT(entries(first), ElementsAre("Trip/old.txt"));

    QFile::remove(trip + QStringLiteral("/old.txt"));
    write(QStringLiteral("Trip/new.txt"));
    ScopedLogCapture log;
    const QUrl second = Archiver::zipFiles({trip});

    EXPECT_EQ(second, first);
    EXPECT_THAT(entries(second), ElementsAre("Trip/new.txt"));
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("File exists at path: ")), QStringList{QStringLiteral("File exists at path: ") + first.toLocalFile()});
    EXPECT_TRUE(log.linesStartingWith(QStringLiteral("Could not delete")).isEmpty());

    // Whatever sits at the archive's path is replaced, a folder included.
    QFile::remove(second.toLocalFile());
    QDir().mkpath(second.toLocalFile() + QStringLiteral("/stale"));
    const QUrl third = Archiver::zipFiles({trip});
    EXPECT_TRUE(QFileInfo(third.toLocalFile()).isFile());
    EXPECT_THAT(entries(third), ElementsAre("Trip/new.txt"));
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

TEST_F(ArchiverTest, AMissingItemIsLoggedAndTheOthersAreStillZipped)
{
    const QString kept = write(QStringLiteral("kept.txt"));
    ScopedLogCapture log;
    const QUrl archive = Archiver::zipFiles({root.path() + QStringLiteral("/gone.txt"), kept});
    EXPECT_THAT(entries(archive), ElementsAre("kept.txt"));
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Archive: zip ended with status")).size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
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
        for (const QStringList& paths : {QStringList{QStringLiteral("/")}, QStringList{root.path() + QStringLiteral("/../../../../../../..")},
                                         QStringList{root.path() + QStringLiteral("/Trip"), QStringLiteral("/")}}) {
            EXPECT_TRUE(Archiver::zipFiles(paths).isEmpty()) << paths.join(QLatin1Char(' ')).toStdString();
        }
        qputenv("TMPDIR", tmp);
        EXPECT_EQ(log.linesStartingWith(QStringLiteral("Archive: refusing to zip ")).size(), 3) << log.lines().join(QLatin1Char('\n')).toStdString();
    }

    const QUrl archive = Archiver::zipFiles({root.path() + QStringLiteral("/Trip/")});
    EXPECT_EQ(QFileInfo(archive.toLocalFile()).fileName(), QStringLiteral("Trip.zip"));
    EXPECT_THAT(entries(archive), ElementsAre("Trip/beach.jpg"));
}
