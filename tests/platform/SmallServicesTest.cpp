// The small desktop services: system log, MIME types, temporary folder, screen.
#include "platform/Log.h"
#include "platform/MimeTypes.h"
#include "platform/Screen.h"
#include "platform/TemporaryDirectory.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Log, CaptureSeesEachEventAsOneLine)
{
    ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
    logLine(QStringLiteral("Error: first"));
    logLine(QStringLiteral("Archive Task: a\nb"));
    EXPECT_EQ(capture.lines(), (QStringList{QStringLiteral("Error: first"), QStringLiteral("Archive Task: a b")}));
    EXPECT_EQ(capture.linesStartingWith(QStringLiteral("Error: ")).size(), 1);
}

TEST(Log, NestedCapturesRestoreTheOuterOne)
{
    ScopedLogCapture outer(ScopedLogCapture::Echo::Off);
    {
        ScopedLogCapture inner(ScopedLogCapture::Echo::Off);
        logLine(QStringLiteral("inner"));
        EXPECT_EQ(inner.lines().size(), 1);
    }
    logLine(QStringLiteral("outer"));
    EXPECT_EQ(outer.lines(), QStringList{QStringLiteral("outer")});
}

TEST(MimeTypes, KnownExtensionsMapAndUnknownOnesAreOctetStream)
{
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("png")), QStringLiteral("image/png"));
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("PNG")), QStringLiteral("image/png"));
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("zip")), QStringLiteral("application/zip"));
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("jpg")), QStringLiteral("image/jpeg"));
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("txt")), QStringLiteral("text/plain"));
    EXPECT_EQ(mimeTypeForExtension(QStringLiteral("no-such-extension")), QStringLiteral("application/octet-stream"));
    EXPECT_EQ(mimeTypeForExtension(QString()), QStringLiteral("application/octet-stream"));
}

mode_t modeOf(const QString& path)
{
    struct stat info { };
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

TEST(TemporaryDirectory, IsPrivatePerUserAndEndsInASlash)
{
    const QString path = temporaryDirectory();
    EXPECT_EQ(path, qEnvironmentVariable("TMPDIR") + QStringLiteral("/parcly-%1/").arg(::getuid()));
    EXPECT_TRUE(S_ISDIR(modeOf(path)));
    EXPECT_EQ(modeOf(path) & 0777, 0700u);
    EXPECT_EQ(temporaryDirectory(), path);
}

class TemporaryDirectoryAttack : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedTmp = qgetenv("TMPDIR");
        m_base = qEnvironmentVariable("TMPDIR") + QStringLiteral("/")
            + QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name());
        QDir().mkpath(m_base);
        qputenv("TMPDIR", QFile::encodeName(m_base));
        m_target = m_base + QStringLiteral("/parcly-%1").arg(::getuid());
    }
    void TearDown() override { qputenv("TMPDIR", m_savedTmp); }

    QByteArray m_savedTmp;
    QString m_base;
    QString m_target;
};

TEST_F(TemporaryDirectoryAttack, AFolderSomeoneElseMadeFirstIsRefusedForAPrivateOneInTheCache)
{
    // Another user made /tmp/parcly-<uid> first, open to all; a symlink would do as well.
    ASSERT_EQ(::mkdir(QFile::encodeName(m_target).constData(), 0777), 0);
    ::chmod(QFile::encodeName(m_target).constData(), 0777);
    if (::chown(QFile::encodeName(m_target).constData(), 65534, 65534) != 0)
        GTEST_SKIP() << "cannot give a folder to another user here (not root)";
    const QString cache = m_base + QStringLiteral("/cache");
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    const auto restore = qScopeGuard([&] { qputenv("XDG_CACHE_HOME", savedCache); });

    const QString fallback = cache + QStringLiteral("/parcly/tmp/");
    EXPECT_EQ(temporaryDirectory(), fallback);
    EXPECT_EQ(modeOf(fallback) & 0777, 0700u);
    EXPECT_EQ(modeOf(cache + QStringLiteral("/parcly")) & 0777, 0700u);
    // Every program derives its subfolders the same way, so the share extension and the app agree.
    EXPECT_EQ(temporaryDirectoryWithSubfolder(QStringLiteral("share")), fallback + QStringLiteral("share/"));
    // The squatter's folder is left as it was, and nothing of ours went into it.
    EXPECT_EQ(modeOf(m_target) & 0777, 0777u);
    EXPECT_TRUE(QDir(m_target).isEmpty());

    // The fallback is checked as strictly: a link in its place is refused, not followed.
    QDir(fallback).removeRecursively();
    QDir().mkpath(m_base + QStringLiteral("/elsewhere"));
    ASSERT_TRUE(QFile::link(m_base + QStringLiteral("/elsewhere"), cache + QStringLiteral("/parcly/tmp")));
    ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
    EXPECT_TRUE(temporaryDirectory().isEmpty());
    EXPECT_TRUE(QDir(m_base + QStringLiteral("/elsewhere")).isEmpty());
}

TEST_F(TemporaryDirectoryAttack, AFileInItsPlaceIsRefusedAndALooseFolderIsTightened)
{
    QFile file(m_target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ScopedLogCapture capture(ScopedLogCapture::Echo::Off);
    // Refused: the private folder in the cache is used instead.
    EXPECT_EQ(temporaryDirectory(), QDir::homePath() + QStringLiteral("/.cache/parcly/tmp/"));

    QFile::remove(m_target);
    ASSERT_EQ(::mkdir(QFile::encodeName(m_target).constData(), 0777), 0);
    ::chmod(QFile::encodeName(m_target).constData(), 0777);
    EXPECT_EQ(temporaryDirectory(), m_target + QLatin1Char('/'));
    EXPECT_EQ(modeOf(m_target) & 0777, 0700u);
}

TEST(Screen, WithoutAScreenTheScaleFactorIsOne)
{
    EXPECT_EQ(Screen::backingScaleFactor(), 1.0);
    Screen::setScaleFactorSource([] { return 3.0; });
    EXPECT_EQ(Screen::backingScaleFactor(), 3.0);
    Screen::setScaleFactorSource({});
    EXPECT_EQ(Screen::backingScaleFactor(), 1.0);
}

} // namespace
