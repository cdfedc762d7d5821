#pragma once

// The real parcly-lite as a child process of a test: its own home (the test program's), the
// offscreen platform, no session bus, and the service named in its settings.
#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTest>
#include <QUrl>

#include <unistd.h>

class AppProcess {
public:
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
        m_child.process.setProcessEnvironment(env);
        m_child.process.start(QStringLiteral(PARCLY_LITE_PATH), arguments);
        m_child.process.waitForStarted(5000);
    }

    bool waitForLog(const QString& text, int timeoutMs = 15000) { return m_child.waitForLog(text, timeoutMs); }
    // What it logged on stderr so far.
    QString log()
    {
        m_child.logged(QString());
        return m_child.log;
    }

    bool running() const { return m_child.process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_child.process.processId(); }
    QProcess& process() { return m_child.process; }
    void stop() { m_child.stop(); }

private:
    ChildProcess m_child;
};

// Runs parcly-lite with these arguments as a second start and returns its exit code (-1: it did
// not end within the timeout).
inline int runSecondStart(const QStringList& arguments, int timeoutMs = 5000,
                          const QProcessEnvironment& environment = AppProcess::environment())
{
    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(QStringLiteral(PARCLY_LITE_PATH), arguments);
    if (!second.waitForFinished(timeoutMs)) {
        second.kill();
        second.waitForFinished(1000);
        return -1;
    }
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}

// The share extension's hand-off folder, the owner's only as the extension makes it (empty if it
// cannot be made): the app takes files from nowhere else.
inline QString handOffFolder()
{
    const QString folder = QStringLiteral("%1/parcly-%2/share").arg(qEnvironmentVariable("TMPDIR")).arg(::getuid());
    if (!QDir().mkpath(folder))
        return {};
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(QFileInfo(folder).path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return folder;
}

// The hand-off URL as the share extension makes it: the file URL, query-encoded once more.
inline QString handOffURL(const QString& path)
{
    const QString fileURL = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    return QStringLiteral("parcly-lite://?handleURL=") + QString::fromLatin1(QUrl::toPercentEncoding(fileURL, "!$&'()*+,;=:@/?"));
}
