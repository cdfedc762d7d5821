// The screenshot query on real folders in the test's temporary HOME, found through a real
// user-dirs.dirs, with real inotify events.
#include "platform/MetadataQuery.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>

namespace {

using ::testing::ElementsAre;

struct Posted {
    QString name;
    MetadataQuery* object;
    qsizetype resultCount;
};

class MetadataQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A Pictures folder of its own for every test, the way the desktop configures it.
        static int serial = 0;
        pictures = QDir::homePath() + QStringLiteral("/Bilder %1").arg(++serial);
        QFile dirs(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("# written by the test\nXDG_PICTURES_DIR=\"$HOME/" + QFileInfo(pictures).fileName().toUtf8() + "\"\n");
        dirs.close();
        ASSERT_EQ(MetadataQuery::searchFolders(), (QStringList{pictures, pictures + QStringLiteral("/Screenshots")}));

        for (const char* name : {kMetadataQueryDidStartGatheringNotification, kMetadataQueryDidUpdateNotification,
                                 kMetadataQueryDidFinishGatheringNotification}) {
            observers.push_back(std::make_unique<ScopedObserver>(QString::fromLatin1(name), [this](const Notification& notification) {
                auto* object = notification.object.value<MetadataQuery*>();
                posted.push_back({notification.name, object, object ? object->resultCount() : -1});
            }));
        }
    }

    QString write(const QString& relativePath, const QByteArray& contents = "\x89PNG")
    {
        const QString path = pictures + QLatin1Char('/') + relativePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(contents);
        return path;
    }

    QStringList names() const
    {
        QStringList found;
        for (const MetadataItem& item : query.results())
            found.append(item.valueForAttribute(QString::fromLatin1(kMetadataItemFSNameKey)).toString());
        return found;
    }

    bool waitForNames(const QStringList& expected)
    {
        return QTest::qWaitFor([&] { return names() == expected; }, 5000);
    }

    std::vector<QString> postedNames() const
    {
        std::vector<QString> list;
        for (const Posted& p : posted)
            list.push_back(p.name);
        return list;
    }

    void start()
    {
        query.setPredicate(QString::fromLatin1(kScreenCapturePredicate));
        ASSERT_TRUE(query.startQuery());
        ASSERT_TRUE(query.isGathering());
        ASSERT_TRUE(posted.empty()) << "gathering reports from the event loop, not from startQuery()";
        ASSERT_TRUE(QTest::qWaitFor([this] { return !query.isGathering(); }, 5000));
    }

    // Waits until the clock has moved past the last file's creation, so creation dates differ.
    // File times come from the kernel's coarse clock, which moves in ticks of a few milliseconds:
    // files written within one tick share a time. Wait until the next tick.
    static void nextMillisecond() { QThread::msleep(25); }

    QString pictures;
    std::vector<Posted> posted;
    std::vector<std::unique_ptr<ScopedObserver>> observers;
    MetadataQuery query;
};

TEST(MetadataQueryNames, TheDesktopToolsNamesCountAndOthersDoNot)
{
    for (const char* name :
         {"Screenshot from 2026-12-07 14-02-11.png", "Screenshot From 2026-12-07 14-02-11.png", "Screenshot from 2026-12-07 14-02-11-2.png",
          "Screenshot from 2026-12-07 14-02-11 - 2.png", "Screenshot 2026-12-07 at 14-02-11.png", "Screenshot_20261207_140211.png",
          "Screenshot_20261207_140211-1.png", "Screenshot_2026-12-07_14-02-11.png", "2026-12-07_14-02.png", "2026-12-07_14-02-11.png",
          "2026-12-07_14-02_1.png"})
        EXPECT_TRUE(MetadataQuery::isScreenshotName(QString::fromUtf8(name), false)) << name;
    for (const char* name : {"holiday.png", "Screenshot from 2026-12-07 14-02-11.jpg", "Screencast from 2026-12-07 14-02-11.webm",
                             "Screenshot from 2026-12-07 14-02-11.png.part", "Screenshot_2026120_140211.png", "2026-12-07.png",
                             "Bildschirmfoto vom 2026-12-07 14-02-11.png"})
        EXPECT_FALSE(MetadataQuery::isScreenshotName(QString::fromUtf8(name), false)) << name;
    // In the folder kept for screenshots, GNOME's translated names count too.
    EXPECT_TRUE(MetadataQuery::isScreenshotName(QStringLiteral("Bildschirmfoto vom 2026-12-07 14-02-11.png"), true));
    EXPECT_FALSE(MetadataQuery::isScreenshotName(QStringLiteral("Urlaub.png"), true));
}

