// Windows error codes for the Linux emulation's failures (errors.cpp).
// Private to platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_ERRORS_H
#define RVSYS_PLATFORM_LINUX_ERRORS_H

#include "../platform.h"

namespace rvsys::platform::posix {

// The Windows error code for an errno value.
DWORD WindowsError(int errnoValue);

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_ERRORS_H
