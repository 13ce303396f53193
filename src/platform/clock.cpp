// The clock seam, the same on both systems: GetTickCount and
// GetSystemTimeAsFileTime read the system's clocks (system_clock.h) through
// one replaceable source, which tests replace to script wraps and jumps.
// Waits never use these clocks.
#include <atomic>

#include "platform.h"
#include "system_clock.h"

namespace rvsys::platform {

namespace {

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
