// The share sheet's controller in this process, with real files, the real zip and real worker
// threads: many loads complete at once and exactly the last one makes the archive. The tray app's
// side of the hand-off is a real single-instance listener in this process, answering as told.
#include "share-extension/ShareViewController.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "platform/TemporaryDirectory.h"
#include "shared/HandOffFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

namespace {

using ::testing::UnorderedElementsAreArray;

class ShareViewControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setTemporaryDirectorySubfolder(QString::fromLatin1(kShareHandOffSubfolder));
        QDir().mkpath(files);
        // This process is the running tray app: it takes the hand-off URLs and gives verdicts.
        ASSERT_EQ(app.claim({}), SingleInstance::Role::Primary);
        ASSERT_TRUE(app.listen([this](const QStringList& urls, const SingleInstance::Answer& answer) {
            QStringList verdicts;
            for (const QString& url : urls) {
                received.append(url);
                const QString path = QUrl(QUrl(url).query(QUrl::FullyDecoded).section(QLatin1Char('='), 1)).toLocalFile();
                verdicts.append(verdict ? verdict(path) : QString());
            }
            answer(verdicts);
        }));
    }
    void TearDown() override { ItemProvider::waitForPendingLoads(); }

    QString write(const QString& name)
    {
        QFile file(files + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name.toUtf8());
        return file.fileName();
    }

    const QString files = QDir::homePath() + QStringLiteral("/files");
    SingleInstance app;
    QStringList received;
    // What the app says of a handed-over path: empty to accept it.
    std::function<QString(const QString& path)> verdict;
};

QString linkTarget(const QString& path)
{
    char target[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof(target));
    return length < 0 ? QString() : QFile::decodeName(QByteArray(target, length));
}

QStringList archiveEntries(const QString& path)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), path});
    unzip.waitForFinished(10000);
    return QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

TEST_F(ShareViewControllerTest, ManyLoadsCompletingAtOnceMakeOneArchiveOfTheFilesThatLoaded)
{
    constexpr int kFiles = 40;
    QList<ItemProvider> attachments;
    QStringList expected;
    for (int i = 0; i < kFiles; ++i) {
        const QString name = QStringLiteral("item %1.txt").arg(i);
        attachments.append(ItemProvider(write(name)));
        expected.append(name);
        // Items that fail to load count as completions too.
        if (i % 15 == 7)
            attachments.append(ItemProvider(files + QStringLiteral("/gone %1.txt").arg(i)));
    }

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        ExtensionContext context({ExtensionItem(attachments)});
        ShareViewController controller(&context);
        controller.show();

        ASSERT_TRUE(QTest::qWaitFor([&] { return context.hasEnded(); }, 60000)) << log.lines().join('\n').toStdString();
        EXPECT_EQ(context.returnedItems(), context.inputItems());
        EXPECT_FALSE(context.cancellationError().has_value());
        EXPECT_EQ(log.linesStartingWith(QStringLiteral("Parcly Share: Load Item: ")).size(), 3);
        // One zip run per loaded file: the archive was made once, by one completion.
        EXPECT_EQ(log.linesStartingWith(QStringLiteral("Archive Task: ")).size(), kFiles);
        const QStringList opened = log.linesStartingWith(QStringLiteral("Open URL 2: "));
        ASSERT_EQ(opened.size(), 1);

        const QString handOff = QUrl(opened.first().mid(12)).query(QUrl::FullyDecoded).section(QLatin1Char('='), 1);
        const QString archive = QUrl(handOff).toLocalFile();
        EXPECT_TRUE(archive.startsWith(shareHandOffDirectory())) << archive.toStdString();
        EXPECT_TRUE(QFileInfo(archive).fileName().startsWith(QStringLiteral("Archive on "))) << archive.toStdString();
        EXPECT_THAT(archiveEntries(archive), UnorderedElementsAreArray(expected));
        EXPECT_TRUE(controller.problemText().isEmpty());
    }
}

