#pragma once

#include <QtGlobal>

#include <functional>

// Turns byte counts of an upload into progress reports a person can see: a fraction from 0.0 to
// 1.0, reported when it has grown by at least one step (not for every buffer), and 1.0 exactly
// once, when the last byte has gone.
class UploadProgress {
public:
    using Callback = std::function<void(double)>;
    static constexpr double kStep = 0.01;

    UploadProgress(qint64 totalBytes, Callback callback);

    // Called as bytes go out; with an unknown or zero total nothing is reported until finish().
    void bytesSent(qint64 sent);
    // Called when the transfer has ended; reports 1.0 if every byte was sent.
    void finish(qint64 sent);

    int reportCount() const { return m_reports; }

private:
    void report(double fraction);

    qint64 m_total;
    Callback m_callback;
    double m_lastReported = -1.0;
    int m_reports = 0;
};
