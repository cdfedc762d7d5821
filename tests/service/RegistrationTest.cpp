// The service client's core: endpoints, configuration, and registering an account.
#include "ServiceTestSupport.h"

#include "app/service/HttpTransfer.h"
#include "app/service/User.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "shared/SharedConstants.h"

#include <QJsonDocument>

namespace {

using RegistrationTest = ServiceTest;

TEST_F(RegistrationTest, EndpointsAreTheBaseURLFollowedByThePath)
{
    EXPECT_EQ(API::instance().endpointForPath(QStringLiteral("/users/me")), server.baseURL() + QStringLiteral("/users/me"));
    EXPECT_EQ(API::instance().endpointForPath(QStringLiteral("/files?pixel_density=2.0")),
              server.baseURL() + QStringLiteral("/files?pixel_density=2.0"));

    // A configured base URL with a trailing slash still gives one slash.
    Defaults::standard().setValue(ServiceConfiguration::kAPIURLKey, QStringLiteral("https://drops.parcly.example/"));
    EXPECT_EQ(API::instance().endpointForPath(QStringLiteral("/account")), QStringLiteral("https://drops.parcly.example/account"));

    Defaults::standard().remove(ServiceConfiguration::kAPIURLKey);
    EXPECT_EQ(ServiceConfiguration::apiBaseURL(), QStringLiteral("http://127.0.0.1:8787"));
    EXPECT_EQ(&API::instance(), &API::instance());
}

TEST_F(RegistrationTest, SendsTheCredentialsAsJSONAndHandsBackTheTokenHeaderAsReceived)
{
    server.reply("POST", "/account", {.status = 201, .headers = {{"x-parcly-authorization", "Bearer eyJ.tok.en"}}});
    User user;
    user.initFreeUser();
    CompletionProbe probe;
    API::instance().registerUser(user, probe.callback());
    ASSERT_TRUE(probe.waitForCall());

    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(probe.success);
    EXPECT_EQ(probe.result.toString(), QStringLiteral("Bearer eyJ.tok.en"));
    EXPECT_TRUE(probe.ranOnMainThread);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/account");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_FALSE(requests[0].hasHeader("Authorization"));
    const QVariantMap body = QJsonDocument::fromJson(QByteArray::fromStdString(requests[0].body)).toVariant().toMap();
    EXPECT_EQ(body, (QVariantMap{{QStringLiteral("email"), user.email()}, {QStringLiteral("password"), user.password()}}));
    // Registration stores nothing; the caller keeps the token.
    EXPECT_FALSE(Defaults::standard().contains(User::kTokenKey));
}

TEST_F(RegistrationTest, SucceedsWithNullWhenTheServiceSendsNoToken)
{
    server.reply("POST", "/account", {.status = 201, .body = ""});
    CompletionProbe probe;
    API::instance().registerUser(User().initFreeUser(), probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_TRUE(probe.success);
    EXPECT_TRUE(probe.result.isNull());
}

TEST_F(RegistrationTest, AFailureIsLoggedAndNeverRaisesTheUnknownUserSignal)
{
    server.reply("POST", "/account", {.status = 401, .headers = {{"parcly-errorcode", unknownUserHeader()}}});
    int posts = 0;
    ScopedObserver observer(QString::fromLatin1(kUnknownUserAPIErrorNotification), [&](const Notification&) { ++posts; });
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    CompletionProbe probe;
    API::instance().registerUser(User().initFreeUser(), probe.callback());
    ASSERT_TRUE(probe.waitForCall());

    EXPECT_FALSE(probe.success);
    EXPECT_EQ(probe.error().domain, HttpErrorDomain::kStatus);
    EXPECT_EQ(probe.error().code, 401);
    EXPECT_TRUE(probe.error().localizedDescription.contains(QStringLiteral("401")));
    EXPECT_EQ(posts, 0);
    ASSERT_EQ(log.linesStartingWith(QStringLiteral("Error: ")).size(), 1);
    EXPECT_TRUE(log.lines().first().contains(QStringLiteral("401")));
}

TEST_F(RegistrationTest, ASuccessStatusWithABodyThatIsNotJSONIsAFailure)
{
    server.reply("POST", "/account", {.status = 200, .body = "<html>maintenance</html>", .contentType = "text/html"});
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    CompletionProbe probe;
    API::instance().registerUser(User().initFreeUser(), probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_FALSE(probe.success);
    EXPECT_EQ(probe.error().domain, HttpErrorDomain::kResponse);
    EXPECT_TRUE(probe.error().localizedDescription.contains(QStringLiteral("not JSON")));
}

TEST_F(RegistrationTest, AnUnreachableServiceFailsWithATransportError)
{
    const QString deadURL = QStringLiteral("http://127.0.0.1:1");
    Defaults::standard().setValue(ServiceConfiguration::kAPIURLKey, deadURL);
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    CompletionProbe probe;
    API::instance().registerUser(User().initFreeUser(), probe.callback());
    ASSERT_TRUE(probe.waitForCall());
    EXPECT_FALSE(probe.success);
    EXPECT_EQ(probe.error().domain, HttpErrorDomain::kTransport);
    EXPECT_TRUE(probe.error().localizedDescription.contains(deadURL));
}

// 0.0.0.0 reaches this machine, so the fixture would see anything that was sent.
TEST_F(RegistrationTest, PlainHttpToAHostOtherThanLoopbackSendsNothing)
{
    Defaults::standard().setValue(ServiceConfiguration::kAPIURLKey, QStringLiteral("http://0.0.0.0:%1").arg(server.port()));
    storeCredentials();
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    CompletionProbe registration, upload, count;
    API::instance().registerUser(User().initFreeUser(), registration.callback());
    API::instance().shareData("bytes", QStringLiteral("a.txt"), {}, upload.callback());
    API::instance().countDropsComplete(count.callback());
    ASSERT_TRUE(registration.waitForCall());
    ASSERT_TRUE(upload.waitForCall());
    ASSERT_TRUE(count.waitForCall());

    EXPECT_FALSE(registration.success);
    EXPECT_EQ(registration.error().domain, HttpErrorDomain::kConfiguration);
    EXPECT_TRUE(registration.error().localizedDescription.contains(QStringLiteral("https")));
    EXPECT_FALSE(upload.success);
    EXPECT_TRUE(upload.result.isNull());
    EXPECT_FALSE(count.success);
    EXPECT_TRUE(server.requests().empty());
}

TEST(ServiceConfiguration, OnlyHttpsOrLoopbackHttpMayCarryCredentials)
{
    for (const char* allowed :
         {"https://drops.parcly.example", "http://127.0.0.1:8787", "http://127.1.2.3", "http://localhost:9", "http://[::1]:8787"})
        EXPECT_TRUE(ServiceConfiguration::refusalReason(QString::fromLatin1(allowed)).isNull()) << allowed;
    for (const char* refused :
         {"http://drops.parcly.example", "http://127.0.0.1.evil.example", "http://10.0.0.1", "ftp://127.0.0.1", "not a url", "http://"})
        EXPECT_FALSE(ServiceConfiguration::refusalReason(QString::fromLatin1(refused)).isNull()) << refused;
}

} // namespace
