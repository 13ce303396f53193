// Clocks of the Linux emulation.
//
// GetTickCount is CLOCK_BOOTTIME in milliseconds, low 32 bits: like Windows it
// counts time spent suspended and wraps after 2^32 ms (about 49.7 days).
// GetSystemTimeAsFileTime is CLOCK_REALTIME in 100 ns units since 1601-01-01.
// Both read through one replaceable source, the seam tests use to script wraps
// and jumps. Waits never use these clocks (they run on CLOCK_MONOTONIC).
#include <ctime>

#include "../platform.h"

namespace rvsys::platform {

namespace {

DWORD SystemTickCount() {
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    // Only the low 32 bits count, so 32-bit arithmetic (cheaper) is exact here.
    return static_cast<DWORD>(ts.tv_sec) * 1000u + static_cast<DWORD>(ts.tv_nsec) / 1000000u;
}

void SystemFileTime(FILETIME* systemTime) {
    constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t units = (static_cast<std::uint64_t>(ts.tv_sec) + kSecondsFrom1601To1970) * 10000000ull +
                                static_cast<std::uint64_t>(ts.tv_nsec) / 100u;
    systemTime->dwLowDateTime = static_cast<DWORD>(units);
    systemTime->dwHighDateTime = static_cast<DWORD>(units >> 32);
}

constexpr ClockSource kSystemClock{SystemTickCount, SystemFileTime};
std::atomic<const ClockSource*> gClock{&kSystemClock};

}  // namespace

const ClockSource* SetClockSource(const ClockSource* source) {
    return gClock.exchange(source != nullptr ? source : &kSystemClock, std::memory_order_acq_rel);
}

DWORD GetTickCount() {
    // The system clock is called directly: an indirect call costs a measurable
    // share of GetSystemUptime.
    const ClockSource* source = gClock.load(std::memory_order_acquire);
    return source == &kSystemClock ? SystemTickCount() : source->tickCount();
}

void GetSystemTimeAsFileTime(FILETIME* systemTime) { gClock.load(std::memory_order_acquire)->systemTime(systemTime); }

}  // namespace rvsys::platform
