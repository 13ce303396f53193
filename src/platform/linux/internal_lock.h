// The emulation's own short lock, and the "no suspension here" marker it sets.
//
// InternalLock guards the emulation's private state (waiter lists, queued calls,
// the handle table). It is held for a few instructions, never across a call of
// user code or a blocking wait. While a thread holds one, the thread signal
// (SuspendThread, TerminateThread) neither stops nor ends it: the handler
// records the request and the thread acts on it when it leaves its last
// internal section, so a suspended thread never blocks other threads inside
// the emulation and a terminated one never leaves a list half-linked.
// NoSuspendScope marks a short step that holds no lock but must not be cut in
// two either (a release and the wake-up of the thread it released).
#ifndef RVSYS_PLATFORM_LINUX_INTERNAL_LOCK_H
#define RVSYS_PLATFORM_LINUX_INTERNAL_LOCK_H

#include <atomic>
#include <cstdint>

#include "dcheck.h"
#include "sys.h"

namespace rvsys::platform::posix {

// Per-thread depth of internal sections, and what to do when the last one is
// left: a suspension or termination that arrived inside one (set by the thread
// signal's handler on the same thread, to the stop it deferred). constinit
// spares every access the check for a dynamic initialiser.
extern thread_local constinit int tlsNoSuspendDepth [[gnu::tls_model("initial-exec")]];
using DeferredStop = void (*)();
extern thread_local constinit DeferredStop tlsDeferredStop [[gnu::tls_model("initial-exec")]];

inline void EnterNoSuspend() {
    ++tlsNoSuspendDepth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// EndNoSuspend leaves the deferred suspension to its caller (true when one
// waits), so that a fast path can make that call a tail call.
[[gnu::always_inline]] inline bool EndNoSuspend() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return --tlsNoSuspendDepth == 0 && tlsDeferredStop != nullptr;
}

// Runs the stop that the last section's end found waiting (EndNoSuspend true).
inline void RunDeferredStop() { tlsDeferredStop(); }

inline void LeaveNoSuspend() {
    if (EndNoSuspend()) RunDeferredStop();
}

class InternalLock {
public:
    void lock() {
        EnterNoSuspend();
        std::uint32_t expected = 0;
        if (!mWord.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockSlow();
        }
#if defined(RVSYS_DCHECK_ON)
        NoteHeld(this);
#endif
    }

    void unlock() {
#if defined(RVSYS_DCHECK_ON)
        NoteReleased(this);
#endif
        if (mWord.exchange(0, std::memory_order_release) == 2) FutexWake(&mWord, 1);
        LeaveNoSuspend();
    }

    // For code whose caller must hold the lock.
    void AssertHeld() const { RVSYS_DCHECK(HeldByCaller(this)); }

private:
    void LockSlow();
    // The calling thread's held internal locks, kept only when checks are on
    // (per thread, so the lock itself stays one word).
    static void NoteHeld(const InternalLock* lock);
    static void NoteReleased(const InternalLock* lock);
    static bool HeldByCaller(const InternalLock* lock);

    // 0 free, 1 held, 2 held and a thread may be sleeping on it.
    std::atomic<std::uint32_t> mWord{0};
};

// A step that must run to its end once begun, even if the thread is asked to
// stop or end meanwhile.
class NoSuspendScope {
public:
    NoSuspendScope() { EnterNoSuspend(); }
    ~NoSuspendScope() { LeaveNoSuspend(); }
    NoSuspendScope(const NoSuspendScope&) = delete;
    NoSuspendScope& operator=(const NoSuspendScope&) = delete;
};

class InternalGuard {
public:
    explicit InternalGuard(InternalLock& lock) : mLock(lock) { mLock.lock(); }
    ~InternalGuard() { mLock.unlock(); }
    InternalGuard(const InternalGuard&) = delete;
    InternalGuard& operator=(const InternalGuard&) = delete;

private:
    InternalLock& mLock;
};

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_INTERNAL_LOCK_H
