#include "ProgressBar.h"

#include <algorithm>
#include <string>
#include <unistd.h>

namespace {
constexpr int kWidth = 40;
}

ProgressBar::ProgressBar(std::FILE* stream)
    : m_stream(stream)
    , m_visible(::isatty(::fileno(stream)) == 1)
{
}

void ProgressBar::update(double fraction)
{
    if (!m_visible)
        return;
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    const int percent = int(clamped * 100.0);
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    const int filled = int(clamped * kWidth);
    const std::string bar = std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '.');
    std::fprintf(m_stream, "\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(m_stream);
    m_drawn = true;
}

void ProgressBar::finish()
{
    if (m_drawn) {
        std::fputc('\n', m_stream);
        std::fflush(m_stream);
        m_drawn = false;
    }
}
