#include "MenubarTestSupport.h"

#include "ChildProcess.h"
#include "SessionBusEnvironment.h"
#include "platform/TemporaryDirectory.h"

#include "app/menubar/ParclyStatusMenu.h"
#include "platform/gui/Pasteboard.h"

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

// Notifications go to a notification server of the test's own, on a bus of its own.
const testing::Environment* const kBus = testing::AddGlobalTestEnvironment(new SessionBusEnvironment);

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

QStringList zipEntries(const std::string& body)
{
    const QString archive = QDir::home().filePath(QStringLiteral("received.zip"));
    writeFile(archive, QByteArray::fromStdString(body));
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    unzip.waitForFinished();
    QStringList entries = QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    entries.sort();
    return entries;
}

QByteArray pngBytes(QColor colour)
{
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class DropRoutes : public MenubarTest {
protected:
    void SetUp() override
    {
        MenubarTest::SetUp();
        server.reply("POST", "/files", {.body = R"({"title": "Dropped", "shortlink": "http://127.0.0.1:9/abc"})"});
        root = QDir::home().filePath(QStringLiteral("drops/")
                                     + QString::fromStdString(testing::UnitTest::GetInstance()->current_test_info()->name()));
    }

    void TearDown() override
    {
        // Uploads a case started end in that case: a late one would open its link, or count the
        // drops, in the next.
        EXPECT_TRUE(QTest::qWaitFor([&] { return controller().uploadsInProgress() == 0; }, 15000));
        QTest::qWait(300);
        MenubarTest::TearDown();
    }

    void drop(const QList<QUrl>& urls)
    {
        QMimeData data;
        data.setUrls(urls);
        EXPECT_TRUE(controller().performDragOperation(Pasteboard(&data)));
    }

    std::string uploadedName(const RecordedRequest& request) const
    {
        return QByteArray::fromBase64(QByteArray::fromStdString(request.header("x-parcly-filename"))).toStdString();
    }

    // The work folders in the app's temporary directory: one for each archive not yet done with.
    static QStringList workFolders()
    {
        return QDir(temporaryDirectory()).entryList({QStringLiteral("work-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QString root;
};

// --- Archives, and what cannot be shared --------------------------------------------------------

TEST_F(DropRoutes, AnArchiveGoesOnceItsUploadHasEndedWhileADroppedFileStays)
{
    writeFile(root + QStringLiteral("/Trip/day one.jpg"), "one");
    const QString notes = writeFile(root + QStringLiteral("/notes.txt"), "notes");
    drop({QUrl::fromLocalFile(root + QStringLiteral("/Trip"))});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    EXPECT_EQ(uploadedName(requestsFor("POST", "/files").back()), "Trip.zip");
    EXPECT_TRUE(QTest::qWaitFor([] { return workFolders().isEmpty(); }, 15000)) << workFolders().join(' ').toStdString();

    // A failed upload's archive goes too; the user's own files stay whatever happened.
    server.reply("POST", "/files", {.status = 500, .body = "{}"});
    drop({QUrl::fromLocalFile(root + QStringLiteral("/Trip")), QUrl::fromLocalFile(notes)});
    ASSERT_TRUE(waitForRequest("POST", "/files", 2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return item().imageName() == StatusItemController::kErrorImageName; }, 15000));
    EXPECT_TRUE(QTest::qWaitFor([] { return workFolders().isEmpty(); }, 15000)) << workFolders().join(' ').toStdString();
    // (That upload fails too, the service still answering 500.)
    drop({QUrl::fromLocalFile(notes)});
    ASSERT_TRUE(waitForRequest("POST", "/files", 3));
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller().uploadsInProgress() == 0; }, 15000));
    QTest::qWait(200);
    EXPECT_TRUE(QFile::exists(notes));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/Trip/day one.jpg")));
}

TEST_F(DropRoutes, WhatCannotBeSharedIsRefusedOrLeftOutAndTheUserIsTold)
{
    ChildProcess notifier;
    const QString notifications = QDir::home().filePath(QStringLiteral("notifications.jsonl"));
    notifier.process.start(QStringLiteral(FAKE_NOTIFICATION_SERVER), {QStringLiteral("--record"), notifications});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.process.canReadLine() || notifier.process.state() == QProcess::NotRunning; }, 10000));
    ASSERT_EQ(notifier.process.readLine().trimmed(), "ready");
    const auto notified = [&] { return notificationsIn(notifications); };
    const auto waitForNotification = [&](const QString& expected) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return notified().contains(expected); }, 15000)) << notified().join('\n').toStdString();
    };

    // A pipe, dropped alone or chosen in the file panel, is refused before anything is sent.
    QDir().mkpath(root + QStringLiteral("/Mixed/sub"));
    const QString pipe = root + QStringLiteral("/Mixed/sub/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    drop({QUrl::fromLocalFile(pipe)});
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);
    waitForNotification(QStringLiteral("Upload Failed: \"pipe\" is a named pipe: only files and folders can be shared."));
    Defaults::standard().setValue(ParclyStatusMenu::kHasShownSharePopKey, true);
    controller().setStatusItemState(StatusItemStateNormal);
    menu().file();
    ASSERT_TRUE(QTest::qWaitFor([] { return openPanel() != nullptr; }, 5000));
    openPanel()->selectFile(pipe);
    static_cast<QDialog*>(openPanel())->accept();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return notified().count(QStringLiteral("Upload Failed: \"pipe\" is a named pipe: only files and folders can be shared.")) == 2;
        },
        15000))
        << notified().join('\n').toStdString();
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);

    // Inside a folder it is left out of the archive, and the user hears which.
    writeFile(root + QStringLiteral("/Mixed/kept.txt"), "kept");
    drop({QUrl::fromLocalFile(root + QStringLiteral("/Mixed"))});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    EXPECT_EQ(zipEntries(requestsFor("POST", "/files").front().body), QStringList{"Mixed/kept.txt"});
    waitForNotification(QStringLiteral("Left Out of the Drop: \"Mixed/sub/pipe\" is not a file or folder, so it was left out."));

    // A folder that gives no archive says why.
    QDir().mkpath(root + QStringLiteral("/Empty"));
    drop({QUrl::fromLocalFile(root + QStringLiteral("/Empty"))});
    waitForNotification(QStringLiteral("Upload Failed: There are no files in \"Empty\" to put into an archive."));
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);
    EXPECT_EQ(requestsFor("POST", "/files").size(), 1u);
}

