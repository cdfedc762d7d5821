#pragma once

// The real parcly-lite as a child process of a test: its own home (the test program's), the
// offscreen platform, no session bus, and the service named in its settings.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTest>

class AppProcess {
public:
    ~AppProcess() { stop(); }

    static QString settingsPath() { return QDir::homePath() + QStringLiteral("/.config/parcly/Parcly Lite.conf"); }

    static QVariant setting(const QString& key)
    {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        return settings.value(key);
    }

    static void configureService(const QString& url)
    {
        QDir().mkpath(QDir::homePath() + QStringLiteral("/.config/parcly"));
        QSettings settings(settingsPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("parcly-api-url"), url);
        settings.setValue(QStringLiteral("parcly-web-url"), url);
    }

    static QProcessEnvironment environment(const QString& browser = QStringLiteral("true"))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("BROWSER"), browser);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            environment.remove(QString::fromLatin1(name));
        return environment;
    }

    void start(const QStringList& arguments = {}, const QProcessEnvironment& env = environment())
    {
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(PARCLY_LITE_PATH), arguments);
        m_process.waitForStarted(5000);
    }

    // Reads what the app logged so far and says whether a line contains `text`.
    bool logged(const QString& text)
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log.contains(text);
    }
    bool waitForLog(const QString& text, int timeoutMs = 15000)
    {
        return QTest::qWaitFor([&] { return logged(text); }, timeoutMs);
    }
    QString log()
    {
        logged(QString());
        return m_log;
    }

    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }

    void stop()
    {
        if (!running())
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

private:
    QProcess m_process;
    QString m_log;
};

// Runs parcly-lite with these arguments as a second start and returns its exit code (-1: it did
// not end within the timeout).
inline int runSecondStart(const QStringList& arguments, int timeoutMs = 5000)
{
    QProcess second;
    second.setProcessEnvironment(AppProcess::environment());
    second.start(QStringLiteral(PARCLY_LITE_PATH), arguments);
    if (!second.waitForFinished(timeoutMs)) {
        second.kill();
        second.waitForFinished(1000);
        return -1;
    }
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}
