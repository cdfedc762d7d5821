// Where web views come from: a helper program per shown page, never the engine in the program.
#include "app/web/WebModule.h"
#include "ProcessTree.h"
#include "WebTestPaths.h"
#include "app/web/RemoteWebView.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopedPointer>
#include <QTest>

#include <algorithm>

namespace {

bool engineMappedIntoProcess()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return maps.readAll().contains("libQt6WebEngineCore");
}

} // namespace

TEST(WebModule, AViewRunsTheHelperOnlyWhileItsWindowShows)
{
    {
        ScopedLogCapture log(ScopedLogCapture::Echo::Off);
        WebModule::setHelperPath(QStringLiteral("/nonexistent/parcly-web-helper"));
        EXPECT_EQ(WebModule::createWebView(nullptr), nullptr);
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(log.lines().first().contains(QStringLiteral("/nonexistent/parcly-web-helper")));
    }

    WebModule::setHelperPath(QStringLiteral(PARCLY_WEB_HELPER));
    QWidget window;
    window.resize(320, 360);
    auto* view = qobject_cast<RemoteWebView*>(WebModule::createWebView(&window));
    ASSERT_NE(view, nullptr);
    view->resize(window.size());
    int finished = 0;
    QObject::connect(view, &WebView::didFinishNavigation, [&] { ++finished; });
    view->load(QUrl::fromLocalFile(QStringLiteral(PARCLY_WEB_TEST_PAGES "/colour.html")));
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 1; }, 20000));
    EXPECT_FALSE(engineMappedIntoProcess());

    const qint64 helper = view->helperProcessId();
    ASSERT_GT(helper, 0);
    // The engine's own processes are the helper's children.
    ASSERT_TRUE(QTest::qWaitFor([&] { return processTree(helper).size() > 1; }, 5000));
    const QList<qint64> tree = processTree(helper);

    // The window closes: the helper and everything it started are gone within seconds.
    window.hide();
    EXPECT_EQ(view->helperProcessId(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !anyAlive(tree); }, 5000)) << tree.size() << " processes";

    // Shown again, the page comes back in a new helper.
    window.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished == 2; }, 20000));
    EXPECT_GT(view->helperProcessId(), 0);
    EXPECT_NE(view->helperProcessId(), helper);
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
