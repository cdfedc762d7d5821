#include "platform/Screen.h"

#include <mutex>

namespace {

std::mutex& sourceMutex()
{
    static std::mutex mutex;
    return mutex;
}

Screen::ScaleFactorSource& currentSource()
{
    static Screen::ScaleFactorSource source;
    return source;
}

} // namespace

double Screen::backingScaleFactor()
{
    ScaleFactorSource source;
    {
        std::lock_guard lock(sourceMutex());
        source = currentSource();
    }
    return source ? source() : 1.0;
}

void Screen::setScaleFactorSource(ScaleFactorSource source)
{
    std::lock_guard lock(sourceMutex());
    currentSource() = std::move(source);
}
