#include "platform/Log.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {

std::mutex& logMutex()
{
    static std::mutex mutex;
    return mutex;
}

ScopedLogCapture*& currentCapture()
{
    static ScopedLogCapture* capture = nullptr;
    return capture;
}

void openSyslogOnce()
{
    static const bool opened = [] {
        // The program's own name, also before any application object exists (a line logged
        // while the program decides how to start). It lives as long as the process, as openlog needs.
        openlog(program_invocation_short_name[0] ? program_invocation_short_name : "parcly", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
}

} // namespace

void logLine(const QString& line)
{
    // One event is one line, even when an error text carries newlines.
    QString single = line;
    single.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray utf8 = single.toUtf8();

    std::lock_guard lock(logMutex());
    bool echo = true;
    if (ScopedLogCapture* capture = currentCapture()) {
        capture->record(single);
        echo = capture->m_echo == ScopedLogCapture::Echo::On;
    }
    if (echo) {
        std::fprintf(stderr, "%s\n", utf8.constData());
        std::fflush(stderr);
    }
    openSyslogOnce();
    syslog(LOG_NOTICE, "%s", utf8.constData());
}

ScopedLogCapture::ScopedLogCapture(Echo echo)
    : m_echo(echo)
{
    std::lock_guard lock(logMutex());
    m_previous = currentCapture();
    currentCapture() = this;
}

ScopedLogCapture::~ScopedLogCapture()
{
    std::lock_guard lock(logMutex());
    currentCapture() = m_previous;
}

void ScopedLogCapture::record(const QString& line)
{
    m_lines.append(line);
}

QStringList ScopedLogCapture::lines() const
{
    std::lock_guard lock(logMutex());
    return m_lines;
}

QStringList ScopedLogCapture::linesStartingWith(const QString& prefix) const
{
    QStringList matching;
    for (const QString& line : lines()) {
        if (line.startsWith(prefix))
            matching.append(line);
    }
    return matching;
}
