// The real parcly-share program as a file manager starts it, on a private X display, handing
// files to the real tray app, which uploads them to the real reference service. What the user
// gets is checked where the user would see it: the drops' pages, the exit status, the sheet's words.
#include "AppProcess.h"
#include "BrowserRecorder.h"
#include "DesktopWindows.h"
#include "QtPrinters.h"
#include "ReferenceService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

using ::testing::UnorderedElementsAre;

QStringList linesStartingWith(const QString& text, const QString& prefix)
{
    QStringList found;
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (line.startsWith(prefix))
            found.append(line);
    return found;
}

QByteArray fetch(const QString& url)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), url});
    curl.waitForFinished(10000);
    return curl.readAllStandardOutput();
}

// The names a drop's zip holds, one a line.
std::string zipEntries(const QByteArray& zip)
{
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("drop.zip")));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(zip);
    file.close();
    return runCommand(QStringLiteral("unzip"), {QStringLiteral("-Z1"), file.fileName()}).toStdString();
}

// One run of parcly-share.
struct Share {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QString log;
    int exitCode() const { return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1; }
};

class ShareProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(AppProcess::settingsPath());
        ASSERT_FALSE(service.url.isEmpty());
        AppProcess::configureService(service.url);
        QDir().mkpath(files);
    }

    // The app and the sheets share this session's display, as on a desktop; the app itself draws
    // nothing here.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = AppProcess::environment(QString::fromUtf8(browser.command()));
        env.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
        env.insert(QStringLiteral("TMPDIR"), tmp);
        return env;
    }
    QProcessEnvironment shareEnvironment() const
    {
        QProcessEnvironment env = environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    void startApp()
    {
        app.start({}, environment());
        ASSERT_TRUE(QTest::qWaitFor([] { return !AppProcess::setting(QStringLiteral("parcly-token")).toString().isEmpty(); }, 15000))
            << app.log().toStdString();
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

    Share start(const QStringList& arguments, const QProcessEnvironment& env, const QString& program = QStringLiteral(PARCLY_SHARE_PATH))
    {
        Share share;
        share.process->setProcessEnvironment(env);
        share.process->setWorkingDirectory(files);
        share.process->start(program, arguments);
        return share;
    }
    // Waits for each to end by itself; keeps what they logged.
    void finish(std::vector<Share>& shares)
    {
        for (Share& share : shares) {
            EXPECT_TRUE(share.process->waitForFinished(40000)) << "parcly-share did not end by itself";
            share.log += QString::fromUtf8(share.process->readAllStandardError());
        }
    }

    // The drops the app announced, as the service serves them.
    QList<QByteArray> drops(int count)
    {
        QList<QByteArray> raw;
        for (const QString& link : browser.waitForCalls(count, 30000))
            raw.append(fetch(link + QStringLiteral("/raw")));
        return raw;
    }

    const QString files = QDir::homePath() + QStringLiteral("/files");
    QString tmp = qEnvironmentVariable("TMPDIR");
    ReferenceService service;
    BrowserRecorder browser;
    AppProcess app;
};

} // namespace

