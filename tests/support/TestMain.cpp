// Entry point of every test program: each run gets its own temporary HOME and XDG folders, so
// tests never touch the developer's files and never see each other's.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#ifdef PARCLY_TEST_GUI
#include "platform/gui/PrimaryScreen.h"
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <cstdlib>
#include <sys/stat.h>

int main(int argc, char** argv)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/parcly-test-XXXXXX"));
    if (!home.isValid())
        return 2;
    const QByteArray root = home.path().toUtf8();
    for (const char* folder : {"/.config", "/.local/share", "/.cache", "/tmp", "/runtime"})
        QDir().mkpath(home.path() + QString::fromLatin1(folder));
    ::chmod((root + "/runtime").constData(), 0700);
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/.config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/.local/share").constData(), 1);
    setenv("XDG_CACHE_HOME", (root + "/.cache").constData(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").constData(), 1);
    setenv("TMPDIR", (root + "/tmp").constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    TestApplication app(argc, argv);
#ifdef PARCLY_TEST_GUI
    installPrimaryScreen();
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