TEST_F(MetadataQueryTest, GatheringListsTheScreenshotsAlreadyThereOldestFirst)
{
    write(QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"));
    nextMillisecond();
    write(QStringLiteral("Screenshots/Screenshot_20261207_140300.png"));
    write(QStringLiteral("holiday.png"));
    write(QStringLiteral("Screenshot_20261207_140400.jpg"));
    QDir().mkpath(pictures + QStringLiteral("/Screenshot_20261207_140500.png"));
    QFile::link(pictures + QStringLiteral("/holiday.png"), pictures + QStringLiteral("/Screenshot_20261207_140600.png"));
    write(QStringLiteral("Elsewhere/Screenshot_20261207_140700.png"));
    start();

    EXPECT_THAT(postedNames(), ElementsAre(kMetadataQueryDidStartGatheringNotification, kMetadataQueryDidFinishGatheringNotification));
    for (const Posted& p : posted)
        EXPECT_EQ(p.object, &query);
    EXPECT_EQ(posted.back().resultCount, 2) << "the list is complete when gathering finishes";
    EXPECT_EQ(names(),
              (QStringList{QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"), QStringLiteral("Screenshot_20261207_140300.png")}));

    const MetadataItem newest = query.results().last();
    EXPECT_EQ(newest.valueForAttribute(QString::fromLatin1(kMetadataItemPathKey)).toString(),
              pictures + QStringLiteral("/Screenshots/Screenshot_20261207_140300.png"));
    const QDateTime created = newest.valueForAttribute(QString::fromLatin1(kMetadataItemFSCreationDateKey)).toDateTime();
    EXPECT_LE(qAbs(created.secsTo(QDateTime::currentDateTime())), 5);
    EXPECT_GT(created, query.results().first().creationDate());
}

TEST_F(MetadataQueryTest, AFileIsListedOnceCompleteAndFollowsRenamesAndRemovals)
{
    QDir().mkpath(pictures);
    start();
    posted.clear();

    const QString first = write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png")}));
    EXPECT_EQ(posted.back().name, kMetadataQueryDidUpdateNotification);
    EXPECT_EQ(posted.back().object, &query);
    const QDateTime firstCreated = query.results().first().creationDate();

    // Still being written: not listed, even after a later file's events have been handled.
    QFile writing(pictures + QStringLiteral("/Screenshot_20261207_140212.png"));
    ASSERT_TRUE(writing.open(QIODevice::WriteOnly));
    writing.write("\x89PNG half");
    writing.flush();
    nextMillisecond();
    write(QStringLiteral("Screenshot_20261207_140213.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png"), QStringLiteral("Screenshot_20261207_140213.png")}));
    writing.write(" and the rest");
    writing.close();
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png"), QStringLiteral("Screenshot_20261207_140212.png"),
                              QStringLiteral("Screenshot_20261207_140213.png")}));

    // A rename shows the new name only; the file keeps its creation date and place in the list.
    ASSERT_TRUE(QFile::rename(first, pictures + QStringLiteral("/Screenshot from 2026-12-07 14-02-11.png")));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"), QStringLiteral("Screenshot_20261207_140212.png"),
                              QStringLiteral("Screenshot_20261207_140213.png")}));
    EXPECT_EQ(query.results().first().creationDate(), firstCreated);

    QFile::remove(pictures + QStringLiteral("/Screenshot_20261207_140212.png"));
    // Renamed away to a name that is no screenshot's.
    QFile::rename(pictures + QStringLiteral("/Screenshot_20261207_140213.png"), pictures + QStringLiteral("/kept.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot from 2026-12-07 14-02-11.png")}));

    // Saved the way most tools save: a temporary name, then renamed into place.
    const QString temporary = write(QStringLiteral(".goutputstream-XYZ123"));
    QFile::rename(temporary, pictures + QStringLiteral("/2026-12-07_14-05.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"), QStringLiteral("2026-12-07_14-05.png")}));

    for (const Posted& p : posted) {
        EXPECT_EQ(p.name, kMetadataQueryDidUpdateNotification);
        EXPECT_EQ(p.object, &query);
    }
}

