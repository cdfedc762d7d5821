// Task runs real programs: /bin/sh scripts that record what they were given.
#include "platform/Task.h"

#include "QtPrinters.h"
#include "platform/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(TaskTest, ArgumentsReachTheProgramUntouchedInItsWorkingDirectory)
{
    QTemporaryDir folder;
    Task task;
    task.setLaunchPath(QStringLiteral("/bin/sh"));
    // No shell of ours sits in between: the glob, the variable and the blank arrive as given.
    const QStringList given{QStringLiteral("*.DS_Store"), QStringLiteral("$HOME"), QStringLiteral("a b; rm -rf x"), QStringLiteral("-x")};
    task.setArguments(
        QStringList{QStringLiteral("-c"), QStringLiteral("printf '%s\\n' \"$@\" > args.txt; pwd > pwd.txt; exit 3"), QStringLiteral("sh")}
        + given);
    task.setCurrentDirectoryPath(folder.path());

    ASSERT_TRUE(task.launch());
    EXPECT_THAT(task.description().toStdString(), ::testing::MatchesRegex("<Task /bin/sh pid [0-9]+>"));
    task.waitUntilExit();

    EXPECT_EQ(task.terminationStatus(), 3);
    EXPECT_EQ(readAll(folder.path() + QStringLiteral("/args.txt")), given.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    EXPECT_EQ(readAll(folder.path() + QStringLiteral("/pwd.txt")).trimmed(), folder.path());
    EXPECT_EQ(task.arguments().mid(3), given);
}

TEST(TaskTest, WaitUntilExitReturnsOnlyOnceTheProgramHasEnded)
{
    QTemporaryDir folder;
    Task task;
    task.setLaunchPath(QStringLiteral("/bin/sh"));
    task.setArguments({QStringLiteral("-c"), QStringLiteral("sleep 0.3; echo done > done.txt")});
    task.setCurrentDirectoryPath(folder.path());
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(readAll(folder.path() + QStringLiteral("/done.txt")), QStringLiteral("done\n"));
    EXPECT_EQ(task.terminationStatus(), 0);

    Task killed;
    killed.setLaunchPath(QStringLiteral("/bin/sh"));
    killed.setArguments({QStringLiteral("-c"), QStringLiteral("kill -9 $$")});
    ASSERT_TRUE(killed.launch());
    killed.waitUntilExit();
    EXPECT_EQ(killed.terminationStatus(), -1);
}

TEST(TaskTest, AProgramThatCannotStartIsRefusedWithAReason)
{
    QTemporaryDir folder;
    QFile plain(folder.path() + QStringLiteral("/not-a-program"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    struct Case {
        QString launchPath;
        QString directory;
        QString reason;
    };
    const Case cases[] = {
        {folder.path() + QStringLiteral("/missing-zip"), QString(), QStringLiteral("no such file")},
        {plain.fileName(), QString(), QStringLiteral("not an executable file")},
        {QStringLiteral("/bin/sh"), folder.path() + QStringLiteral("/gone"), QStringLiteral("working directory")},
    };
    for (const Case& c : cases) {
        ScopedLogCapture log;
        Task task;
        task.setLaunchPath(c.launchPath);
        task.setCurrentDirectoryPath(c.directory);
        EXPECT_FALSE(task.launch()) << c.launchPath.toStdString();
        task.waitUntilExit(); // returns at once
        EXPECT_EQ(task.terminationStatus(), -1);
        EXPECT_EQ(task.description(), QStringLiteral("<Task %1 not launched>").arg(c.launchPath));
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(log.lines().first().contains(c.launchPath)) << log.lines().first().toStdString();
        EXPECT_TRUE(log.lines().first().contains(c.reason)) << log.lines().first().toStdString();
    }
}

} // namespace
