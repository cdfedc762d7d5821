// Reading the account: the drop count and a fresh token, and the failure conventions they share.
#include "ServiceTestSupport.h"

#include "app/service/HttpTransfer.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "shared/SharedConstants.h"

namespace {

using AccountQueriesTest = ServiceTest;

const std::string kMe = "/users/me";

using Operation = void (API::*)(API::Completion) const;
const Operation kBothQueries[] = {&API::countDropsComplete, &API::refreshAccountComplete};

TEST_F(AccountQueriesTest, CountSendsAnAuthenticatedGetAndYieldsActiveDrops)
{
    storeCredentials(QStringLiteral("free-mac-1@free.parcly.example"), QStringLiteral("pass word:1"));
    server.reply("GET", kMe, {.body = R"({"email":"free-mac-1@free.parcly.example","activeDrops":7})"});
    CompletionProbe probe;
    API::instance().countDropsComplete(probe.callback());
    ASSERT_TRUE(probe.waitForCall());

    EXPECT_TRUE(probe.success);
    EXPECT_EQ(probe.result.toInt(), 7);
    EXPECT_TRUE(probe.ranOnMainThread);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, kMe);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Authorization"),
              "Basic " + QByteArray("free-mac-1@free.parcly.example:pass word:1").toBase64().toStdString());
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(AccountQueriesTest, MissingFieldsAndHeadersGiveSuccessWithNull)
{
    storeCredentials();
    server.reply("GET", kMe, {.body = R"({"email":"x"})"});
    CompletionProbe count, refresh;
    API::instance().countDropsComplete(count.callback());
    API::instance().refreshAccountComplete(refresh.callback());
    ASSERT_TRUE(count.waitForCall());
    ASSERT_TRUE(refresh.waitForCall());
    EXPECT_TRUE(count.success);
    EXPECT_TRUE(count.result.isNull());
    EXPECT_TRUE(refresh.success);
    EXPECT_TRUE(refresh.result.isNull());
}

TEST_F(AccountQueriesTest, RefreshStripsEveryBearerAndStoresNothing)
{
    storeCredentials();
    for (const auto& [header, expected] :
         std::vector<std::pair<std::string, QString>>{{"Bearer eyJ.abc.def", QStringLiteral("eyJ.abc.def")},
                                                      {"eyJ.abc.def", QStringLiteral("eyJ.abc.def")},
                                                      {"Bearer Bearer x", QStringLiteral("x")}}) {
        server.reply("GET", kMe, {.headers = {{"X-Parcly-Authorization", header}}, .body = R"({"activeDrops":1})"});
        CompletionProbe probe;
        API::instance().refreshAccountComplete(probe.callback());
        ASSERT_TRUE(probe.waitForCall());
        EXPECT_TRUE(probe.success);
        EXPECT_EQ(probe.result.toString(), expected) << header;
    }
    EXPECT_FALSE(Defaults::standard().contains(QStringLiteral("parcly-token")));
}

TEST_F(AccountQueriesTest, WithoutCredentialsBothRefuseAtOnceAndSendNothing)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    for (const Operation operation : kBothQueries) {
        CompletionProbe probe;
        (API::instance().*operation)(probe.callback());
        ASSERT_EQ(probe.calls, 1) << "the refusal must arrive before the call returns";
        EXPECT_FALSE(probe.success);
        EXPECT_EQ(probe.error(), (Error{QString::fromLatin1(kMainAppBundleID), 407, QStringLiteral("User is not initialized")}));
    }
    QTest::qWait(50);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(AccountQueriesTest, AnUnknownUserIsSignalledOnceBeforeTheFailureCompletes)
{
    storeCredentials();
    server.reply("GET", kMe, {.status = 401, .headers = {{"parcly-errorcode", unknownUserHeader()}}});
    for (const Operation operation : kBothQueries) {
        int posts = 0;
        CompletionProbe probe;
        ScopedObserver observer(QString::fromLatin1(kUnknownUserAPIErrorNotification), [&](const Notification&) {
            ++posts;
            EXPECT_EQ(probe.calls, 0) << "the observer must run before the completion";
        });
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        (API::instance().*operation)(probe.callback());
        ASSERT_TRUE(probe.waitForCall());
        EXPECT_EQ(posts, 1);
        EXPECT_FALSE(probe.success);
        EXPECT_EQ(probe.error().code, 401);
        EXPECT_EQ(log.linesStartingWith(QStringLiteral("Error: ")).size(), 1);
    }
}

TEST_F(AccountQueriesTest, OtherErrorCodesAndSuccessfulAnswersRaiseNoSignal)
{
    storeCredentials();
    int posts = 0;
    ScopedObserver observer(QString::fromLatin1(kUnknownUserAPIErrorNotification), [&](const Notification&) { ++posts; });
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    server.reply("GET", kMe, {.status = 401, .headers = {{"parcly-errorcode", "Authentication.WrongPassword"}}});
    CompletionProbe wrongPassword;
    API::instance().countDropsComplete(wrongPassword.callback());
    ASSERT_TRUE(wrongPassword.waitForCall());
    EXPECT_FALSE(wrongPassword.success);

    server.reply("GET", kMe, {.status = 200, .headers = {{"parcly-errorcode", unknownUserHeader()}}, .body = R"({"activeDrops":2})"});
    CompletionProbe success;
    API::instance().countDropsComplete(success.callback());
    ASSERT_TRUE(success.waitForCall());
    EXPECT_TRUE(success.success);
    EXPECT_EQ(posts, 0);
}

TEST_F(AccountQueriesTest, AnAnswerThatIsNotAJSONObjectIsALoggedFailureForBoth)
{
    storeCredentials();
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    for (const std::string body : {"", "[1]", "7"}) {
        server.reply("GET", kMe, {.headers = {{"x-parcly-authorization", "Bearer t"}}, .body = body});
        CompletionProbe count, refresh;
        API::instance().countDropsComplete(count.callback());
        API::instance().refreshAccountComplete(refresh.callback());
        ASSERT_TRUE(count.waitForCall() && refresh.waitForCall()) << body;
        EXPECT_FALSE(count.success) << body;
        EXPECT_FALSE(refresh.success) << body;
        EXPECT_EQ(count.error().code, 200) << body;
    }
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Error: ")).size(), 6);
}

TEST_F(AccountQueriesTest, ACutConnectionFailsWithTheTransportError)
{
    storeCredentials();
    server.reply("GET", kMe, {.dropConnection = true});
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    CompletionProbe probe;
    API::instance().countDropsComplete(probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_EQ(probe.calls, 1);
    EXPECT_FALSE(probe.success);
    EXPECT_EQ(probe.error().domain, HttpErrorDomain::kTransport);
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Error: ")).size(), 1);
}

} // namespace
