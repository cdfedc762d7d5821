// The update check against a fixture feed: what the user is told for each kind of answer.
#include "../menubar/MenubarTestSupport.h"
#include "WindowsTestSupport.h"

#include "BrowserRecorder.h"
#include "app/lifecycle/AppcastFeed.h"
#include "app/lifecycle/Updater.h"
#include "platform/Bundle.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

namespace {

std::string feed(const std::vector<std::string>& versions)
{
    std::string xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://example.org/xml-namespaces/sparkle" xmlns:parcly="urn:parcly:update">
<channel><title>Parcly Lite</title><link>http://127.0.0.1:1/channel</link>
)";
    for (const std::string& version : versions)
        xml += "<item><title>Version " + version + "</title><link>http://127.0.0.1:1/download/" + version +
               "</link><enclosure url=\"http://127.0.0.1:1/p.tar.gz\" sparkle:shortVersionString=\"" + version + "\"/></item>\n";
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

    server.reply("GET", "/appcast.xml", {.body = feed({"0.9.12", "0.10"}), .contentType = "application/rss+xml"});
    auto [outcome, dialog] = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpToDate);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral(PARCLY_VERSION)));

    // "1.0" is the same version as "1.0.0".
    server.reply("GET", "/appcast.xml", {.body = feed({"1.0"}), .contentType = "application/rss+xml"});
    std::tie(outcome, dialog) = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpToDate);
    EXPECT_EQ(dialog->text(), QStringLiteral("You’re up to date!"));

    // Numbers compare as numbers: 1.0.10 is newer than 1.0.9, whatever the order of the items.
    server.reply("GET", "/appcast.xml", {.body = feed({"1.0.10", "1.0.9", "0.5"}), .contentType = "application/rss+xml"});
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
    EXPECT_EQ(requestsFor("GET", "/appcast.xml").size(), 3u);
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
        server.reply("GET", "/appcast.xml", answer);
        auto [outcome, dialog] = check();
        EXPECT_EQ(outcome, Updater::Outcome::Failed) << words;
        EXPECT_EQ(dialog->text(), QStringLiteral("Parcly Lite could not check for updates."));
        EXPECT_TRUE(dialog->informativeText().contains(QString::fromLatin1(words))) << dialog->informativeText().toStdString();
    }
    // Nobody listening at all.
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, QStringLiteral("http://127.0.0.1:1"));
    EXPECT_EQ(check().first, Updater::Outcome::Failed);
}

TEST_F(UpdateCheck, TheReferenceServiceFeedIsReadable)
{
    ReferenceService service({QStringLiteral("--client-version"), QStringLiteral("1.2.0")});
    ASSERT_FALSE(service.url.isEmpty());
    Defaults::standard().setValue(ServiceConfiguration::kWebURLKey, service.url);
    auto [outcome, dialog] = check();
    EXPECT_EQ(outcome, Updater::Outcome::UpdateAvailable);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral("1.2.0")));
}
