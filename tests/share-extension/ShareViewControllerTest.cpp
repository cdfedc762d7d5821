// The share sheet's controller in this process, with real files, the real zip and real worker
// threads: many loads complete at once and exactly the last one makes the archive.
#include "share-extension/ShareViewController.h"

#include "QtPrinters.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "shared/HandOffFolder.h"

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
        // Opening the hand-off URL reaches a recording stand-in, never a real desktop handler.
        qputenv("PATH", qgetenv("PARCLY_TEST_FAKE_BIN") + ":" + qgetenv("PATH"));
        qputenv("PARCLY_TEST_OPEN_LOG", openLog.toUtf8());
        QDir().mkpath(files);
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
    const QString openLog = QDir::homePath() + QStringLiteral("/opened.log");
};

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
        EXPECT_TRUE(archive.startsWith(shareHandOffDirectory() + QStringLiteral("Archive on "))) << archive.toStdString();
        EXPECT_THAT(archiveEntries(archive), UnorderedElementsAreArray(expected));
        EXPECT_TRUE(controller.problemText().isEmpty());
    }
}
