#pragma once

// The real parcly-server (PARCLY_SERVER_PATH) on a free loopback port for as long as the object
// lives, its data in a temporary folder of its own unless the test names one. `url` is empty when
// it never said where it listens; `banner` is the line it said it in.
#include "ChildProcess.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

struct ReferenceService {
    explicit ReferenceService(const QStringList& options = {}, const QString& dataFolder = {})
    {
        server.process.start(QStringLiteral(PARCLY_SERVER_PATH),
                             QStringList{QStringLiteral("--listen"), QStringLiteral("0"), QStringLiteral("--data"),
                                         dataFolder.isEmpty() ? data.path() : dataFolder}
                                 + options);
        if (QTest::qWaitFor([this] { return server.process.canReadLine(); }, 10000)) {
            banner = QString::fromUtf8(server.process.readLine());
            url = QRegularExpression(QStringLiteral("(http://\\S+)")).match(banner).captured(1);
        }
    }

    QTemporaryDir data; // before the server: it ends before its folder goes
    ChildProcess server;
    QString banner;
    QString url;
};