TEST_F(DropRoutes, OneFileIsUploadedAsItIs)
{
    const QString file = writeFile(root + QStringLiteral("/notes.txt"), "plain notes");
    drop({QUrl::fromLocalFile(file)});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    const RecordedRequest upload = requestsFor("POST", "/files").front();
    EXPECT_EQ(upload.body, "plain notes");
    EXPECT_EQ(uploadedName(upload), "notes.txt");
}

TEST_F(DropRoutes, OneFolderIsUploadedAsAnArchiveOfIt)
{
    writeFile(root + QStringLiteral("/Trip/day one.jpg"), "one");
    writeFile(root + QStringLiteral("/Trip/sub/day two.jpg"), "two");
    drop({QUrl::fromLocalFile(root + QStringLiteral("/Trip"))});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    const RecordedRequest upload = requestsFor("POST", "/files").front();
    EXPECT_EQ(uploadedName(upload), "Trip.zip");
    EXPECT_EQ(zipEntries(upload.body), (QStringList{"Trip/day one.jpg", "Trip/sub/day two.jpg"}));
}

TEST_F(DropRoutes, SeveralItemsAreUploadedAsOneArchive)
{
    const QString a = writeFile(root + QStringLiteral("/a/x.txt"), "x");
    writeFile(root + QStringLiteral("/b/Folder/y.txt"), "y");
    drop({QUrl::fromLocalFile(a), QUrl::fromLocalFile(root + QStringLiteral("/b/Folder"))});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    const RecordedRequest upload = requestsFor("POST", "/files").front();
    EXPECT_EQ(requestsFor("POST", "/files").size(), 1u);
    EXPECT_TRUE(QString::fromStdString(uploadedName(upload)).startsWith("Archive on "));
    EXPECT_EQ(zipEntries(upload.body), (QStringList{"Folder/y.txt", "x.txt"}));
}

TEST_F(DropRoutes, FilesWinOverImageData)
{
    const QString file = writeFile(root + QStringLiteral("/picture.png"), pngBytes(Qt::red));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    data.setData(QStringLiteral("image/png"), pngBytes(Qt::blue));
    controller().performDragOperation(Pasteboard(&data));
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    EXPECT_EQ(requestsFor("POST", "/files").front().body, pngBytes(Qt::red).toStdString());
}

TEST_F(DropRoutes, ADraggedImageIsUploadedUnderItsURLName)
{
    QMimeData data;
    data.setUrls({QUrl(QStringLiteral("https://example.org/gallery/cat.png?w=200"))});
    data.setData(QStringLiteral("image/png"), pngBytes(Qt::green));
    controller().performDragOperation(Pasteboard(&data));
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    const RecordedRequest upload = requestsFor("POST", "/files").front();
    EXPECT_EQ(uploadedName(upload), "cat.png");
    EXPECT_EQ(upload.body, pngBytes(Qt::green).toStdString());
}