TEST_F(ShareViewControllerTest, AFolderIsCopiedWithItsLinksAsLinksAndWithoutItsPipes)
{
    const QString folder = files + QStringLiteral("/proj");
    QDir().mkpath(folder + QStringLiteral("/src"));
    write(QStringLiteral("outside.txt"));
    QFile notes(folder + QStringLiteral("/src/notes.txt"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("notes");
    notes.close();
    ASSERT_TRUE(QFile::link(QStringLiteral("src/notes.txt"), folder + QStringLiteral("/relative")));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside.txt"), folder + QStringLiteral("/leaves")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/etc/hostname"), folder + QStringLiteral("/absolute")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder + QStringLiteral("/src/pipe")).constData(), 0600), 0);

    // What the app found when it was handed the copy, and its first refusal.
    QString copy;
    QStringList copiedEntries;
    verdict = [&](const QString& path) {
        copy = path;
        copiedEntries = QDir(path).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        return copiedEntries.isEmpty() ? QString() : QStringLiteral("not today");
    };
    {
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        ExtensionContext context({ExtensionItem({ItemProvider(folder)})});
        ShareViewController controller(&context);
        controller.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !copy.isEmpty(); }, 20000)) << log.lines().join('\n').toStdString();
        // Under its real name, in a work folder of its own inside the hand-off folder.
        EXPECT_EQ(QFileInfo(copy).fileName(), QStringLiteral("proj"));
        EXPECT_EQ(QFileInfo(QFileInfo(copy).path()).path() + QLatin1Char('/'), shareHandOffDirectory());
        EXPECT_THAT(copiedEntries, UnorderedElementsAreArray({"src", "relative", "leaves", "absolute"}));
        EXPECT_THAT(log.linesStartingWith(QStringLiteral("Parcly Share: left out: ")),
                    ::testing::ElementsAre(
                        QStringLiteral("Parcly Share: left out: \"pipe\" is a named pipe: only files and folders can be shared.")));

        // The app refused it: the request fails with the reason in the sheet, and the copy goes.
        ASSERT_TRUE(QTest::qWaitFor([&] { return context.hasEnded(); }, 20000));
        ASSERT_TRUE(context.cancellationError().has_value());
        EXPECT_EQ(context.cancellationError()->code, NSFileWriteUnknownError);
        EXPECT_TRUE(controller.problemText().contains(QStringLiteral("not today"))) << controller.problemText().toStdString();
        EXPECT_FALSE(QFileInfo::exists(QFileInfo(copy).path()));
    }
    EXPECT_EQ(received.size(), 1);
}

TEST_F(ShareViewControllerTest, LinksKeepTheirTargetsAsWrittenAndCancelStopsACopyAtOnce)
{
    const QString folder = files + QStringLiteral("/links");
    QDir().mkpath(folder + QStringLiteral("/deep"));
    write(QStringLiteral("outside.txt"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../../outside.txt"), folder + QStringLiteral("/deep/up")));
    ASSERT_TRUE(QFile::link(QStringLiteral("deep"), folder + QStringLiteral("/loop")));
    QString copy;
    verdict = [&](const QString& path) {
        copy = path;
        // Accepted only if the links are still links with the targets they had.
        const bool same = linkTarget(path + QStringLiteral("/deep/up")) == QStringLiteral("../../outside.txt")
            && linkTarget(path + QStringLiteral("/loop")) == QStringLiteral("deep");
        return same ? QString() : QStringLiteral("links changed");
    };
    {
        ExtensionContext context({ExtensionItem({ItemProvider(folder)})});
        ShareViewController controller(&context);
        controller.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return context.hasEnded(); }, 20000));
        EXPECT_FALSE(context.cancellationError().has_value()) << controller.problemText().toStdString();
        EXPECT_TRUE(QFileInfo::exists(copy));
    }

    // A file far too large to copy in a moment: Cancel ends the copy and removes what was made.
    const QString huge = files + QStringLiteral("/huge.bin");
    QFile file(huge);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(qint64(8) << 30));
    file.close();
    ExtensionContext context({ExtensionItem({ItemProvider(huge)})});
    ShareViewController controller(&context);
    controller.show();
    QString started;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QFileInfo& work : QDir(shareHandOffDirectory()).entryInfoList({QStringLiteral("work-*")}, QDir::Dirs))
                if (QFileInfo::exists(work.filePath() + QStringLiteral("/huge.bin")))
                    started = work.filePath();
            return !started.isEmpty();
        },
        20000));
    controller.cancel();
    EXPECT_TRUE(ItemProvider::waitForPendingLoads(5000)) << "the copy went on after Cancel";
    EXPECT_FALSE(QFileInfo::exists(started));
    EXPECT_EQ(received.size(), 1) << "the cancelled copy was handed off";
}
