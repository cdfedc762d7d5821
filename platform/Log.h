#pragma once

#include <QString>
#include <QStringList>

// The system log: one line per event, no levels. Lines go to stderr and to syslog.
void logLine(const QString& line);

// While alive, records every logged line (still passing it on to stderr and syslog).
// Tests use it to check what was logged; the command line uses it to quiet stderr.
class ScopedLogCapture {
public:
    enum class Echo { On, Off };
    explicit ScopedLogCapture(Echo echo = Echo::On);
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    QStringList lines() const;
    // Lines that start with the given prefix, e.g. "Error: ".
    QStringList linesStartingWith(const QString& prefix) const;

private:
    friend void logLine(const QString&);
    void record(const QString& line);

    Echo m_echo;
    ScopedLogCapture* m_previous = nullptr;
    mutable QStringList m_lines;
};
