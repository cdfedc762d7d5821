// Opening URLs: a recording script stands in for the browser, through $BROWSER.
#include "platform/Workspace.h"
#include "platform/Log.h"

#include "BrowserRecorder.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace {

TEST(Workspace, WebAddressesGoToTheBrowserTheUserNamed)
{
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()}});
    const QUrl url("https://example.com/drop/Ab3?x=1&y=two%20words");
    ASSERT_TRUE(Workspace::sharedWorkspace().openURL(url));
    EXPECT_EQ(browser.waitForCalls(1), QStringList{url.toString(QUrl::FullyEncoded)});

    // A list: programs that do not exist are skipped, and %s marks where the URL goes.
    BrowserRecorder second;
    ScopedEnvironment list({{"BROWSER", "no-such-browser-here:" + second.command() + " --new-tab=%s --private"}});
    ASSERT_TRUE(Workspace::sharedWorkspace().openURL(QUrl("http://127.0.0.1:8787/Zz")));
    EXPECT_EQ(second.waitForCalls(1), QStringList{"--new-tab=http://127.0.0.1:8787/Zz --private"});
}

TEST(Workspace, OtherUrlsGoToTheDesktopsOpener)
{
    // With no desktop and no display, xdg-open hands the URL to $BROWSER too.
    BrowserRecorder browser;
    ScopedEnvironment environment({{"BROWSER", browser.command()},
                                   {"DISPLAY", {}},
                                   {"WAYLAND_DISPLAY", {}},
                                   {"XDG_CURRENT_DESKTOP", {}},
                                   {"DESKTOP_SESSION", {}},
                                   {"KDE_FULL_SESSION", {}},
                                   {"GNOME_DESKTOP_SESSION_ID", {}}});
    ASSERT_TRUE(Workspace::sharedWorkspace().openURL(QUrl("ftp://files.example.org/pub/readme.txt")));
    EXPECT_EQ(browser.waitForCalls(1), QStringList{"ftp://files.example.org/pub/readme.txt"});
}

TEST(Workspace, NothingToOpenWithIsOneLogLine)
{
    const QTemporaryDir emptyFolder;
    ScopedEnvironment environment({{"BROWSER", "no-such-browser-here"}, {"PATH", emptyFolder.path().toUtf8()}});
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    EXPECT_FALSE(Workspace::sharedWorkspace().openURL(QUrl("https://example.com/x")));
    EXPECT_EQ(log.lines(), QStringList{"Could not open URL: https://example.com/x"});
}

TEST(Workspace, ARelativeAddressIsNeverHandedOn)
{
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    EXPECT_FALSE(Workspace::sharedWorkspace().openURL(QUrl("--help")));
    EXPECT_EQ(log.lines(), QStringList{"Could not open URL: --help"});
}

} // namespace
