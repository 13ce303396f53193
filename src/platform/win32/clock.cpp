// The clock seam on Windows: GetTickCount and GetSystemTimeAsFileTime are the
// system's, read through one replaceable source so that tests script wraps and
// jumps exactly as on Linux.
#include <atomic>

#include "../platform.h"

namespace rvsys::platform {

namespace {

DWORD SystemTickCount() { return ::GetTickCount(); }
void SystemFileTime(FILETIME* systemTime) { ::GetSystemTimeAsFileTime(systemTime); }

constexpr ClockSource kSystemClock{SystemTickCount, SystemFileTime};
std::atomic<const ClockSource*> gClock{&kSystemClock};

}  // namespace

const ClockSource* SetClockSource(const ClockSource* source) {
    return gClock.exchange(source != nullptr ? source : &kSystemClock, std::memory_order_acq_rel);
}

DWORD GetTickCount() { return gClock.load(std::memory_order_acquire)->tickCount(); }

void GetSystemTimeAsFileTime(FILETIME* systemTime) { gClock.load(std::memory_order_acquire)->systemTime(systemTime); }

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
