#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// A child process run without a shell: the arguments reach the program exactly as given.
// launch() starts it; waitUntilExit() blocks the calling thread until it has ended.
class Task {
public:
    Task();
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    void setLaunchPath(const QString& path) { m_launchPath = path; }
    QString launchPath() const { return m_launchPath; }
    void setArguments(const QStringList& arguments) { m_arguments = arguments; }
    QStringList arguments() const { return m_arguments; }
    void setCurrentDirectoryPath(const QString& path) { m_currentDirectoryPath = path; }

    // Starts the program. False, with a log line saying why, when it cannot be started.
    bool launch();
    // Returns once the program has ended; at once when it never started.
    void waitUntilExit();
    // The exit code once ended; -1 for a program that never started or was killed by a signal.
    int terminationStatus() const { return m_terminationStatus; }
    // "<Task /usr/bin/zip pid 1234>", or "<Task /usr/bin/zip not launched>".
    QString description() const;

private:
    QString m_launchPath;
    QStringList m_arguments;
    QString m_currentDirectoryPath;
    std::unique_ptr<QProcess> m_process;
    qint64 m_pid = 0;
    int m_terminationStatus = -1;
};
