// Loading the web module: only on demand, only from where it is looked for, and never by linking.
#include "WebTestPaths.h"
#include "app/web/WebModule.h"
#include "app/web/WebView.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopedPointer>

namespace {

bool engineMappedIntoProcess()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return maps.readAll().contains("libQt6WebEngineCore");
}

} // namespace

TEST(WebModule, LoadsOnTheFirstRequestFromTheGivenPathAndNotBefore)
{
    ASSERT_FALSE(WebModule::isLoaded());
    ASSERT_FALSE(engineMappedIntoProcess());

    {
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        WebModule::setPluginPath(QStringLiteral("/nonexistent/libparcly-web.so"));
        EXPECT_EQ(WebModule::createWebView(nullptr), nullptr);
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(log.lines().first().contains(QStringLiteral("/nonexistent/libparcly-web.so")));
    }
    {
        // Something that is a library but not the module.
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        QFile notAModule(QDir::tempPath() + QStringLiteral("/libparcly-web.so"));
        ASSERT_TRUE(notAModule.open(QIODevice::WriteOnly));
        notAModule.write("not an ELF file");
        notAModule.close();
        WebModule::setPluginPath(notAModule.fileName());
        EXPECT_EQ(WebModule::createWebView(nullptr), nullptr);
        EXPECT_EQ(log.lines().size(), 1);
    }
    EXPECT_FALSE(WebModule::isLoaded());
    EXPECT_FALSE(engineMappedIntoProcess());

    WebModule::setPluginPath(QStringLiteral(PARCLY_WEB_PLUGIN));
    QScopedPointer<WebView> view(WebModule::createWebView(nullptr));
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(WebModule::isLoaded());
    EXPECT_TRUE(engineMappedIntoProcess());
    // One meta-object for WebView in the process: casts work on the module's views.
    EXPECT_EQ(qobject_cast<WebView*>(static_cast<QObject*>(view.data())), view.data());

    // Further views come from the module already loaded.
    QScopedPointer<WebView> second(WebModule::createWebView(nullptr));
    EXPECT_NE(second, nullptr);
}

TEST(WebModule, ProgramLinkingTheInterfaceDoesNotLinkTheEngine)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(ldd.waitForFinished(10000));
    const QByteArray libraries = ldd.readAllStandardOutput();
    ASSERT_TRUE(libraries.contains("libQt6Widgets")) << libraries.constData();
    EXPECT_FALSE(libraries.contains("libQt6WebEngine")) << libraries.constData();
    EXPECT_FALSE(libraries.contains("libQt6WebChannel")) << libraries.constData();
}
