// The real parcly-share program as a file manager starts it, on a private X display, with a
// recording stand-in for the desktop's URL opener. What it hands over is checked where the tray
// app would find it: in the hand-off folder, and in the URL it opens.
#include "DesktopWindows.h"
#include "QtPrinters.h"
#include "shared/HandOffFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

namespace {

using ::testing::UnorderedElementsAre;

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList linesStartingWith(const QString& text, const QString& prefix)
{
    QStringList found;
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (line.startsWith(prefix))
            found.append(line);
    return found;
}

class ShareProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir(handOff).removeRecursively();
        QFile::remove(openLog);
        QDir().mkpath(files);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PARCLY_TEST_FAKE_BIN") + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
        environment.insert(QStringLiteral("PARCLY_TEST_OPEN_LOG"), openLog);
        share.setProcessEnvironment(environment);
        share.setWorkingDirectory(files);
    }
    void TearDown() override
    {
        if (share.state() != QProcess::NotRunning) {
            share.kill();
            share.waitForFinished(5000);
        }
    }

    QString write(const QString& relativePath, const QByteArray& contents)
    {
        const QString path = files + QLatin1Char('/') + relativePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        return path;
    }

    void start(const QStringList& arguments) { share.start(QStringLiteral(PARCLY_SHARE_PATH), arguments); }

    // Runs the program to its end; returns its exit code and keeps what it logged.
    int runShare(const QStringList& arguments)
    {
        start(arguments);
        EXPECT_TRUE(share.waitForFinished(30000)) << "parcly-share did not end by itself";
        log = QString::fromUtf8(share.readAllStandardError());
        return share.exitStatus() == QProcess::NormalExit ? share.exitCode() : -1;
    }

    // The hand-off URL's value decoded once, as the tray app decodes it: the copy's file URL.
    QString handedOffPath() const
    {
        const QStringList opened = linesStartingWith(log, QStringLiteral("Open URL 2: "));
        if (opened.size() != 1)
            return QString();
        const QUrl url(opened.first().mid(12));
        return QUrl(url.query(QUrl::FullyDecoded).section(QLatin1Char('='), 1)).toLocalFile();
    }

    // The sheet's window, once it is on screen.
    QString waitForSheet()
    {
        QString id;
        (void)QTest::qWaitFor([&] {
            id = runCommand(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), QStringLiteral("^Parcly Share$")});
            return !id.isEmpty();
        }, 15000);
        return id.section(QLatin1Char('\n'), 0, 0);
    }

    void waitForLog(const QString& prefix)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] {
            log += QString::fromUtf8(share.readAllStandardError());
            return !linesStartingWith(log, prefix).isEmpty();
        }, 15000)) << "never logged: " << prefix.toStdString() << "\n" << log.toStdString();
    }

    // Types keys into the sheet, as the user at the keyboard would.
    void press(const QString& window, const QString& keys)
    {
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
    }

    const QString files = QDir::homePath() + QStringLiteral("/files");
    const QString openLog = QDir::homePath() + QStringLiteral("/opened.log");
    const QString handOff = shareHandOffDirectory();
    QProcess share;
    QString log;
};

} // namespace

TEST_F(ShareProgram, OneFileIsCopiedAndHandedOffWithItsURLEncodedForAQuery)
{
    const QString name = QStringLiteral("tom & jerry=1.txt");
    write(name, "first");
    ASSERT_EQ(runShare({name}), 0) << log.toStdString();

    // Spaces travel as %2520 (the file URL's own %20, escaped again); "&" and "=" stay as they are.
    const QString expected = QStringLiteral("parcly-lite://?handleURL=file://%1tom%2520&%2520jerry=1.txt")
                                 .arg(QString::fromUtf8(QUrl::toPercentEncoding(handOff, "/")).replace(QStringLiteral("%"), QStringLiteral("%25")));
    EXPECT_THAT(linesStartingWith(log, QStringLiteral("Open URL 2: ")), ::testing::ElementsAre(QStringLiteral("Open URL 2: ") + expected));
    EXPECT_EQ(handedOffPath(), handOff + name);
    EXPECT_EQ(readFile(handOff + name), "first");
    EXPECT_TRUE(QTest::qWaitFor([&] { return readFile(openLog).trimmed() == expected; }, 5000)) << readFile(openLog).toStdString();

    // Shared again after a change, as a URL typed by hand: the newer copy replaces the older one.
    write(name, "second");
    ASSERT_EQ(runShare({QUrl::fromLocalFile(files + QLatin1Char('/') + name).toString()}), 0) << log.toStdString();
    EXPECT_THAT(linesStartingWith(log, QStringLiteral("Parcly Share: Copy File URL: Error Domain=NSCocoaErrorDomain Code=516 ")), ::testing::SizeIs(1));
    EXPECT_EQ(readFile(handOff + name), "second");
    EXPECT_EQ(handedOffPath(), handOff + name);
}

