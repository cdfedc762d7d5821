#pragma once

#include "FixtureServer.h"
#include "QtPrinters.h"
#include "app/menubar/StartAtLogin.h"
#include "app/menubar/StatusItem.h"
#include "app/menubar/StatusItemController.h"
#include "app/menubar/StatusItemImages.h"
#include "app/service/ServiceConfiguration.h"
#include "platform/Defaults.h"

#include <gtest/gtest.h>

#include "app/menubar/ParclyStatusMenu.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The tray app's one status item controller, made once per test program the way the delegate
// makes it at launch, with the images the build generated into the bundle.
inline StatusItemController& sharedController()
{
    static auto* controller = new StatusItemController(ParclyStatusMenu::instance(), nullptr, QStringLiteral(PARCLY_BUNDLE_RESOURCES));
    return *controller;
}

// What the preferences drive, as the delegate hands it to the menu.
inline StartAtLogin& startAtLogin()
{
    static StartAtLogin setting;
    return setting;
}

// The status menu, with the controller it reports to and what its preferences drive in place.
inline ParclyStatusMenu& menu()
{
    sharedController();
    ParclyStatusMenu::instance().setStartAtLogin(&startAtLogin());
    return ParclyStatusMenu::instance();
}

// The file panel the app has open, if any.
inline QFileDialog* openPanel()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QFileDialog*>(window); dialog && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

// Every test starts with an account on its own fixture service and the icon back to normal.
class MenubarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Defaults& defaults = Defaults::standard();
        defaults.clear();
        defaults.setValue(ServiceConfiguration::kAPIURLKey, server.baseURL());
        defaults.setValue(QStringLiteral("parcly-username"), QStringLiteral("free-mac-test@free.parcly.example"));
        defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("secret"));
        defaults.setValue(QStringLiteral("parcly-token"), QStringLiteral("token"));
        defaults.synchronize();
        server.reply("GET", "/users/me", {.body = R"({"activeDrops": 4})"});
        storeSettings();
        controller().setStatusItemState(StatusItemStateNormal);
    }

    // Settings of the test's own, stored before the first test makes the menu.
    virtual void storeSettings() { }

    StatusItemController& controller() { return sharedController(); }
    StatusItem& item() { return *controller().statusItem(); }

    std::vector<RecordedRequest> requestsFor(const std::string& method, const std::string& path) const
    {
        std::vector<RecordedRequest> matching;
        for (const RecordedRequest& request : server.requests()) {
            if (request.method == method && request.target.rfind(path, 0) == 0)
                matching.push_back(request);
        }
        return matching;
    }

    bool waitForRequest(const std::string& method, const std::string& path, size_t count = 1, int timeoutMs = 15000)
    {
        return QTest::qWaitFor([&] { return requestsFor(method, path).size() >= count; }, timeoutMs);
    }

    FixtureServer server;
};

// What the fake notification server recorded, one "summary: body" line a notification.
inline QStringList notificationsIn(const QString& record)
{
    QStringList lines;
    QFile file(record);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject notification = QJsonDocument::fromJson(line).object();
            if (!notification.isEmpty())
                lines.append(notification.value("summary").toString() + ": " + notification.value("body").toString());
        }
    }
    return lines;
}
