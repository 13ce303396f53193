// The contended path of InternalLock (internal_lock.h): a short spin, since
// holders keep it for a few instructions, then a futex sleep on the word marked
// "held with sleepers" (2), which makes the holder's unlock wake one. With
// checks on, each thread also records the internal locks it holds (a handful at
// most: they nest only a few deep), so "the caller holds this lock" can be
// checked.
#include "internal_lock.h"

#include <atomic>

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

namespace {

constexpr int kMaxHeld = 8;
thread_local const InternalLock* tlsHeld [[gnu::tls_model("initial-exec")]][kMaxHeld] = {};
thread_local int tlsHeldCount [[gnu::tls_model("initial-exec")]] = 0;

}  // namespace

void InternalLock::NoteHeld(const InternalLock* lock) {
    RVSYS_DCHECK(tlsHeldCount < kMaxHeld);
    // The slot is claimed before it is written: a handler that runs in between
    // pushes and pops above it.
    const int at = tlsHeldCount++;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    tlsHeld[at] = lock;
}

// A signal handler may take and leave locks in between, always in pairs, so
// the entry is searched for rather than assumed on top.
void InternalLock::NoteReleased(const InternalLock* lock) {
    for (int i = tlsHeldCount - 1; i >= 0; --i) {
        if (tlsHeld[i] != lock) continue;
        for (int j = i + 1; j < tlsHeldCount; ++j) tlsHeld[j - 1] = tlsHeld[j];
        --tlsHeldCount;
        return;
    }
    RVSYS_DCHECK(false && "an internal lock left by a thread that does not hold it");
}

bool InternalLock::HeldByCaller(const InternalLock* lock) {
    for (int i = 0; i < tlsHeldCount; ++i) {
        if (tlsHeld[i] == lock) return true;
    }
    return false;
}

}  // namespace rvsys::platform::posix
