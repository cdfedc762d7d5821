#include "MenubarTestSupport.h"

#include "app/menubar/ParclyStatusMenu.h"
#include "platform/gui/Pasteboard.h"

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>

namespace {

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
        root = QDir::home().filePath(QStringLiteral("drops/") + QString::fromStdString(testing::UnitTest::GetInstance()->current_test_info()->name()));
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

    QString root;
};

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
    EXPECT_EQ(zipEntries(upload.body), (QStringList {"Trip/day one.jpg", "Trip/sub/day two.jpg"}));
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
    EXPECT_EQ(zipEntries(upload.body), (QStringList {"Folder/y.txt", "x.txt"}));
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
    EXPECT_EQ(clipboard->urls(), QList<QUrl> {QUrl(QStringLiteral("http://127.0.0.1:9/n0tes"))});
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
    server.reply("POST", "/files", {.body = R"({"title": "slow.txt", "shortlink": "http://127.0.0.1:9/s10w"})", .delay = std::chrono::milliseconds(1500)});
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
