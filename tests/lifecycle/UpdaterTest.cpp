// The update check against a fixture feed: what the user is told for each kind of answer.
#include "../menubar/MenubarTestSupport.h"
#include "WindowsTestSupport.h"

#include "BrowserRecorder.h"
#include "app/lifecycle/AppcastFeed.h"
#include "app/lifecycle/Updater.h"
#include "platform/Bundle.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

std::string feed(const std::vector<std::string>& versions)
{
    std::string xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://example.org/xml-namespaces/sparkle" xmlns:parcly="urn:parcly:update">
<channel><title>Parcly Lite</title><link>http://127.0.0.1:1/channel</link>
)";
    for (const std::string& version : versions)
        xml += "<item><title>Version " + version + "</title><link>http://127.0.0.1:1/download/" + version
            + "</link><enclosure url=\"http://127.0.0.1:1/p.tar.gz\" sparkle:shortVersionString=\"" + version + "\"/></item>\n";
    return xml + "</channel></rss>\n";
}

class UpdateCheck : public MenubarTest {
protected:
    void SetUp() override
    {
        MenubarTest::SetUp();
        Bundle::setMainBundlePath(QStringLiteral(PARCLY_BUNDLE_DIR));
        Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, server.baseURL());
        Defaults::standard().synchronize();
    }
    void TearDown() override { Bundle::setMainBundlePath({}); }

    // Runs one check; the dialog it left open, and what it concluded.
    std::pair<Updater::Outcome, QMessageBox*> check()
    {
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates();
        updater.checkForUpdates(); // a second click while the first is on its way changes nothing
        EXPECT_TRUE(finished.wait(15000));
        QTest::qWait(100);
        EXPECT_EQ(finished.size(), 1);
        EXPECT_TRUE(updater.dialog() && updater.dialog()->isVisible());
        return {finished.value(0).value(0).value<Updater::Outcome>(), updater.dialog()};
    }

    Updater updater;
};

} // namespace

TEST_F(UpdateCheck, OlderOrEqualVersionsAreUpToDateAndANewerOneOffersItsPage)
{
    ASSERT_EQ(Updater::currentVersion(), QStringLiteral(PARCLY_VERSION));

    server.reply("GET", "/lite/appcast.xml", {.body = feed({"0.9.12", "0.10"}), .contentType = "application/rss+xml"});
    auto [outcome, dialog] = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpToDate);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral(PARCLY_VERSION)));

    // "1.0" is the same version as "1.0.0".
    server.reply("GET", "/lite/appcast.xml", {.body = feed({"1.0"}), .contentType = "application/rss+xml"});
    std::tie(outcome, dialog) = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpToDate);
    EXPECT_EQ(dialog->text(), QStringLiteral("You’re up to date!"));

    // Numbers compare as numbers: 1.0.10 is newer than 1.0.9, whatever the order of the items.
    server.reply("GET", "/lite/appcast.xml", {.body = feed({"1.0.10", "1.0.9", "0.5"}), .contentType = "application/rss+xml"});
    std::tie(outcome, dialog) = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpdateAvailable);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral("1.0.10"))) << dialog->informativeText().toStdString();
    screenshot(QStringLiteral("update-available"));
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});
    auto* download = dialog->findChild<QPushButton*>(QStringLiteral("download"));
    ASSERT_NE(download, nullptr);
    download->click();
    EXPECT_EQ(browser.waitForCalls(1), QStringList{QStringLiteral("http://127.0.0.1:1/download/1.0.10")});
    EXPECT_EQ(requestsFor("GET", "/lite/appcast.xml").size(), 3u);
}

