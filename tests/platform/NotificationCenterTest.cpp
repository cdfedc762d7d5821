#include "platform/NotificationCenter.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <optional>

namespace {

TEST(NotificationCenter, PostRunsEveryObserverOfTheNameBeforeReturning)
{
    NotificationCenter center;
    QStringList seen;
    center.addObserver(QStringLiteral("A"), [&](const Notification& n) { seen << QStringLiteral("first ") + n.name; });
    center.addObserver(QStringLiteral("B"), [&](const Notification&) { seen << QStringLiteral("wrong name"); });
    center.addObserver(QStringLiteral("A"), [&](const Notification& n) {
        seen << QStringLiteral("second ") + n.userInfo.value(QStringLiteral("k")).toString();
    });

    center.post(QStringLiteral("A"), QVariant(), {{QStringLiteral("k"), QStringLiteral("v")}});
    EXPECT_EQ(seen, (QStringList{QStringLiteral("first A"), QStringLiteral("second v")}));
}

TEST(NotificationCenter, RemovedObserversNoLongerRun)
{
    NotificationCenter center;
    int calls = 0;
    const auto token = center.addObserver(QStringLiteral("A"), [&](const Notification&) { ++calls; });
    center.post(QStringLiteral("A"));
    center.removeObserver(token);
    center.post(QStringLiteral("A"));
    EXPECT_EQ(calls, 1);

    {
        ScopedObserver scoped(
            QStringLiteral("A"), [&](const Notification&) { ++calls; }, center);
        center.post(QStringLiteral("A"));
    }
    center.post(QStringLiteral("A"));
    EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, ObserversMayRemoveThemselvesAndPostAgain)
{
    NotificationCenter center;
    QStringList seen;
    std::optional<NotificationCenter::Token> once;
    once = center.addObserver(QStringLiteral("A"), [&](const Notification&) {
        seen << QStringLiteral("once");
        center.removeObserver(*once);
        center.post(QStringLiteral("B"));
    });
    center.addObserver(QStringLiteral("B"), [&](const Notification&) { seen << QStringLiteral("nested"); });

    center.post(QStringLiteral("A"));
    center.post(QStringLiteral("A"));
    EXPECT_EQ(seen, (QStringList{QStringLiteral("once"), QStringLiteral("nested")}));
}

} // namespace
