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

}  // namespace rvsys::platform