TEST_F(MetadataQueryTest, AFileFoundWhileBeingWrittenWaitsUntilItIsComplete)
{
    // Two screenshots still being written when the query starts and looks at the folder: one
    // whose writer closes it later, one whose writer keeps it open but has stopped writing.
    QDir().mkpath(pictures);
    QFile closedLater(pictures + QStringLiteral("/Screenshot_20261207_140211.png"));
    QFile leftOpen(pictures + QStringLiteral("/Screenshot_20261207_140212.png"));
    for (QFile* file : {&closedLater, &leftOpen}) {
        ASSERT_TRUE(file->open(QIODevice::WriteOnly));
        file->write("\x89PNG first half");
        file->flush();
    }
    start();
    EXPECT_TRUE(names().isEmpty()) << "listed while still being written";

    // Still growing: not listed while it does.
    QElapsedTimer growing;
    growing.start();
    while (growing.elapsed() < 2 * MetadataQuery::kSettleMs) {
        closedLater.write(" more");
        closedLater.flush();
        QTest::qWait(100);
        ASSERT_FALSE(names().contains(closedLater.fileName().section(u'/', -1)));
    }
    EXPECT_EQ(names(), QStringList{QStringLiteral("Screenshot_20261207_140212.png")}) << "the one whose size settled";
    closedLater.close();
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png"), QStringLiteral("Screenshot_20261207_140212.png")}));
    EXPECT_EQ(posted.back().name, kMetadataQueryDidUpdateNotification);
}

TEST_F(MetadataQueryTest, EmptyFilesWaitAndSavedOverScreenshotsKeepTheirDate)
{
    QDir().mkpath(pictures);
    start();

    // A tool that creates the file and closes it before writing the picture.
    write(QStringLiteral("Screenshot_20261207_140211.png"), QByteArray());
    write(QStringLiteral("Screenshot_20261207_140212.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140212.png")}));
    write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png"), QStringLiteral("Screenshot_20261207_140212.png")}));

    // An editor saves the older one by writing a new file and renaming it over the old.
    const QDateTime taken = query.results().first().creationDate();
    nextMillisecond();
    const QString saved = write(QStringLiteral("edited.tmp"));
    const QString original = pictures + QStringLiteral("/Screenshot_20261207_140211.png");
    ASSERT_EQ(std::rename(QFile::encodeName(saved).constData(), QFile::encodeName(original).constData()), 0);
    write(QStringLiteral("Screenshot_20261207_140213.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png"), QStringLiteral("Screenshot_20261207_140212.png"),
                              QStringLiteral("Screenshot_20261207_140213.png")}));
    EXPECT_EQ(query.results().first().name(), QStringLiteral("Screenshot_20261207_140211.png"));
    EXPECT_EQ(query.results().first().creationDate(), taken);
}

TEST_F(MetadataQueryTest, FoldersMadeAfterTheStartAreWatchedAndTheirRemovalIsSeen)
{
    start(); // neither Pictures nor Screenshots exists yet
    EXPECT_TRUE(names().isEmpty());

    QDir().mkpath(pictures + QStringLiteral("/Screenshots"));
    write(QStringLiteral("Screenshots/Screenshot from 2026-12-07 14-02-11.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot from 2026-12-07 14-02-11.png")}));
    write(QStringLiteral("Screenshots/Screenshot from 2026-12-07 14-02-12.png"));
    ASSERT_TRUE(waitForNames(
        {QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"), QStringLiteral("Screenshot from 2026-12-07 14-02-12.png")}));

    ASSERT_TRUE(QDir(pictures + QStringLiteral("/Screenshots")).removeRecursively());
    ASSERT_TRUE(waitForNames({}));

    // And made again.
    write(QStringLiteral("Screenshots/Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png")}));
}

TEST_F(MetadataQueryTest, LostEventsAreMadeUpForByLookingAgain)
{
    QDir().mkpath(pictures);
    start();
    // More events than the kernel queues (16384 by default) before the query reads any, so the
    // screenshot's own events are dropped.
    QFile limitFile(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    ASSERT_TRUE(limitFile.open(QIODevice::ReadOnly));
    const int queued = limitFile.readAll().trimmed().toInt();
    ASSERT_GT(queued, 0);
    for (int i = 0; i < queued / 2 + 100; ++i)
        write(QStringLiteral("junk-%1.txt").arg(i), QByteArray());
    write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitForNames({QStringLiteral("Screenshot_20261207_140211.png")}));
}

TEST_F(MetadataQueryTest, AnyOtherPredicateIsRefusedWithALogLine)
{
    ScopedLogCapture log;
    query.setPredicate(QStringLiteral("kMDItemContentType = 'public.png'"));
    EXPECT_FALSE(query.startQuery());
    EXPECT_FALSE(query.isStarted());
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().contains(QStringLiteral("kMDItemContentType = 'public.png'")));
}

} // namespace
