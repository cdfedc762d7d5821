// Work folders on the real file system in the test's temporary HOME.
#include "shared/WorkFolder.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>

#include <sys/stat.h>

namespace {

QString writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(contents);
    return path;
}

void makeOld(const QString& path, std::chrono::hours age)
{
    std::filesystem::last_write_time(path.toStdString(), std::filesystem::file_time_type::clock::now() - age);
}

TEST(WorkFolder, EachIsFreshAndPrivateAndGoesWithWhatItHoldsButNeverWithWhatItsLinksName)
{
    // Work folders are removed only from the process's own private folder (or the hand-off one).
    const QString base = temporaryDirectory();
    ASSERT_FALSE(base.isEmpty());
    QTemporaryDir user(QDir::homePath() + QStringLiteral("/user-XXXXXX"));

    const QString first = WorkFolder::create(base);
    const QString second = WorkFolder::create(base);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_NE(first, second);
    EXPECT_TRUE(first.startsWith(base + QStringLiteral("work-")) && first.endsWith(QLatin1Char('/'))) << first.toStdString();
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(first).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    {
        ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
        EXPECT_TRUE(WorkFolder::create(QString()).isEmpty());
        EXPECT_TRUE(WorkFolder::create(user.path()).isEmpty()) << "a parent without its trailing slash";
    }

    // A link inside leads to the user's own files: removing the folder removes the link alone.
    const QString kept = writeFile(user.path() + QStringLiteral("/kept.txt"), "mine");
    ASSERT_TRUE(QFile::link(user.path(), first + QStringLiteral("user")));
    const QString archive = writeFile(first + QStringLiteral("Trip.zip"), "zip");
    EXPECT_TRUE(WorkFolder::removeContaining(archive));
    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_TRUE(QFile::exists(kept));
    EXPECT_TRUE(QFileInfo::exists(second));

    // What lies in no work folder of its own is left alone.
    EXPECT_FALSE(WorkFolder::removeContaining(kept));
    EXPECT_FALSE(WorkFolder::removeContaining(second + QStringLiteral("deeper/Trip.zip")));
    EXPECT_TRUE(QFileInfo::exists(second));
    EXPECT_TRUE(QFile::exists(kept));

    // A user's own folder that happens to look like a work folder is not ours to remove.
    const QString lookalike = WorkFolder::create(user.path() + QLatin1Char('/'));
    ASSERT_FALSE(lookalike.isEmpty());
    const QString own = writeFile(lookalike + QStringLiteral("notes.txt"), "mine");
    EXPECT_FALSE(WorkFolder::removeContaining(own));
    EXPECT_TRUE(QFile::exists(own));
}

TEST(WorkFolder, ASweepRemovesOnlyOldWorkFolders)
{
    QTemporaryDir parent(QDir::homePath() + QStringLiteral("/private-XXXXXX"));
    QTemporaryDir user(QDir::homePath() + QStringLiteral("/user-XXXXXX"));
    const QString base = parent.path() + QLatin1Char('/');
    const QString old = WorkFolder::create(base);
    const QString recent = WorkFolder::create(base);
    writeFile(old + QStringLiteral("left.zip"), "left over");
    writeFile(recent + QStringLiteral("busy.zip"), "in use");
    makeOld(old, std::chrono::hours(48));
    // Old things that are no work folder of ours: a link named like one, other names.
    const QString userFile = writeFile(user.path() + QStringLiteral("/mine.txt"), "mine");
    makeOld(user.path(), std::chrono::hours(48));
    ASSERT_TRUE(QFile::link(user.path(), base + QStringLiteral("work-Linked")));
    QDir().mkpath(base + QStringLiteral("work-short"));
    makeOld(base + QStringLiteral("work-short"), std::chrono::hours(48));
    writeFile(base + QStringLiteral("work-AFILE1"), "a file");

    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    EXPECT_EQ(WorkFolder::sweep(base, std::chrono::hours(24)), 1);
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFile::exists(recent + QStringLiteral("busy.zip")));
    EXPECT_TRUE(QFile::exists(userFile));
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("work-Linked")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral("work-short")));
    EXPECT_TRUE(QFile::exists(base + QStringLiteral("work-AFILE1")));
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Work folder: removed ")).size(), 1);
}

} // namespace
