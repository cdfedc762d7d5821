#pragma once

// A program a test starts and owns: ended (terminate, then kill) when the test is done, with what
// it logged on stderr at hand.
#include <QProcess>
#include <QString>
#include <QTest>

class ChildProcess {
public:
    ~ChildProcess() { stop(); }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }

    // Reads what it logged on stderr so far and says whether a line holds `text` (for a process
    // whose stderr is not forwarded).
    bool logged(const QString& text)
    {
        log += QString::fromUtf8(process.readAllStandardError());
        return log.contains(text);
    }
    bool waitForLog(const QString& text, int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] { return logged(text); }, timeoutMs);
    }

    QProcess process;
    QString log;
};