TEST_F(UpdateCheck, AFeedThatCannotBeFetchedOrReadIsSaidInTheDialog)
{
    const std::vector<std::pair<CannedReply, const char*>> answers = {
        {{.status = 404, .body = "<html>not here</html>", .contentType = "text/html"}, "status 404"},
        {{.dropConnection = true}, "failed"},
        {{.body = "<rss><channel><item><title>", .contentType = "application/rss+xml"}, "not readable XML"},
        {{.body = "<html><body>Parcly</body></html>", .contentType = "text/html"}, "not an update feed"},
        {{.body = feed({"soon"}), .contentType = "application/rss+xml"}, "no version in the feed is readable"},
    };
    for (const auto& [answer, words] : answers) {
        server.reply("GET", "/lite/appcast.xml", answer);
        auto [outcome, dialog] = check();
        EXPECT_EQ(outcome, Updater::Outcome::Failed) << words;
        EXPECT_EQ(dialog->text(), QStringLiteral("Parcly Lite could not check for updates."));
        EXPECT_TRUE(dialog->informativeText().contains(QString::fromLatin1(words))) << dialog->informativeText().toStdString();
    }
    // Nobody listening at all.
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, QStringLiteral("http://127.0.0.1:1"));
    EXPECT_EQ(check().first, Updater::Outcome::Failed);
}

TEST_F(UpdateCheck, TheReferenceServiceIsAskedAboutParclyLiteNotTheFullClient)
{
    // The full client's version is far ahead; Parcly Lite's own is this build's.
    ReferenceService service({QStringLiteral("--client-version"), QStringLiteral("7.3.0")});
    ASSERT_FALSE(service.url.isEmpty());
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, service.url);
    auto [outcome, dialog] = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpToDate) << dialog->informativeText().toStdString();
    EXPECT_FALSE(dialog->informativeText().contains(QStringLiteral("7.3.0")));

    ReferenceService newer(
        {QStringLiteral("--client-version"), QStringLiteral("7.3.0"), QStringLiteral("--lite-version"), QStringLiteral("1.2.0")});
    ASSERT_FALSE(newer.url.isEmpty());
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, newer.url);
    std::tie(outcome, dialog) = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpdateAvailable);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral("Parcly Lite 1.2.0 is out"))) << dialog->informativeText().toStdString();
}

TEST_F(UpdateCheck, TheServicesTextIsShownAsTextAndOffersNoLink)
{
    // A service whose 503 carries markup in its reason phrase: a link to a local file and an image.
    const QString image = QDir::home().filePath(QStringLiteral("local.png"));
    QImage(40, 40, QImage::Format_RGB32).save(image);
    const QByteArray reason = "<b>Down</b> <a href=\"file:///etc/passwd\">details</a> <img src=\"file://" + image.toUtf8() + "\">";
    QTcpServer service;
    ASSERT_TRUE(service.listen(QHostAddress::LocalHost));
    QObject::connect(&service, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = service.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, reason] {
            if (!socket->readAll().contains("\r\n\r\n"))
                return;
            socket->write("HTTP/1.1 503 " + reason + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
    });
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, QStringLiteral("http://127.0.0.1:%1").arg(service.serverPort()));
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});
    // Earlier checks' dialogs would hide this one from the screenshot.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(window))
            window->close();
    }

    auto [outcome, dialog] = check();
    EXPECT_EQ(outcome, Updater::Outcome::Failed);
    auto* details = dialog->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_NE(details, nullptr);
    EXPECT_TRUE(details->text().contains(QString::fromUtf8(reason))) << details->text().toStdString();
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
        EXPECT_FALSE(label->textInteractionFlags() & Qt::LinksAccessibleByMouse) << label->objectName().toStdString();
    }
    screenshot(QStringLiteral("update-check-rich-503"));
    // Clicking where the link's words are opens nothing.
    QTest::mouseClick(details, Qt::LeftButton, {}, QPoint(details->width() / 2, details->height() / 2));
    EXPECT_EQ(dialog->findChildren<QPushButton*>().size(), 1) << "only OK: no download button for a failed check";
    EXPECT_EQ(browser.waitForCalls(1, 1000), QStringList());
}
