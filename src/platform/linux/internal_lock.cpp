// The contended path of InternalLock (internal_lock.h): a short spin, since
// holders keep it for a few instructions, then a futex sleep on the word marked
// "held with sleepers" (2), which makes the holder's unlock wake one.
#include "internal_lock.h"

namespace rvsys::platform::posix {

thread_local constinit int tlsNoSuspendDepth [[gnu::tls_model("initial-exec")]] = 0;
thread_local constinit DeferredStop tlsDeferredStop [[gnu::tls_model("initial-exec")]] = nullptr;

void InternalLock::LockSlow() {
    for (int spin = 0; spin < 100; ++spin) {
        CpuRelax();
        std::uint32_t expected = 0;
        if (mWord.load(std::memory_order_relaxed) == 0 &&
            mWord.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
    }
    while (mWord.exchange(2, std::memory_order_acquire) != 0) FutexWait(&mWord, 2);
}

}  // namespace rvsys::platform::posix
