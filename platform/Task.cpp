#include "platform/Task.h"

#include "platform/Log.h"

#include <QFileInfo>
#include <QProcess>

Task::Task() = default;

Task::~Task()
{
    // A task dropped while its program still runs must not leave it behind unwaited.
    if (m_process && m_process->state() != QProcess::NotRunning)
        m_process->waitForFinished(-1);
}

bool Task::launch()
{
    if (m_process) {
        logLine(QStringLiteral("Task: %1 was already launched").arg(m_launchPath));
        return false;
    }
    const auto refuse = [this](const QString& reason) {
        logLine(QStringLiteral("Task: cannot launch %1: %2").arg(m_launchPath, reason));
        return false;
    };
    const QFileInfo program(m_launchPath);
    if (!program.isAbsolute() || !program.exists())
        return refuse(QStringLiteral("no such file"));
    if (!program.isFile() || !program.isExecutable())
        return refuse(QStringLiteral("not an executable file"));
    if (!m_currentDirectoryPath.isEmpty() && !QFileInfo(m_currentDirectoryPath).isDir())
        return refuse(QStringLiteral("working directory %1 does not exist").arg(m_currentDirectoryPath));

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(m_launchPath);
    m_process->setArguments(m_arguments);
    if (!m_currentDirectoryPath.isEmpty())
        m_process->setWorkingDirectory(m_currentDirectoryPath);
    // Tools chatter on stdout ("adding: ..."), which is the command line's channel for results;
    // their complaints on stderr stay visible. Nothing reads the tool's stdin.
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start();
    if (!m_process->waitForStarted(-1))
        return refuse(m_process->errorString());
    m_pid = m_process->processId();
    return true;
}

void Task::waitUntilExit()
{
    if (!m_process || m_pid <= 0)
        return;
    // Also collects a program that ended before we got here.
    if (m_process->state() != QProcess::NotRunning)
        m_process->waitForFinished(-1);
    m_terminationStatus = m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

QString Task::description() const
{
    if (m_pid > 0)
        return QStringLiteral("<Task %1 pid %2>").arg(m_launchPath, QString::number(m_pid));
    return QStringLiteral("<Task %1 not launched>").arg(m_launchPath);
}
