// The system clocks of the Linux emulation, behind the clock seam (../clock.cpp).
//
// GetTickCount is CLOCK_BOOTTIME in milliseconds, low 32 bits: like Windows it
// counts time spent suspended and wraps after 2^32 ms (about 49.7 days).
// GetSystemTimeAsFileTime is CLOCK_REALTIME in 100 ns units since 1601-01-01.
#include <ctime>

#include "../system_clock.h"

namespace rvsys::platform {

DWORD SystemTickCount() {
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    // Only the low 32 bits count, so 32-bit arithmetic (cheaper) is exact here.
    return static_cast<DWORD>(ts.tv_sec) * 1000u + static_cast<DWORD>(ts.tv_nsec) / 1000000u;
}

void SystemFileTime(FILETIME* systemTime) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t units = static_cast<std::uint64_t>(ts.tv_sec) * 10000000ull +
                                static_cast<std::uint64_t>(ts.tv_nsec) / 100u + kFileTimeOfUnixEpoch;
    systemTime->dwLowDateTime = static_cast<DWORD>(units);
    systemTime->dwHighDateTime = static_cast<DWORD>(units >> 32);
}

}  // namespace rvsys::platform