TEST_F(ShareProgram, SeveralFilesAreZippedOnceIntoOneArchiveOfThoseThatLoaded)
{
    // As a file manager passes them: paths and file URLs.
    const QStringList shared = {write(QStringLiteral("one.txt"), "1"), QUrl::fromLocalFile(write(QStringLiteral("two words.txt"), "2")).toString(QUrl::FullyEncoded),
                                QStringLiteral("three.txt")};
    write(QStringLiteral("three.txt"), "3");
    ASSERT_EQ(runShare(shared), 0) << log.toStdString();
    EXPECT_THAT(linesStartingWith(log, QStringLiteral("Archive Task: ")), ::testing::SizeIs(3));
    const QString archive = handedOffPath();
    EXPECT_TRUE(QFileInfo(archive).fileName().startsWith(QStringLiteral("Archive on "))) << log.toStdString();
    EXPECT_EQ(QFileInfo(archive).absolutePath() + QLatin1Char('/'), handOff);
    // Handed off where the archiver made it: nothing else in the folder.
    EXPECT_THAT(QDir(handOff).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), ::testing::ElementsAre(QFileInfo(archive).fileName()));
    const QString listing = runCommand(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    EXPECT_THAT(listing.split('\n'), UnorderedElementsAre("one.txt", "two words.txt", "three.txt"));

    // One of three that is not there: the archive holds the other two.
    QDir(handOff).removeRecursively();
    ASSERT_EQ(runShare({files + QStringLiteral("/one.txt"), files + QStringLiteral("/missing.txt"), files + QStringLiteral("/three.txt")}), 0) << log.toStdString();
    EXPECT_THAT(linesStartingWith(log, QStringLiteral("Parcly Share: Load Item: ")), ::testing::SizeIs(1));
    EXPECT_THAT(runCommand(QStringLiteral("unzip"), {QStringLiteral("-Z1"), handedOffPath()}).split('\n'), UnorderedElementsAre("one.txt", "three.txt"));
}

TEST_F(ShareProgram, AFolderIsCopiedWholeNotZipped)
{
    write(QStringLiteral("Trip/day 1/beach.txt"), "sand");
    write(QStringLiteral("Trip/notes.txt"), "notes");
    ASSERT_EQ(runShare({files + QStringLiteral("/Trip")}), 0) << log.toStdString();
    EXPECT_TRUE(linesStartingWith(log, QStringLiteral("Archive Task: ")).isEmpty());
    EXPECT_EQ(handedOffPath(), handOff + QStringLiteral("Trip"));
    EXPECT_EQ(readFile(handOff + QStringLiteral("Trip/day 1/beach.txt")), "sand");
    EXPECT_EQ(readFile(handOff + QStringLiteral("Trip/notes.txt")), "notes");
}

TEST_F(ShareProgram, WithNothingToHandOffTheSheetStaysAndItsButtonsEndTheRequest)
{
    // None of several items is a file: the sheet says so and zips nothing; Cancel ends it.
    start({files + QStringLiteral("/gone.txt"), files + QStringLiteral("/also gone.txt")});
    const QString sheet = waitForSheet();
    ASSERT_FALSE(sheet.isEmpty()) << "the sheet never showed";
    waitForLog(QStringLiteral("Parcly Share: none of the 2 shared items is a file"));
    EXPECT_EQ(share.state(), QProcess::Running);
    press(sheet, QStringLiteral("Escape"));
    ASSERT_TRUE(share.waitForFinished(10000)) << "Cancel did not end the request";
    log += QString::fromUtf8(share.readAllStandardError());
    EXPECT_EQ(share.exitCode(), 1);
    EXPECT_THAT(linesStartingWith(log, QStringLiteral("Parcly Share: request cancelled: ")), ::testing::ElementsAre("Parcly Share: request cancelled: NSCocoaErrorDomain 3072"));
    EXPECT_TRUE(linesStartingWith(log, QStringLiteral("Archive Task: ")).isEmpty());

    // One thing that is not a file: nothing is handed off; Send ends the request successfully.
    log.clear();
    start({QStringLiteral("https://example.com/page")});
    const QString second = waitForSheet();
    ASSERT_FALSE(second.isEmpty());
    waitForLog(QStringLiteral("Parcly Share: Load Item: "));
    press(second, QStringLiteral("alt+s"));
    ASSERT_TRUE(share.waitForFinished(10000)) << "Send did not end the request";
    log += QString::fromUtf8(share.readAllStandardError());
    EXPECT_EQ(share.exitCode(), 0);
    EXPECT_TRUE(linesStartingWith(log, QStringLiteral("Open URL 2: ")).isEmpty());
    EXPECT_FALSE(QFile::exists(openLog));
}
