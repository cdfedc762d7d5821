#include "platform/Log.h"

#include <QCoreApplication>
#include <QFileInfo>

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
        // openlog keeps the pointer, so the identity must outlive every later syslog call.
        static const QByteArray ident = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8();
        openlog(ident.isEmpty() ? "parcly" : ident.constData(), LOG_PID, LOG_USER);
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
