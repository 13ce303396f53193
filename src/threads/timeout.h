// Conversion of the public API's unsigned long times to the platform's 32 bits.
#ifndef RVSYS_THREADS_TIMEOUT_H
#define RVSYS_THREADS_TIMEOUT_H

#include "../platform/platform.h"

namespace rvsys::detail {

// On Linux unsigned long is 64 bits: values past 0xFFFFFFFF saturate to the
// infinite timeout rather than wrapping to a short one, so a wait never ends
// sooner than asked.
inline platform::DWORD ToTimeout(unsigned long milliseconds) {
    return milliseconds >= 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<platform::DWORD>(milliseconds);
}

}  // namespace rvsys::detail

#endif  // RVSYS_THREADS_TIMEOUT_H