TEST_F(DropRoutes, DropsWithNothingToUploadAreStillAccepted)
{
    QMimeData text;
    text.setText(QStringLiteral("just words"));
    EXPECT_TRUE(controller().performDragOperation(Pasteboard(&text)));
    QMimeData empty;
    EXPECT_TRUE(controller().performDragOperation(Pasteboard(&empty)));
    // Then a drop that does upload: once it has arrived, it must be the only one.
    drop({QUrl::fromLocalFile(writeFile(root + QStringLiteral("/real.txt"), "real"))});
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    QCoreApplication::processEvents();
    ASSERT_EQ(requestsFor("POST", "/files").size(), 1u);
    EXPECT_EQ(requestsFor("POST", "/files").front().body, "real");
}

// --- After the upload ---------------------------------------------------------------------------

TEST_F(DropRoutes, ACreatedDropIsAnnouncedOpenedCopiedAndCounted)
{
    const QString browserLog = QDir::home().filePath(QStringLiteral("created-browser.log"));
    qputenv("PARCLY_TEST_BROWSER_LOG", browserLog.toUtf8());
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    server.reply("POST", "/files", {.body = R"({"title": "notes.txt", "shortlink": "http://127.0.0.1:9/n0tes"})"});
    server.reply("GET", "/users/me", {.body = R"({"activeDrops": 12})"});
    controller().setStatusItemProgress(0.3);

    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(writeFile(root + QStringLiteral("/notes.txt"), "n")));
    ASSERT_TRUE(QTest::qWaitFor([] { return ParclyStatusMenu::instance().dropCount() == 12; }, 15000));
    EXPECT_EQ(item().imageName(), StatusItemController::kNormalImageName);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://127.0.0.1:9/n0tes");
    const QMimeData* clipboard = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(clipboard, nullptr);
    EXPECT_EQ(clipboard->urls(), QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:9/n0tes"))});
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(browserLog); }, 10000));
    QFile opened(browserLog);
    opened.open(QIODevice::ReadOnly);
    EXPECT_EQ(opened.readAll().trimmed(), "http://127.0.0.1:9/n0tes");
}

TEST_F(DropRoutes, AFailedUploadShowsTheErrorAndChangesNothingElse)
{
    QGuiApplication::clipboard()->setText(QStringLiteral("keep me"));
    ParclyStatusMenu::instance().setDropCount(3);
    server.reply("POST", "/files", {.status = 500, .body = "{}"});
    const size_t countsBefore = requestsFor("GET", "/users/me").size();

    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(writeFile(root + QStringLiteral("/doomed.txt"), "d")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return item().imageName() == StatusItemController::kErrorImageName; }, 15000));
    QTest::qWait(200);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "keep me");
    EXPECT_EQ(ParclyStatusMenu::instance().dropCount(), 3);
    EXPECT_EQ(requestsFor("GET", "/users/me").size(), countsBefore);
}

TEST_F(DropRoutes, AFailedUploadsErrorOutlastsTheOtherUploadsUntilANewOneStarts)
{
    // A slow upload is still on its way when a second one fails.
    server.reply("POST", "/files",
                 {.body = R"({"title": "slow.txt", "shortlink": "http://127.0.0.1:9/s10w"})", .delay = std::chrono::milliseconds(1500)});
    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(writeFile(root + QStringLiteral("/slow.txt"), "s")));
    ASSERT_TRUE(waitForRequest("POST", "/files"));
    server.reply("POST", "/files", {.status = 500, .body = "{}"});
    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(writeFile(root + QStringLiteral("/doomed.txt"), "d")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return item().imageName() == StatusItemController::kErrorImageName; }, 15000));

    // The slow one's success, and any late progress, leave the error shown.
    const size_t countsBefore = requestsFor("GET", "/users/me").size();
    ASSERT_TRUE(waitForRequest("GET", "/users/me", countsBefore + 1));
    controller().uploadDidReportProgress(0.5);
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);

    // A new upload starts afresh: its progress and success show.
    server.reply("POST", "/files", {.body = R"({"title": "next.txt", "shortlink": "http://127.0.0.1:9/n3xt"})"});
    const int updatesBefore = item().imageUpdateCount();
    ParclyStatusMenu::instance().uploadFile(QUrl::fromLocalFile(writeFile(root + QStringLiteral("/next.txt"), "n")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return item().imageName() == StatusItemController::kNormalImageName; }, 15000));
    EXPECT_GE(item().imageUpdateCount() - updatesBefore, 2);
}
