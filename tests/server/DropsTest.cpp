// An account's drops after upload: listed a page at a time, deleted by their owner only, and gone
// (page, bytes and listing) once deleted or past their time.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>

#include <openssl/sha.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

httplib::Result listDrops(const RunningService& service, const Credentials& who, const std::string& query = {})
{
    return service.client().Get("/drops" + query, basicAuthorization(who));
}

std::vector<std::string> titlesIn(const QJsonObject& page)
{
    std::vector<std::string> titles;
    for (const QJsonValue& drop : page.value("drops").toArray())
        titles.push_back(drop.toObject().value("title").toString().toStdString());
    return titles;
}

std::string uploadCode(const RunningService& service, const Credentials& who, const std::string& name, const std::string& query = {})
{
    auto result = upload(service, who, {"bytes of " + name, name, "text/plain", query});
    EXPECT_TRUE(result && result->status == 201) << name;
    return result ? jsonObject(result->body).value("code").toString().toStdString() : std::string();
}

void expectGone(const RunningService& service, const std::string& code, const std::string& why)
{
    for (const std::string& path : {"/" + code, "/" + code + "/raw"}) {
        auto result = service.client().Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 410) << path;
        EXPECT_TRUE(contains(result->get_header_value("Content-Type"), "text/html")) << path;
        EXPECT_TRUE(contains(result->get_header_value("Content-Security-Policy"), "default-src 'none'")) << path;
        EXPECT_TRUE(contains(result->body, why)) << path;
        EXPECT_FALSE(contains(result->body, "bytes of")) << path;
    }
    const auto files = filesIn(service.dataDirectory() / "drops");
    EXPECT_EQ(std::count(files.begin(), files.end(), code), 0) << code << " still stored";
}

