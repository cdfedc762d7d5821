// The welcome window: the page's messages and the close button against a real autostart folder,
// and the real page, shown by the web helper on an X display, dismissed by its own button.
#include "app/lifecycle/OnboardingController.h"
#include "app/menubar/StartAtLogin.h"
#include "app/web/RemoteWebView.h"
#include "app/web/WebModule.h"
#include "platform/Bundle.h"
#include "platform/LoginItemService.h"
#include "shared/SharedConstants.h"

#include "QtPrinters.h"
#include "TempBundle.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <iostream>

class Onboarding : public ::testing::Test {
protected:
    void SetUp() override
    {
        // An app bundle with the launcher inside and the page among its resources.
        app = root.path() + QStringLiteral("/Parcly Lite.app");
        ASSERT_FALSE(makeBundleWithScript(app, QString::fromLatin1(kMainAppBundleID), QStringLiteral("parcly-lite"), "exit 0\n").isEmpty());
        ASSERT_FALSE(makeBundleWithScript(app + QStringLiteral("/Contents/Library/LoginItems/ParclyLiteLauncher.app"),
                                          QString::fromLatin1(kLauncherID), QStringLiteral("ParclyLiteLauncher"), "exit 0\n")
                         .isEmpty());
        ASSERT_TRUE(QDir().mkpath(app + QStringLiteral("/Contents/Resources")));
        ASSERT_TRUE(QFile::copy(QStringLiteral(PARCLY_ONBOARDING_PAGE), app + QStringLiteral("/Contents/Resources/Onboarding.html")));
        Bundle::setMainBundlePath(app);
        // No helper: the window works without its page.
        WebModule::setHelperPath(root.path() + QStringLiteral("/no-helper"));
        QDir(autostartFolder()).removeRecursively();
    }
    void TearDown() override
    {
        Bundle::setMainBundlePath({});
        WebModule::setHelperPath({});
    }

    static QString autostartFolder() { return QDir::homePath() + QStringLiteral("/.config/autostart"); }
    static bool launcherRegistered()
    {
        return QFile::exists(autostartFolder() + QLatin1Char('/') + QString::fromLatin1(kLauncherID) + QStringLiteral(".desktop"));
    }
    // The autostart entries that run a program of this test's bundle: the app's own and the launcher's.
    QStringList entriesOfOurs() const
    {
        QStringList entries;
        for (const QFileInfo& entry : QDir(autostartFolder()).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name)) {
            QFile file(entry.filePath());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(app.toUtf8()))
                entries.append(entry.fileName());
        }
        return entries;
    }

    static void send(OnboardingController& controller, const QVariant& body)
    {
        controller.didReceiveScriptMessage(OnboardingController::kMessageHandlerName, body);
    }
    static QVariantMap message(const QString& action, const QVariant& value = {})
    {
        QVariantMap body{{QStringLiteral("action"), action}};
        if (value.isValid())
            body.insert(QStringLiteral("value"), value);
        return body;
    }

    QTemporaryDir root;
    QString app;
    StartAtLogin startAtLogin;
};

TEST_F(Onboarding, EachDismissalZoomsTheWindowOffAndAppliesTheChoiceRecordedBefore)
{
    OnboardingController controller(startAtLogin);
    controller.showWindow();
    QWidget* window = controller.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Welcome to Parcly Lite"));
    // No status item in this program: the zoom goes to the zero rectangle.
    EXPECT_EQ(controller.zoomTarget(), QRect());

    // Closed without a message: off the screen, yet kept, and both ways of starting at login on.
    EXPECT_FALSE(window->close()) << "the window was let close";
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(launcherRegistered());
    EXPECT_EQ(entriesOfOurs().size(), 2) << entriesOfOurs().join(u' ').toStdString();
    EXPECT_EQ(controller.window(), window);

    controller.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    send(controller, message(QStringLiteral("startAtLogin"), false));
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_TRUE(launcherRegistered()) << "recording the choice changed the registration";
    EXPECT_TRUE(window->isVisible());
    send(controller, message(QStringLiteral("skip")));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(entriesOfOurs(), QStringList()) << "switched off: nothing of ours starts the app at login";
    EXPECT_FALSE(startAtLogin.startAtLoginIsEnabled());

    // Alone, a "startAtLogin" message registers nothing.
    send(controller, message(QStringLiteral("startAtLogin"), true));
    EXPECT_TRUE(controller.startAtLogin());
    EXPECT_FALSE(launcherRegistered());
}

