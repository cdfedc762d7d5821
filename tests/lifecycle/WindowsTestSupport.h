#pragma once

#include "ReferenceService.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <QTest>

inline void xdotool(const QStringList& arguments)
{
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    ASSERT_TRUE(tool.waitForFinished(10000));
}

// Under PARCLY_TEST_SCREENSHOTS=DIR, the screen as a user sees it, for looking at by hand.
inline void screenshot(const QString& name)
{
    const QString folder = qEnvironmentVariable("PARCLY_TEST_SCREENSHOTS");
    if (folder.isEmpty())
        return;
    QTest::qWait(300);
    QProcess::execute(QStringLiteral("import"),
                      {QStringLiteral("-window"), QStringLiteral("root"), folder + QLatin1Char('/') + name + QStringLiteral(".png")});
}
