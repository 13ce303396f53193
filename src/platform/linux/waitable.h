// Objects a thread can wait for (events, threads, timers): a signal state and a
// FIFO of waiter records, and the wake word a blocked waiter sleeps on.
// Private to platform/linux; knows nothing of threads beyond their wake word.
//
// Every thread known to the emulation has a wake word (threads.h). All blocking
// (object and thread waits, sleeps, the start gate) sleeps on that word;
// whoever wants the thread to re-check its condition (a signaller granting it
// an object, QueueUserAPC, TerminateThread) changes the word, then wakes it.
// Only critical sections sleep on their own lock word.
#ifndef RVSYS_PLATFORM_LINUX_WAITABLE_H
#define RVSYS_PLATFORM_LINUX_WAITABLE_H

#include <atomic>
#include <cstdint>

#include "handles.h"
#include "internal_lock.h"
#include "list.h"
#include "sys.h"

namespace rvsys::platform::posix {

// A thread's futex word for all its blocking: kGranted, plus a counter that
// every poke advances.
struct WakeWord : std::atomic<std::uint32_t> {
    static constexpr std::uint32_t kGranted = 1;  // a signaller handed it the object it waits for
    static constexpr std::uint32_t kPoke = 2;

    WakeWord() noexcept : std::atomic<std::uint32_t>(0) {}

    // Makes the thread re-check why it blocks (call queued, termination asked).
    void Poke() {
        fetch_add(kPoke, std::memory_order_release);
        FutexWake(this, 1);
    }
};

// A thread's record on one object's waiter list. Each thread waits on at most
// one object at a time, so the record is embedded in its thread object.
struct WaitBlock : ListNode<WaitBlock> {
    WakeWord* wake = nullptr;  // the owner's, fixed
    // The lock the wait takes again when it ends (WaitLeavingLock), or null; a
    // signaller holding that very lock defers the wake-up.
    std::atomic<const CRITICAL_SECTION*> retakes{nullptr};
};

// An object with a signal state and a FIFO of waiters.
struct Waitable : KObject {
    static constexpr std::uint32_t kSignaled = 1;
    static constexpr std::uint32_t kWaiters = 2;  // the waiter list may be non-empty

    explicit Waitable(Kind k) : KObject(k) {}

    // For a pooled object taken into use: the given signal state, no waiter.
    void ResetWaitable(bool synchronizationObject, bool signalled) {
        state.store(signalled ? kSignaled : 0, std::memory_order_relaxed);
        synchronization.store(synchronizationObject, std::memory_order_relaxed);
        waiters.Reset();
    }

    // Synchronization object: a satisfied wait consumes the signal (auto-reset).
    std::atomic<bool> synchronization{false};
    // Changed only with atomic read-modify-writes, so the lock-free fast paths
    // (signal with nobody waiting, consume a pending signal) stay linearizable
    // with the locked slow paths.
    std::atomic<std::uint32_t> state{0};

    InternalLock lock;  // guards the list below
    IntrusiveList<WaitBlock> waiters;
};

// Signal state of a waitable (used by events, timers and a thread's end).
// Auto-reset: hand the signal to one waiter, or set it; manual: set and release
// all. A waiter released by an auto-reset signal is woken at once, or, when the
// calling thread holds `postponeUntilLeft`, when it leaves that lock.
void SignalWaitable(Waitable* object, CRITICAL_SECTION* postponeUntilLeft = nullptr);
bool TryConsume(Waitable* object);  // lock-free test-and-take of the signal

// The waiter side, for a thread whose fast TryConsume failed: under the
// object's lock, takes the signal if it came meanwhile (true), or clears the
// block's grant and queues it (false). Then, after a wake-up that was not a
// grant, LeaveWaitList unlinks the block unless a signaller granted it the
// object first (true: the wait is satisfied after all).
bool TakeOrEnqueue(Waitable* object, WaitBlock* block);
bool LeaveWaitList(Waitable* object, WaitBlock* block);

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_WAITABLE_H