TEST_F(Onboarding, MessagesOfOtherActionsOrShapesChangeNothing)
{
    OnboardingController controller(startAtLogin);
    controller.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(controller.window()));

    for (const QVariant& body : {QVariant(message(QStringLiteral("dismiss"))), QVariant(message(QStringLiteral("Skip"))),
                                 QVariant(QVariantMap{{QStringLiteral("action"), 1}}), QVariant(QVariantMap{}),
                                 QVariant(QStringLiteral("skip")), QVariant(QVariantList{QStringLiteral("skip")}), QVariant(),
                                 QVariant(message(QStringLiteral("startAtLogin"), QStringLiteral("no"))),
                                 QVariant(message(QStringLiteral("startAtLogin"), QVariantList{false}))}) {
        send(controller, body);
        EXPECT_TRUE(controller.startAtLogin()) << body.toString().toStdString();
    }
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_FALSE(launcherRegistered());

    // Numbers are choices: zero is NO, any other is YES; no value at all is NO.
    send(controller, message(QStringLiteral("startAtLogin"), 0.0));
    EXPECT_FALSE(controller.startAtLogin());
    send(controller, message(QStringLiteral("startAtLogin"), 2.0));
    EXPECT_TRUE(controller.startAtLogin());
    send(controller, message(QStringLiteral("startAtLogin")));
    EXPECT_FALSE(controller.startAtLogin());
}

TEST_F(Onboarding, ThePageShowsAndItsSwitchAndButtonDismissTheWindow)
{
    WebModule::setHelperPath(QStringLiteral(PARCLY_WEB_HELPER));
    // As the first launch leaves it: the app's own entry, and the launcher.
    startAtLogin.setStartAtLogin(true);
    ASSERT_EQ(entriesOfOurs().size(), 2);
    OnboardingController controller(startAtLogin);
    QSignalSpy shown(&controller, &OnboardingController::pageShown);
    controller.showWindow();
    QWidget* window = controller.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_TRUE(shown.wait(30000)) << "the page never loaded";
    std::cout << "onboarding page loaded " << shown.first().first().toLongLong() << " ms after the window showed" << std::endl;
    auto* view = qobject_cast<RemoteWebView*>(controller.webView());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->geometry(), window->rect()) << "the page does not fill the window";

    // The switch at the bottom left, then "Get started" at the bottom right, as a user clicks
    // them; the page may take a moment to answer its first click.
    const QPoint startAtLoginSwitch(51, window->height() - 44);
    const QPoint getStarted(window->width() - 102, window->height() - 44);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QTest::mouseMove(view, startAtLoginSwitch);
            QTest::mouseClick(view, Qt::LeftButton, {}, startAtLoginSwitch);
            return QTest::qWaitFor([&] { return !controller.startAtLogin(); }, 1000);
        },
        20000))
        << "the switch sent no choice";
    EXPECT_TRUE(launcherRegistered());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QTest::mouseMove(view, getStarted);
            QTest::mouseClick(view, Qt::LeftButton, {}, getStarted);
            return QTest::qWaitFor([&] { return !window->isVisible(); }, 1000);
        },
        20000))
        << "the button did not dismiss the window";
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_EQ(entriesOfOurs(), QStringList()) << "switched off, then \"Get started\": nothing of ours starts the app at login";
    // The page's helper goes with the window.
    EXPECT_EQ(view->helperProcessId(), 0);
}