TEST_F(ShareProgram, SameNamedItemsSharedAtOnceEachBecomeADropOfTheirOwnBytes)
{
    // Another user made the shared temporary folder's parcly-<uid> first: both programs use the
    // private fallback instead, and agree on it.
    tmp = QDir::homePath() + QStringLiteral("/squatted-tmp");
    const QString squatted = tmp + QStringLiteral("/parcly-%1").arg(::getuid());
    QDir().mkpath(squatted);
    ::chmod(QFile::encodeName(squatted).constData(), 0777);
    if (::chown(QFile::encodeName(squatted).constData(), 65534, 65534) != 0)
        GTEST_SKIP() << "cannot give a folder to another user here (not root)";
    startApp();

    write(QStringLiteral("a/report.txt"), "report from a\n");
    write(QStringLiteral("b/report.txt"), "report from b\n");
    write(QStringLiteral("a/proj/only-in-a.txt"), "a");
    write(QStringLiteral("b/proj/only-in-b.txt"), "b");
    std::vector<Share> shares;
    for (const char* item : {"a/report.txt", "b/report.txt", "a/proj", "b/proj"})
        shares.push_back(start({files + QLatin1Char('/') + QString::fromLatin1(item)}, shareEnvironment()));
    finish(shares);
    for (const Share& share : shares)
        EXPECT_EQ(share.exitCode(), 0) << share.log.toStdString();

    QList<QByteArray> raw = drops(4);
    ASSERT_EQ(raw.size(), 4) << app.log().toStdString();
    std::vector<std::string> texts, zips;
    for (const QByteArray& body : raw) {
        if (body.startsWith("PK"))
            zips.push_back(zipEntries(body));
        else
            texts.push_back(body.toStdString());
    }
    EXPECT_THAT(texts, UnorderedElementsAre("report from a\n", "report from b\n"));
    EXPECT_THAT(zips, UnorderedElementsAre(::testing::HasSubstr("only-in-a.txt"), ::testing::HasSubstr("only-in-b.txt")));
    EXPECT_THAT(
        zips,
        ::testing::Each(::testing::Not(::testing::AllOf(::testing::HasSubstr("only-in-a.txt"), ::testing::HasSubstr("only-in-b.txt")))));

    // Nothing went into the other user's folder, and every hand-off is gone once uploaded.
    EXPECT_TRUE(QDir(squatted).isEmpty());
    const QString handOff = QDir::homePath() + QStringLiteral("/.cache/parcly/tmp/share");
    EXPECT_TRUE(QTest::qWaitFor([&] { return QDir(handOff).isEmpty(); }, 10000))
        << QDir(handOff).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(QLatin1Char(' ')).toStdString();
}

TEST_F(ShareProgram, NamesWithQuerySeparatorsAreUploadedUnderTheirRealNames)
{
    startApp();
    const QStringList names = {QStringLiteral("My Photo & co=1.txt"), QStringLiteral("a+b.txt"), QStringLiteral("100% sure.txt")};
    std::vector<Share> shares;
    for (const QString& name : names) {
        write(name, name.toUtf8());
        shares.push_back(start({name}, shareEnvironment()));
    }
    finish(shares);
    for (const Share& share : shares)
        EXPECT_EQ(share.exitCode(), 0) << share.log.toStdString();
    // Each separator travels escaped, the file URL's own escapes escaped once more.
    EXPECT_THAT(shares[0].log.toStdString(), ::testing::HasSubstr("/My%2520Photo%2520%26%2520co%3D1.txt\n"));
    EXPECT_THAT(shares[1].log.toStdString(), ::testing::HasSubstr("/a%2Bb.txt\n"));
    EXPECT_THAT(shares[2].log.toStdString(), ::testing::HasSubstr("/100%2525%2520sure.txt\n"));

    const QStringList links = browser.waitForCalls(3, 30000);
    ASSERT_EQ(links.size(), 3) << app.log().toStdString();
    QStringList pages;
    for (const QString& link : links)
        pages.append(QString::fromUtf8(fetch(link)));
    for (const QString& name : names)
        EXPECT_EQ(pages.filter(name.toHtmlEscaped()).size(), 1) << name.toStdString();
}

