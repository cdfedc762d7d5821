// The service client against the real reference service: the wire contract both sides rely on.
#include "ServerHarness.h"

#include "QtPrinters.h"
#include "app/service/API.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/User.h"
#include "platform/Defaults.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "shared/SharedConstants.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Outcome {
    bool success = false;
    QVariant result;
};

// Runs one API operation to its completion on this (the main) thread.
template <typename Start> Outcome complete(Start start)
{
    Outcome outcome;
    bool done = false;
    start([&](bool success, const QVariant& result) {
        outcome = {success, result};
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
    return outcome;
}

class ClientServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Defaults::standard().clear();
        Defaults::standard().setValue(ServiceConfiguration::kAPIURLKey, QStringLiteral("http://127.0.0.1:%1").arg(service.port()));
    }

    // Makes and registers a free account, storing its token as the app does at first launch.
    void registerFreeAccount()
    {
        User user;
        user.initFreeUser();
        const Outcome registration = complete([&](API::Completion done) { API::instance().registerUser(user, done); });
        ASSERT_TRUE(registration.success);
        ASSERT_TRUE(registration.result.toString().startsWith(QStringLiteral("Bearer ")));
        user.setJwtToken(registration.result.toString());
    }

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(folder.path() + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        return file.fileName();
    }

    RunningService service;
    QTemporaryDir folder;
};

TEST_F(ClientServerTest, AFreeAccountUploadsAFileAndTheDropServesItsBytes)
{
    registerFreeAccount();
    EXPECT_EQ(User().jwtToken().count(QLatin1Char('.')), 2) << "a bare JSON Web Token is stored";

    const Outcome before = complete([](API::Completion done) { API::instance().countDropsComplete(done); });
    ASSERT_TRUE(before.success);
    EXPECT_EQ(before.result.toInt(), 0);

    QByteArray contents(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < contents.size(); ++i)
        contents[i] = char(i * 7 + i / 251);
    const QString name = QStringLiteral("Screen Shot on 2017-03-01 at 14:05:09 ünï.png");
    const Outcome upload
        = complete([&](API::Completion done) { API::instance().shareFile(QUrl::fromLocalFile(writeFile(name, contents)), {}, done); });
    ASSERT_TRUE(upload.success);
    const QVariantMap drop = upload.result.toMap();
    EXPECT_EQ(drop.value(QStringLiteral("title")).toString(), name);
    EXPECT_EQ(drop.value(QStringLiteral("type")).toString(), QStringLiteral("image/png"));
    const QString shortlink = drop.value(QStringLiteral("shortlink")).toString();
    ASSERT_TRUE(shortlink.startsWith(QString::fromStdString(service.publicUrl()) + QLatin1Char('/'))) << shortlink.toStdString();

    const auto raw = service.client().Get(QUrl(shortlink).path().toStdString() + "/raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->status, 200);
    EXPECT_TRUE(raw->body == contents.toStdString()) << "the drop's bytes differ from the file's";

    const Outcome after = complete([](API::Completion done) { API::instance().countDropsComplete(done); });
    EXPECT_EQ(after.result.toInt(), 1);
}

TEST_F(ClientServerTest, DataUploadsAndTokenRefreshWork)
{
    registerFreeAccount();
    const QString name = API::instance().nameForDrop(QStringLiteral("Image upload"), QStringLiteral("gif"), true);
    const Outcome upload = complete([&](API::Completion done) { API::instance().shareData("GIF89a\x01\x00\x01\x00", name, {}, done); });
    ASSERT_TRUE(upload.success);
    EXPECT_EQ(upload.result.toMap().value(QStringLiteral("title")).toString(), name);
    EXPECT_EQ(upload.result.toMap().value(QStringLiteral("type")).toString(), QStringLiteral("image/gif"));

    const Outcome refresh = complete([](API::Completion done) { API::instance().refreshAccountComplete(done); });
    ASSERT_TRUE(refresh.success);
    EXPECT_FALSE(refresh.result.toString().contains(QStringLiteral("Bearer")));
    EXPECT_EQ(refresh.result.toString().count(QLatin1Char('.')), 2);
}

TEST_F(ClientServerTest, OnlyAnAccountTheServiceDoesNotKnowRaisesTheUnknownUserSignal)
{
    registerFreeAccount();
    int posts = 0;
    ScopedObserver observer(QString::fromLatin1(kUnknownUserAPIErrorNotification), [&](const Notification&) { ++posts; });
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);

    Defaults::standard().setValue(User::kPasswordKey, QStringLiteral("not the password"));
    const Outcome wrongPassword = complete([](API::Completion done) { API::instance().countDropsComplete(done); });
    EXPECT_FALSE(wrongPassword.success);
    EXPECT_EQ(wrongPassword.result.value<Error>().code, 401);
    EXPECT_EQ(posts, 0);

    Defaults::standard().setValue(User::kUsernameKey, QStringLiteral("free-mac-forgotten@free.parcly.example"));
    const Outcome forgotten = complete(
        [&](API::Completion done) { API::instance().shareFile(QUrl::fromLocalFile(writeFile(QStringLiteral("a.txt"), "x")), {}, done); });
    EXPECT_FALSE(forgotten.success);
    EXPECT_EQ(forgotten.result.toMap().value(QStringLiteral("parcly-errorcode")).toString(), QStringLiteral("Authentication.UnknownUser"));
    EXPECT_EQ(posts, 1);
}

} // namespace
