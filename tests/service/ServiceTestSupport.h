#pragma once

#include "FixtureServer.h"
#include "QtPrinters.h"
#include "app/service/API.h"
#include "app/service/ServiceConfiguration.h"
#include "platform/Defaults.h"
#include "platform/Error.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>

// Records the one call of an API completion.
struct CompletionProbe {
    int calls = 0;
    bool success = false;
    QVariant result;
    bool ranOnMainThread = false;

    API::Completion callback()
    {
        return [this](bool ok, const QVariant& value) {
            ++calls;
            success = ok;
            result = value;
            ranOnMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        };
    }

    // Waits for the completion, then a little longer to catch a second call.
    bool waitForCall(int timeoutMs = 15000)
    {
        const bool called = QTest::qWaitFor([this] { return calls > 0; }, timeoutMs);
        QCoreApplication::processEvents();
        return called;
    }

    Error error() const { return result.value<Error>(); }
    QVariantMap map() const { return result.toMap(); }
};

// Every service test starts with an empty store pointing at its own fixture server.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Defaults& defaults = Defaults::standard();
        defaults.clear();
        defaults.setValue(ServiceConfiguration::kAPIURLKey, server.baseURL());
        defaults.synchronize();
    }

    void storeCredentials(const QString& email = QStringLiteral("free-mac-test@free.parcly.example"),
                          const QString& password = QStringLiteral("pass word:1"))
    {
        Defaults::standard().setValue(QStringLiteral("parcly-username"), email);
        Defaults::standard().setValue(QStringLiteral("parcly-password"), password);
        Defaults::standard().synchronize();
    }

    static std::string unknownUserHeader() { return "Authentication.UnknownUser"; }

    FixtureServer server;
};