TEST(Drops, ListedInPagesDeletedByTheirOwnerOnlyAndGoneWhenDeletedOrExpired)
{
    RunningService service([](ServerOptions& options) {
        options.publicUrl = "https://drops.parcly.test";
        options.maxExpirySeconds = 3600;
        options.sweepIntervalSeconds = 1;
    });
    const Credentials ada = registerAccount(service);
    const Credentials bob = registerAccount(service);
    std::vector<std::string> codes;
    for (int i = 0; i < 5; ++i)
        codes.push_back(uploadCode(service, ada, "ada-" + std::to_string(i) + ".txt"));
    const std::string bobs = uploadCode(service, bob, "bob.txt");

    // Newest first, two at a time, each page's "next" leading to the one after.
    std::vector<std::string> seen;
    std::string query = "?limit=2";
    for (int page = 0; page < 3; ++page) {
        auto result = listDrops(service, ada, query);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << result->body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
        EXPECT_TRUE(result->get_header_value("x-parcly-authorization").rfind("Bearer ", 0) == 0);
        const QJsonObject body = jsonObject(result->body);
        for (const std::string& title : titlesIn(body))
            seen.push_back(title);
        if (page < 2) {
            ASSERT_TRUE(body.value("next").isString()) << result->body;
            query = "?limit=2&before=" + body.value("next").toString().toStdString();
        } else {
            EXPECT_TRUE(body.value("next").isNull()) << result->body;
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"ada-4.txt", "ada-3.txt", "ada-2.txt", "ada-1.txt", "ada-0.txt"}));
    const QJsonObject newest = jsonObject(listDrops(service, ada, "?limit=1")->body).value("drops").toArray().at(0).toObject();
    EXPECT_EQ(newest.value("code").toString().toStdString(), codes[4]);
    EXPECT_EQ(newest.value("size").toInt(), static_cast<int>(std::string("bytes of ada-4.txt").size()));
    EXPECT_EQ(newest.value("contentType").toString(), "text/plain");
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(newest.value("created").toString()).hasMatch());
    EXPECT_TRUE(newest.value("expires").isNull());
    EXPECT_EQ(newest.value("shortlink").toString().toStdString(), "https://drops.parcly.test/" + codes[4]);
    EXPECT_EQ(titlesIn(jsonObject(listDrops(service, bob)->body)), std::vector<std::string>{"bob.txt"});

    for (const char* bad : {"?limit=0", "?limit=101", "?limit=ten", "?limit=-1", "?before=abc", "?before=0"}) {
        auto result = listDrops(service, ada, bad);
        ASSERT_TRUE(result) << bad;
        EXPECT_EQ(result->status, 400) << bad;
        EXPECT_EQ(result->get_header_value("parcly-errorcode"), "Request.BadParameter") << bad;
    }
    EXPECT_EQ(service.client().Get("/drops")->status, 401);
    EXPECT_EQ(listDrops(service, {ada.email, "wrong"})->status, 401);

    // Another account's drop and no drop at all look the same; the owner's goes, bytes and all.
    for (const auto& [who, code] : std::vector<std::pair<Credentials, std::string>>{{bob, codes[2]}, {ada, "Zz9Zz9Zz"}, {ada, bobs}}) {
        auto result = service.client().Delete("/drops/" + code, basicAuthorization(who));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 404) << code;
        EXPECT_EQ(result->get_header_value("parcly-errorcode"), "Drop.NotFound") << code;
    }
    EXPECT_EQ(service.client().Get("/" + codes[2])->status, 200);
    auto deleted = service.client().Delete("/drops/" + codes[2], basicAuthorization(ada));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->status, 204);
    EXPECT_TRUE(deleted->body.empty());
    EXPECT_EQ(service.client().Delete("/drops/" + codes[2], basicAuthorization(ada))->status, 404) << "deleted twice";
    expectGone(service, codes[2], "deleted");
    EXPECT_EQ(titlesIn(jsonObject(listDrops(service, ada)->body)),
              (std::vector<std::string>{"ada-4.txt", "ada-3.txt", "ada-1.txt", "ada-0.txt"}));
    EXPECT_EQ(service.client().Get("/" + bobs)->status, 200);

    // Expiry: refused unless a positive number, capped by the service, and swept once past.
    for (const char* bad : {"?expires_in=0", "?expires_in=-5", "?expires_in=soon", "?expires_in="}) {
        auto result = upload(service, ada, {"x", "refused.txt", "text/plain", bad});
        ASSERT_TRUE(result) << bad;
        EXPECT_EQ(result->status, 400) << bad;
        EXPECT_EQ(result->get_header_value("parcly-errorcode"), "Request.BadParameter") << bad;
    }
    auto capped = upload(service, ada, {"kept a while", "capped.txt", "text/plain", "?expires_in=999999&pixel_density=2"});
    ASSERT_TRUE(capped && capped->status == 201);
    const QJsonObject answer = jsonObject(capped->body);
    const auto created = QDateTime::fromString(answer.value("created").toString(), Qt::ISODate);
    const auto expires = QDateTime::fromString(answer.value("expires").toString(), Qt::ISODate);
    ASSERT_TRUE(created.isValid() && expires.isValid()) << capped->body;
    EXPECT_EQ(created.secsTo(expires), 3600);
    EXPECT_EQ(answer.value("title").toString(), "capped.txt");
    EXPECT_EQ(answer.value("size").toInt(), 12);
    EXPECT_EQ(answer.value("contentType").toString(), "text/plain");
    EXPECT_EQ(answer.value("shortlink").toString().toStdString(),
              "https://drops.parcly.test/" + answer.value("code").toString().toStdString());

    const std::string shortLived = uploadCode(service, ada, "short-lived.txt", "?expires_in=1");
    ASSERT_TRUE(service.waitForLogLine("removed 1 expired drop"));
    expectGone(service, shortLived, "expired");
    const auto listed = titlesIn(jsonObject(listDrops(service, ada)->body));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "short-lived.txt"), 0);
    EXPECT_EQ(listed.front(), "capped.txt");
    EXPECT_EQ(jsonObject(service.client().Get("/users/me", basicAuthorization(ada))->body).value("activeDrops").toInt(), 5);
}

