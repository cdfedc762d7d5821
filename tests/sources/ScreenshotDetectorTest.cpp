// The screenshot watcher on real screenshots saved into a real Pictures folder in the test's
// temporary HOME. Only the clock is ours to move, because a file's birth time cannot be set.
#include "app/sources/ScreenshotDetector.h"

#include "QtPrinters.h"
#include "platform/DefaultsController.h"
#include "platform/MetadataQuery.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

namespace {

const QString kSetting = QStringLiteral("values.uploadAllScreenshots");

class ScreenshotDetectorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        pictures = QDir::homePath() + QStringLiteral("/Pictures-%1").arg(++serial);
        QDir().mkpath(pictures);
        QFile dirs(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_PICTURES_DIR=\"" + pictures.toUtf8() + "\"\n");
        dirs.close();

        // What the app registers at launch; nothing stored yet.
        DefaultsController& defaults = DefaultsController::sharedUserDefaultsController();
        defaults.setInitialValues({{QStringLiteral("uploadAllScreenshots"), true}});
        defaults.setValueForKeyPath(QVariant(), kSetting);

        detector.setScreenshotTaken([this](const QUrl& url) { reported.append(url.toLocalFile()); });
    }

    QString write(const QString& name)
    {
        // Files made in one go get distinct creation dates, so "newest" is never a tie.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        while (QDateTime::currentMSecsSinceEpoch() <= now + 1) { }
        const QString path = pictures + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\x89PNG");
        return path;
    }

    bool listed(const QString& name) const
    {
        for (const MetadataItem& item : detector.query()->results()) {
            if (item.name() == name)
                return true;
        }
        return false;
    }

    bool waitUntilListed(const QString& name, bool expected = true)
    {
        return QTest::qWaitFor([&] { return listed(name) == expected; }, 5000);
    }

    // Starts watching and waits for the first gathering, which reports from the event loop.
    void watch()
    {
        detector.watch();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !detector.query()->isGathering(); }, 5000));
    }

    bool waitForReports(const QStringList& expected)
    {
        return QTest::qWaitFor([&] { return reported.size() >= expected.size(); }, 5000) && reported == expected;
    }

    QString pictures;
    QStringList reported;
    ScreenshotDetector detector;
};

TEST_F(ScreenshotDetectorTest, EachNewScreenshotIsReportedOnce)
{
    const QString before = write(QStringLiteral("Screenshot from 2026-12-07 14-02-10.png"));
    const QString atStart = write(QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"));
    watch();
    // Gathering started and finished, both notified: the newest fresh one is reported once.
    EXPECT_EQ(reported, QStringList{atStart});
    EXPECT_EQ(detector.lastShot(), QStringLiteral("Screenshot from 2026-12-07 14-02-11.png"));

    const QString shot = write(QStringLiteral("Screenshot_20261207_140212.png"));
    ASSERT_TRUE(waitForReports({atStart, shot}));

    // A later update with the same newest screenshot reports nothing more.
    QFile::remove(before);
    ASSERT_TRUE(waitUntilListed(QFileInfo(before).fileName(), false));
    EXPECT_EQ(reported, (QStringList{atStart, shot}));
}

TEST_F(ScreenshotDetectorTest, OnlyScreenshotsFromTheLastTenSecondsCount)
{
    QDateTime now = QDateTime::currentDateTime().addSecs(60);
    detector.setClock([&now] { return now; });
    const QString shot = write(QStringLiteral("Screenshot_20261207_140211.png"));
    watch();
    EXPECT_TRUE(reported.isEmpty());
    const QDateTime created = detector.query()->results().last().creationDate();

    const Notification update{QString::fromLatin1(kMetadataQueryDidUpdateNotification), QVariant::fromValue(detector.query().get()), {}};
    now = created.addSecs(10); // exactly ten seconds old: too old
    detector.queryUpdated(update);
    EXPECT_TRUE(reported.isEmpty());
    EXPECT_TRUE(detector.lastShot().isEmpty());

    now = created.addMSecs(9999);
    detector.queryUpdated(update);
    EXPECT_EQ(reported, QStringList{shot});
}

TEST_F(ScreenshotDetectorTest, ARenamedScreenshotIsReportedAgainUnderItsNewName)
{
    watch();
    const QString shot = write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitForReports({shot}));
    const QString renamed = pictures + QStringLiteral("/Screenshot from 2026-12-07 14-02-11.png");
    ASSERT_TRUE(QFile::rename(shot, renamed));
    ASSERT_TRUE(waitForReports({shot, renamed}));
}

TEST_F(ScreenshotDetectorTest, WithTheSettingOffNothingIsReportedNorLaterBroughtBack)
{
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(false, kSetting);
    QDateTime now = QDateTime::currentDateTime();
    detector.setClock([&now] { return now; });
    const QString older = write(QStringLiteral("Screenshot_20261207_140210.png"));
    watch();
    write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(waitUntilListed(QStringLiteral("Screenshot_20261207_140211.png")));
    EXPECT_TRUE(reported.isEmpty());
    EXPECT_TRUE(detector.lastShot().isEmpty());

    // On again once that screenshot is 11 seconds old; the next update must not bring it back.
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(true, kSetting);
    now = QDateTime::currentDateTime().addSecs(11);
    QFile::remove(older);
    ASSERT_TRUE(waitUntilListed(QFileInfo(older).fileName(), false));
    EXPECT_TRUE(reported.isEmpty());

    // A new one is reported as usual.
    now = QDateTime::currentDateTime();
    const QString fresh = write(QStringLiteral("Screenshot_20261207_140212.png"));
    ASSERT_TRUE(waitForReports({fresh}));
}

TEST_F(ScreenshotDetectorTest, OfScreenshotsArrivingTogetherOnlyTheNewestIsReported)
{
    watch();
    // Both are saved before the event loop runs again, so one update carries both.
    write(QStringLiteral("Screenshot_20261207_140211.png"));
    const QString newer = write(QStringLiteral("Screenshot_20261207_140212.png"));
    ASSERT_TRUE(waitUntilListed(QStringLiteral("Screenshot_20261207_140212.png")));
    ASSERT_TRUE(listed(QStringLiteral("Screenshot_20261207_140211.png")));
    EXPECT_EQ(reported, QStringList{newer});
}

TEST_F(ScreenshotDetectorTest, AScreenshotStillBeingWrittenIsReportedOnlyOnceComplete)
{
    const QString older = write(QStringLiteral("Screenshot_20261207_140210.png"));
    const QString first = write(QStringLiteral("Screenshot_20261207_140211.png"));
    watch();
    ASSERT_EQ(reported, QStringList{first});

    QFile writing(pictures + QStringLiteral("/Screenshot_20261207_140212.png"));
    ASSERT_TRUE(writing.open(QIODevice::WriteOnly));
    writing.write("\x89PNG first half");
    writing.flush();
    // An update handled after the partial write: the half-written file would be the newest.
    QFile::remove(older);
    ASSERT_TRUE(waitUntilListed(QFileInfo(older).fileName(), false));
    EXPECT_EQ(reported, QStringList{first});

    writing.write(" second half");
    writing.close();
    ASSERT_TRUE(waitForReports({first, writing.fileName()}));
}

TEST_F(ScreenshotDetectorTest, WithoutACallbackTheScreenshotIsStillTakenAsSeen)
{
    detector.setScreenshotTaken(nullptr);
    watch();
    write(QStringLiteral("Screenshot_20261207_140211.png"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return detector.lastShot() == QStringLiteral("Screenshot_20261207_140211.png"); }, 5000));
    EXPECT_TRUE(reported.isEmpty());
}

} // namespace
