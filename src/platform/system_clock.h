// The system's own clocks behind the clock seam (clock.cpp): one pair per
// system, in linux/clock.cpp and win32/clock.cpp.
#ifndef RVSYS_PLATFORM_SYSTEM_CLOCK_H
#define RVSYS_PLATFORM_SYSTEM_CLOCK_H

#include "platform.h"

namespace rvsys::platform {

DWORD SystemTickCount();
void SystemFileTime(FILETIME* systemTime);

}  // namespace rvsys::platform

#endif  // RVSYS_PLATFORM_SYSTEM_CLOCK_H