TEST_F(ShareProgram, WhatCannotBeHandedOverEndsNonZeroWithTheReasonShown)
{
    startApp();
    const QString pipe = files + QStringLiteral("/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    write(QStringLiteral("with pipe/kept.txt"), "kept\n");
    ASSERT_EQ(::mkfifo(QFile::encodeName(files + QStringLiteral("/with pipe/inner pipe")).constData(), 0600), 0);
    write(QStringLiteral("elsewhere.txt"), "elsewhere\n");

    // Another TMPDIR: its hand-off folder is not the app's, which refuses the file.
    QProcessEnvironment otherTmp = shareEnvironment();
    otherTmp.insert(QStringLiteral("TMPDIR"), QDir::homePath() + QStringLiteral("/other-tmp"));
    QDir().mkpath(QDir::homePath() + QStringLiteral("/other-tmp"));
    // No app listening and none to start: a copy of the program outside the bundle, in a
    // session of its own.
    QTemporaryDir alone;
    const QString lonely = alone.filePath(QStringLiteral("parcly-share"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PARCLY_SHARE_PATH), lonely));
    QProcessEnvironment noApp = shareEnvironment();
    noApp.insert(QStringLiteral("XDG_RUNTIME_DIR"), alone.path());
    noApp.insert(QStringLiteral("XDG_DATA_HOME"), alone.path());
    noApp.insert(QStringLiteral("XDG_DATA_DIRS"), alone.path());

    QElapsedTimer clock;
    clock.start();
    std::vector<Share> shares;
    shares.push_back(start({pipe}, shareEnvironment()));
    shares.push_back(start({QStringLiteral("/dev/zero")}, shareEnvironment()));
    shares.push_back(start({files + QStringLiteral("/elsewhere.txt")}, otherTmp));
    shares.push_back(start({files + QStringLiteral("/elsewhere.txt")}, noApp, lonely));
    shares.push_back(start({files + QStringLiteral("/with pipe")}, shareEnvironment()));
    finish(shares);

    EXPECT_EQ(shares[0].exitCode(), 1);
    EXPECT_THAT(shares[0].log.toStdString(),
                ::testing::HasSubstr("Parcly Share: \"pipe\" is a named pipe: only files and folders can be shared."));
    EXPECT_EQ(shares[1].exitCode(), 1);
    EXPECT_THAT(shares[1].log.toStdString(),
                ::testing::HasSubstr("Parcly Share: \"zero\" is a device: only files and folders can be shared."));
    EXPECT_EQ(shares[2].exitCode(), 1);
    EXPECT_THAT(
        shares[2].log.toStdString(),
        ::testing::HasSubstr("was not handed to Parcly Lite. Parcly Lite refused it: not in the share extension's hand-off folder."));
    EXPECT_TRUE(QDir(QDir::homePath() + QStringLiteral("/other-tmp/parcly-%1/share").arg(::getuid())).isEmpty())
        << "the refused copy stayed";
    EXPECT_EQ(shares[3].exitCode(), 1);
    EXPECT_THAT(shares[3].log.toStdString(), ::testing::HasSubstr("Parcly Lite is not installed, and no program takes its links."));
    // Nothing read from a pipe, nothing waited on: all of them ended on their own, soon.
    EXPECT_LT(clock.elapsed(), 30000);

    // A pipe inside a shared folder is left out, by name; the rest goes up.
    EXPECT_EQ(shares[4].exitCode(), 0) << shares[4].log.toStdString();
    EXPECT_THAT(shares[4].log.toStdString(), ::testing::HasSubstr("Parcly Share: left out: \"inner pipe\" is a named pipe"));
    const QList<QByteArray> raw = drops(1);
    ASSERT_EQ(raw.size(), 1);
    EXPECT_THAT(zipEntries(raw.first()), ::testing::HasSubstr("kept.txt"));
    EXPECT_THAT(zipEntries(raw.first()), ::testing::Not(::testing::HasSubstr("inner pipe")));
    EXPECT_EQ(browser.calls().size(), 1);
}

TEST_F(ShareProgram, TheSheetSaysWhyAndItsButtonsEndAFailedRequestWithAnError)
{
    // Nothing the app could take: the sheet shows why; Send cannot make that a success.
    Share share = start({files + QStringLiteral("/gone.txt"), files + QStringLiteral("/also gone.txt")}, shareEnvironment());
    QString id;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            id = runCommand(
                QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), QStringLiteral("^Parcly Share$")});
            return !id.isEmpty();
        },
        15000));
    id = id.section(QLatin1Char('\n'), 0, 0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            share.log += QString::fromUtf8(share.process->readAllStandardError());
            return share.log.contains(QStringLiteral("Parcly Share: None of the shared items is a file"));
        },
        15000))
        << share.log.toStdString();
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), id});
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("alt+s")});
    ASSERT_TRUE(share.process->waitForFinished(10000));
    share.log += QString::fromUtf8(share.process->readAllStandardError());
    EXPECT_EQ(share.exitCode(), 1);
    EXPECT_THAT(linesStartingWith(share.log, QStringLiteral("Parcly Share: request cancelled: ")),
                ::testing::ElementsAre("Parcly Share: request cancelled: NSCocoaErrorDomain 512"));
    EXPECT_TRUE(linesStartingWith(share.log, QStringLiteral("Open URL 2: ")).isEmpty());
    EXPECT_TRUE(linesStartingWith(share.log, QStringLiteral("Archive Task: ")).isEmpty());
}
