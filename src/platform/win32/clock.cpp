// The system clocks on Windows, behind the clock seam (../clock.cpp), and the
// relative timers' clock.
#include "../system_clock.h"

namespace rvsys::platform {

DWORD SystemTickCount() { return ::GetTickCount(); }

void SystemFileTime(FILETIME* systemTime) { ::GetSystemTimeAsFileTime(systemTime); }

std::int64_t GetRelativeTimerClock() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value;
        ::QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    const std::int64_t ticks = counter.QuadPart;
    // In two parts, so that the product cannot overflow.
    return ticks / frequency * 10000000 + ticks % frequency * 10000000 / frequency;
}

}  // namespace rvsys::platform