TEST(Drops, ARestartFinishesWhatAStopCutShort)
{
    const auto data = makeTemporaryFolder("restart") / "data";
    std::string deleted, expiring;
    {
        RunningService service(data);
        const Credentials ada = registerAccount(service, "ada@parcly.test");
        deleted = uploadCode(service, ada, "deleted.txt");
        expiring = uploadCode(service, ada, "expiring.txt", "?expires_in=1");
        ASSERT_EQ(service.client().Delete("/drops/" + deleted, basicAuthorization(ada))->status, 204);
        // Expired for everyone at once, long before the next sweep (a minute away) removes its bytes.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (service.client().Get("/" + expiring)->status != 410 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(service.client().Get("/" + expiring)->status, 410);
        EXPECT_EQ(filesIn(data / "drops"), std::vector<std::string>{expiring});
    }
    // As if the server had stopped between marking the row and removing the bytes.
    std::ofstream(data / "drops" / deleted) << "bytes of deleted.txt";

    RunningService restarted(data);
    EXPECT_TRUE(filesIn(data / "drops").empty());
    EXPECT_TRUE(restarted.waitForLogLine("removed 1 expired drop", std::chrono::milliseconds(0)));
    expectGone(restarted, deleted, "deleted");
    expectGone(restarted, expiring, "expired");
    EXPECT_TRUE(jsonObject(listDrops(restarted, {"ada@parcly.test", "secret pass"})->body).value("drops").toArray().isEmpty());
}

// The page's one script runs only if the hash in its policy is that of the script it carries.
std::string scriptHash(const std::string& page)
{
    const size_t start = page.find("<script>");
    const size_t end = page.find("</script>");
    if (start == std::string::npos || end == std::string::npos)
        return {};
    const std::string script = page.substr(start + 8, end - start - 8);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(script.data()), script.size(), digest);
    return "'sha256-" + toBase64(std::string(reinterpret_cast<const char*>(digest), sizeof digest)) + "'";
}

TEST(Drops, TheDropListPageListsAndDeletesWithTheAppsToken)
{
    RunningService service;
    const Credentials ada = registerAccount(service);
    const Credentials bob = registerAccount(service);
    const std::string mine = uploadCode(service, ada, "<b>mine</b>.txt");
    const std::string other = uploadCode(service, ada, "other.txt");
    const auto tokenOf = [&](const Credentials& who) {
        return service.client().Get("/users/me", basicAuthorization(who))->get_header_value("x-parcly-authorization").substr(7);
    };
    const std::string token = tokenOf(ada);

    auto page = service.client().Get("/account/drops?token=" + token);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_TRUE(contains(page->body, "&lt;b&gt;mine&lt;/b&gt;.txt"));
    EXPECT_FALSE(contains(page->body, "<b>mine"));
    EXPECT_TRUE(contains(page->body, service.publicUrl() + "/" + other));
    const std::string policy = page->get_header_value("Content-Security-Policy");
    EXPECT_TRUE(contains(policy, "default-src 'none'"));
    EXPECT_TRUE(contains(policy, "form-action 'self'"));
    EXPECT_TRUE(contains(policy, "script-src " + scriptHash(page->body))) << policy;
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");

    const auto deleteThrough = [&](const std::string& withToken, const std::string& code) {
        return service.client().Post("/account/drops/delete", "token=" + withToken + "&code=" + code, "application/x-www-form-urlencoded");
    };
    // Bob's token cannot delete Ada's drop, and a form of another type is refused from its head.
    EXPECT_EQ(deleteThrough(tokenOf(bob), mine)->status, 303);
    EXPECT_EQ(service.client().Get("/" + mine)->status, 200);
    EXPECT_EQ(service.client().Post("/account/drops/delete", "{}", "application/json")->status, 400);
    EXPECT_EQ(deleteThrough("forged", mine)->status, 403);

    auto done = deleteThrough(token, mine);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 303);
    const std::string location = done->get_header_value("Location");
    EXPECT_EQ(location, service.publicUrl() + "/account/drops?token=" + token + "&deleted=" + mine);
    EXPECT_EQ(service.client().Get("/" + mine)->status, 410);
    auto after = service.client().Get(location.substr(service.publicUrl().size()));
    ASSERT_TRUE(after && after->status == 200);
    EXPECT_TRUE(contains(after->body, "Deleted \u201c&lt;b&gt;mine&lt;/b&gt;.txt\u201d"));
    EXPECT_FALSE(contains(after->body, "/" + mine + "\""));

    EXPECT_EQ(service.client().Get("/account/drops?token=forged")->status, 403);
    EXPECT_EQ(service.client().Get("/account/drops")->status, 403);
}

} // namespace
