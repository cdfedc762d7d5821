#include "app/service/UploadProgress.h"

#include <algorithm>

UploadProgress::UploadProgress(qint64 totalBytes, Callback callback)
    : m_total(totalBytes)
    , m_callback(std::move(callback))
{
}

void UploadProgress::bytesSent(qint64 sent)
{
    if (m_total <= 0 || sent < 0)
        return;
    const double fraction = std::clamp(double(sent) / double(m_total), 0.0, 1.0);
    if (fraction >= 1.0) {
        report(1.0);
        return;
    }
    if (m_lastReported < 0.0 || fraction - m_lastReported >= kStep)
        report(fraction);
}

void UploadProgress::finish(qint64 sent)
{
    if (sent >= m_total)
        report(1.0);
}

void UploadProgress::report(double fraction)
{
    if (fraction <= m_lastReported)
        return;
    m_lastReported = fraction;
    ++m_reports;
    if (m_callback)
        m_callback(fraction);
}
