#include "app/service/User.h"
#include "platform/Defaults.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace {

class UserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        store().clear();
        store().synchronize();
    }
    static Defaults& store() { return Defaults::standard(); }
};

TEST_F(UserTest, AnEmptyStoreGivesAnEmptyUserAndWritesNoToken)
{
    const User user;
    EXPECT_TRUE(user.email().isNull());
    EXPECT_TRUE(user.password().isNull());
    EXPECT_TRUE(user.jwtToken().isNull());
    EXPECT_TRUE(user.userISEmpty());
    EXPECT_FALSE(store().contains(User::kTokenKey));
}

TEST_F(UserTest, EmptyStringsCountAsPresentButOneMissingValueMakesItEmpty)
{
    store().setValue(User::kUsernameKey, QStringLiteral(""));
    store().setValue(User::kPasswordKey, QStringLiteral(""));
    EXPECT_FALSE(User().userISEmpty());

    store().remove(User::kPasswordKey);
    EXPECT_TRUE(User().userISEmpty());
}

TEST_F(UserTest, LoadingStripsBearerFromTheStoredTokenForGood)
{
    store().setValue(User::kUsernameKey, QStringLiteral("a@b"));
    store().setValue(User::kPasswordKey, QStringLiteral("pw"));
    store().setValue(User::kTokenKey, QStringLiteral("Bearer eyJ.abc.def"));
    const User user;
    EXPECT_EQ(user.email(), QStringLiteral("a@b"));
    EXPECT_EQ(user.password(), QStringLiteral("pw"));
    EXPECT_EQ(user.jwtToken(), QStringLiteral("eyJ.abc.def"));
    EXPECT_EQ(Defaults(Defaults::standardFilePath()).string(User::kTokenKey), QStringLiteral("eyJ.abc.def"));
}

TEST_F(UserTest, FreeUsersAreFreshWellFormedAndStored)
{
    store().setValue(User::kTokenKey, QStringLiteral("old-token"));
    User first;
    first.initFreeUser();
    User second;
    second.initFreeUser();

    const QRegularExpression uuid(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    for (const User* user : {&first, &second}) {
        EXPECT_TRUE(uuid.match(user->password()).hasMatch()) << user->password().toStdString();
        const QStringList parts = user->email().split(QLatin1Char('@'));
        ASSERT_EQ(parts.size(), 2);
        EXPECT_EQ(parts[0].size(), 44);
        EXPECT_TRUE(parts[0].startsWith(QStringLiteral("free-mac")));
        EXPECT_TRUE(uuid.match(parts[0].mid(8)).hasMatch());
        EXPECT_EQ(parts[1], User::kFreeAccountDomain);
        EXPECT_TRUE(parts[1].endsWith(QStringLiteral(".example")));
        // The old account's token stays, in the store and in the object.
        EXPECT_EQ(user->jwtToken(), QStringLiteral("old-token"));
    }
    EXPECT_NE(first.email(), second.email());
    EXPECT_NE(first.password(), second.password());
    EXPECT_NE(first.email().mid(8, 36), first.password());

    // The last one is what every later request uses; a reload from disk sees it.
    const Defaults disk(Defaults::standardFilePath());
    EXPECT_EQ(disk.string(User::kUsernameKey), second.email());
    EXPECT_EQ(disk.string(User::kPasswordKey), second.password());
    EXPECT_EQ(disk.string(User::kTokenKey), QStringLiteral("old-token"));
}

TEST_F(UserTest, SetJwtTokenStoresAsGivenAndNullRemovesTheKey)
{
    User user;
    user.setJwtToken(QStringLiteral("Bearer abc"));
    EXPECT_EQ(store().string(User::kTokenKey), QStringLiteral("Bearer abc"));
    EXPECT_EQ(user.jwtToken(), QStringLiteral("Bearer abc"));

    user.setJwtToken(QString());
    EXPECT_FALSE(store().contains(User::kTokenKey));
    EXPECT_FALSE(Defaults(Defaults::standardFilePath()).contains(User::kTokenKey));
}

TEST_F(UserTest, AccessorsChangeOnlyTheObject)
{
    User user;
    user.setEmail(QStringLiteral("x@y"));
    user.setPassword(QStringLiteral("pw"));
    EXPECT_FALSE(user.userISEmpty());
    EXPECT_FALSE(store().contains(User::kUsernameKey));
    EXPECT_FALSE(store().contains(User::kPasswordKey));
    EXPECT_TRUE(User().userISEmpty());
}

} // namespace
