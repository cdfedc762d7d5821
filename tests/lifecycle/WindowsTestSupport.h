#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
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
    QProcess::execute(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), folder + QLatin1Char('/') + name + QStringLiteral(".png")});
}


// parcly-server on a free loopback port with its own data, for as long as the object lives.
struct ReferenceService {
    explicit ReferenceService(const QStringList& options = {})
    {
        process.start(QStringLiteral(PARCLY_SERVER_PATH),
                      QStringList{QStringLiteral("--listen"), QStringLiteral("0"), QStringLiteral("--data"), data.path()} + options);
        if (QTest::qWaitFor([this] { return process.canReadLine(); }, 10000))
            url = QRegularExpression(QStringLiteral("(http://\\S+)")).match(QString::fromUtf8(process.readLine())).captured(1);
    }
    ~ReferenceService() { process.terminate(), process.waitForFinished(5000); }
    QTemporaryDir data;
    QProcess process;
    QString url;
};
