#pragma once

#include <cstdio>

// A one-line progress bar redrawn in place on a terminal; silent when the stream is not one.
class ProgressBar {
public:
    explicit ProgressBar(std::FILE* stream);

    bool visible() const { return m_visible; }
    void update(double fraction);
    // Ends the bar's line so that later output starts on a fresh one.
    void finish();

private:
    std::FILE* m_stream;
    bool m_visible;
    int m_lastPercent = -1;
    bool m_drawn = false;
};
