#include "platform/Defaults.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info { };
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info.st_mode & 0777;
}

class DefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
    QString path() const { return folder.path() + QStringLiteral("/config/parcly/Parcly Lite.conf"); }
};

TEST_F(DefaultsTest, AbsentKeysReadAsNullAndEmptyStringsArePresent)
{
    Defaults defaults(path());
    EXPECT_FALSE(defaults.contains(QStringLiteral("parcly-username")));
    EXPECT_TRUE(defaults.string(QStringLiteral("parcly-username")).isNull());
    EXPECT_FALSE(defaults.value(QStringLiteral("parcly-username")).isValid());
    EXPECT_TRUE(defaults.boolValue(QStringLiteral("uploadAllScreenshots"), true));

    defaults.setValue(QStringLiteral("parcly-username"), QString(QLatin1String("")));
    defaults.synchronize();
    Defaults reread(path());
    EXPECT_TRUE(reread.contains(QStringLiteral("parcly-username")));
    EXPECT_FALSE(reread.string(QStringLiteral("parcly-username")).isNull());
    EXPECT_TRUE(reread.string(QStringLiteral("parcly-username")).isEmpty());
}

TEST_F(DefaultsTest, ValuesSurviveAReloadWithTheirTypes)
{
    {
        Defaults defaults(path());
        defaults.setValue(QStringLiteral("hasShownOnboarding"), true);
        defaults.setValue(QStringLiteral("shareFile"),
                          QVariantMap{{QStringLiteral("keyCode"), 1}, {QStringLiteral("modifierFlags"), 1179648}});
        defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("p a=s;s#w\"o'rd"));
        defaults.synchronize();
    }
    Defaults reread(path());
    EXPECT_TRUE(reread.boolValue(QStringLiteral("hasShownOnboarding")));
    const QVariantMap shortcut = reread.value(QStringLiteral("shareFile")).toMap();
    EXPECT_EQ(shortcut.value(QStringLiteral("keyCode")).toInt(), 1);
    EXPECT_EQ(shortcut.value(QStringLiteral("modifierFlags")).toInt(), 1179648);
    EXPECT_EQ(reread.string(QStringLiteral("parcly-password")), QStringLiteral("p a=s;s#w\"o'rd"));
}

TEST_F(DefaultsTest, TheFileAndItsFolderAreOwnerOnly)
{
    Defaults defaults(path());
    defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("secret"));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(modeOf(path()), 0600u);
    EXPECT_EQ(modeOf(QFileInfo(path()).absolutePath()), 0700u);

    // A rewrite keeps the mode, and a file someone made world-readable is tightened.
    ::chmod(QFile::encodeName(path()).constData(), 0644);
    defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("other"));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(modeOf(path()), 0600u);
}

TEST_F(DefaultsTest, SynchronizeSharesChangesBetweenProcesses)
{
    // Two stores on one file stand for the app and the command line.
    Defaults app(path());
    Defaults commandLine(path());
    commandLine.setValue(QStringLiteral("parcly-token"), QStringLiteral("abc"));
    commandLine.synchronize();
    app.synchronize();
    EXPECT_EQ(app.string(QStringLiteral("parcly-token")), QStringLiteral("abc"));

    app.remove(QStringLiteral("parcly-token"));
    app.synchronize();
    commandLine.synchronize();
    EXPECT_FALSE(commandLine.contains(QStringLiteral("parcly-token")));
}

ino_t inodeOf(const QString& path)
{
    struct stat info { };
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_ino;
}

// Every service request writes the token back; an unchanged value must not rewrite the file.
TEST_F(DefaultsTest, WritingBackTheStoredValueLeavesTheFileAlone)
{
    Defaults defaults(path());
    defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("abc"));
    ASSERT_TRUE(defaults.synchronize());
    const ino_t written = inodeOf(path());

    defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("abc"));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(inodeOf(path()), written);

    defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("def"));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_NE(inodeOf(path()), written) << "QSettings replaces the file when something changed";
}

TEST_F(DefaultsTest, SettingAnInvalidValueRemovesTheKey)
{
    Defaults defaults(path());
    defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("abc"));
    defaults.setValue(QStringLiteral("parcly-token"), QVariant());
    EXPECT_FALSE(defaults.contains(QStringLiteral("parcly-token")));
}

TEST(StandardDefaults, LivesInTheUsersConfigFolder)
{
    EXPECT_EQ(Defaults::standardFilePath(), qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/parcly/Parcly Lite.conf"));
    EXPECT_EQ(&Defaults::standard(), &Defaults::standard());
}

} // namespace
