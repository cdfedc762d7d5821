#include "platform/DefaultsController.h"

#include "QtPrinters.h"
#include "platform/Defaults.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

namespace {

TEST(DefaultsControllerTest, StoredValuesWinOverInitialValuesAndReachTheFile)
{
    DefaultsController& controller = DefaultsController::sharedUserDefaultsController();
    QVariantMap initial = controller.initialValues();
    initial.insert(QStringLiteral("controllerTestFlag"), true);
    controller.setInitialValues(initial);
    QSignalSpy changes(&controller, &DefaultsController::valueChanged);

    EXPECT_EQ(controller.valueForKeyPath(QStringLiteral("values.controllerTestFlag")), QVariant(true));
    EXPECT_FALSE(controller.valueForKeyPath(QStringLiteral("values.controllerTestUnknown")).isValid());
    // Only the "values." proxy is a key path the controller knows.
    EXPECT_FALSE(controller.valueForKeyPath(QStringLiteral("controllerTestFlag")).isValid());
    EXPECT_FALSE(controller.valueForKeyPath(QStringLiteral("values.")).isValid());

    controller.setValueForKeyPath(false, QStringLiteral("values.controllerTestFlag"));
    EXPECT_FALSE(controller.valueForKeyPath(QStringLiteral("values.controllerTestFlag")).toBool());
    // Written through, where another process (the command line, a restarted app) reads it.
    EXPECT_FALSE(Defaults(Defaults::standardFilePath()).boolValue(QStringLiteral("controllerTestFlag"), true));
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).toString(), QStringLiteral("controllerTestFlag"));

    // Setting what is already there is no change.
    controller.setValueForKeyPath(false, QStringLiteral("values.controllerTestFlag"));
    EXPECT_EQ(changes.count(), 1);

    // Removing the stored value lets the initial value show again.
    controller.setValueForKeyPath(QVariant(), QStringLiteral("values.controllerTestFlag"));
    EXPECT_TRUE(controller.valueForKeyPath(QStringLiteral("values.controllerTestFlag")).toBool());
    EXPECT_EQ(changes.count(), 2);

    // A path outside "values." stores nothing.
    controller.setValueForKeyPath(true, QStringLiteral("controllerTestOther"));
    EXPECT_FALSE(Defaults::standard().contains(QStringLiteral("controllerTestOther")));
}

TEST(DefaultsControllerTest, NewInitialValuesAreAnnouncedOnlyWhereNothingIsStored)
{
    DefaultsController& controller = DefaultsController::sharedUserDefaultsController();
    controller.setValueForKeyPath(QStringLiteral("mine"), QStringLiteral("values.controllerTestStored"));
    QSignalSpy changes(&controller, &DefaultsController::valueChanged);

    QVariantMap initial = controller.initialValues();
    initial.insert(QStringLiteral("controllerTestStored"), QStringLiteral("initial"));
    initial.insert(QStringLiteral("controllerTestFresh"), 5);
    controller.setInitialValues(initial);

    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).toString(), QStringLiteral("controllerTestFresh"));
    EXPECT_EQ(controller.valueForKeyPath(QStringLiteral("values.controllerTestStored")).toString(), QStringLiteral("mine"));
    EXPECT_EQ(controller.valueForKeyPath(QStringLiteral("values.controllerTestFresh")).toInt(), 5);
}

} // namespace
