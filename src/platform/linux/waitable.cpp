// The signal state and waiter list of waitable objects (events, threads,
// timers).
//
// Data structure: each waitable object has an atomic state word (signalled bit,
// "waiters may be queued" bit), a FIFO of waiter records under a short internal
// lock, and a synchronization flag (auto-reset: a satisfied wait consumes the
// signal). A waiter record points at its thread's wake word; granting marks
// that word and wakes it.
//
// Lock order: an object's lock is the innermost lock; nothing is called with it
// held except the waker of a manual-reset release.
//
// Windows behaviours reproduced:
// - Auto-reset SetEvent hands the signal to one blocked waiter inside the call
//   (the waiter is marked granted and unlinked), and sets the event only when
//   nobody waits. So two quick SetEvents with two blocked waiters release both;
//   "set a flag and notify" would lose the second.
// - A waiter that leaves (time-out, queued call, termination) removes itself
//   under the lock; if it was granted first it keeps the grant, so no signal
//   is lost.
// - Signalling with nobody waiting and consuming a pending signal are one
//   atomic instruction each, with no lock and no system call.
// A signal given under a lock (SetEventUnderLock) wakes its waiter as that lock
// is left, but only a waiter that takes that same lock again when it wakes
// (WaitLeavingLock records it in its wait block); every other waiter wakes at
// once, as on Windows, so a holder that waits for it cannot deadlock.
#include "waitable.h"

namespace rvsys::platform::posix {

namespace {

// Clears the waiters bit when the list empties.
void Unlink(Waitable* object, WaitBlock* block) {
    object->lock.AssertHeld();
    object->waiters.Remove(block);
    if (object->waiters.Empty()) object->state.fetch_and(~Waitable::kWaiters, std::memory_order_relaxed);
}

// After this the waiter may return at any moment; only its wake word (in a
// type-stable thread object) may still be touched, to wake it.
WakeWord* Grant(Waitable* object, WaitBlock* block) {
    WakeWord* wake = block->wake;
    Unlink(object, block);
    wake->fetch_or(WakeWord::kGranted, std::memory_order_release);
    return wake;
}

}  // namespace

bool TakeOrEnqueue(Waitable* object, WaitBlock* block) {
    InternalGuard guard(object->lock);
    std::uint32_t state = object->state.load(std::memory_order_relaxed);
    for (;;) {
        if ((state & Waitable::kSignaled) != 0) {
            if (!object->synchronization.load(std::memory_order_relaxed) ||
                object->state.compare_exchange_weak(state, state & ~Waitable::kSignaled, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                return true;
            }
            continue;
        }
        // Fails if a lock-free signal comes meanwhile; then take that signal.
        if (object->state.compare_exchange_weak(state, state | Waitable::kWaiters, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
            break;
        }
    }
    block->wake->fetch_and(~WakeWord::kGranted, std::memory_order_relaxed);
    object->waiters.PushBack(block);
    return false;
}

bool LeaveWaitList(Waitable* object, WaitBlock* block) {
    InternalGuard guard(object->lock);
    if (!object->waiters.Contains(block)) return true;
    Unlink(object, block);
    return false;
}

bool TryConsume(Waitable* object) {
    std::uint32_t state = object->state.load(std::memory_order_acquire);
    for (;;) {
        if ((state & Waitable::kSignaled) == 0) return false;
        if (!object->synchronization.load(std::memory_order_relaxed)) return true;
        if (object->state.compare_exchange_weak(state, state & ~Waitable::kSignaled, std::memory_order_acquire,
                                                std::memory_order_acquire)) {
            return true;
        }
    }
}

void SignalWaitable(Waitable* object, CRITICAL_SECTION* postponeUntilLeft) {
    NoSuspendScope whole;  // a waiter granted the signal is always woken
    std::uint32_t state = object->state.load(std::memory_order_relaxed);
    while ((state & Waitable::kWaiters) == 0) {
        if ((state & Waitable::kSignaled) != 0) return;
        if (object->state.compare_exchange_weak(state, state | Waitable::kSignaled, std::memory_order_release,
                                                std::memory_order_relaxed)) {
            return;
        }
    }

    WakeWord* toWake = nullptr;
    bool wakeAfterLock = false;
    {
        InternalGuard guard(object->lock);
        if (object->synchronization.load(std::memory_order_relaxed)) {
            if (WaitBlock* first = object->waiters.Front()) {
                // Read while the waiter is still queued, so still in this wait.
                wakeAfterLock = postponeUntilLeft != nullptr &&
                                first->retakes.load(std::memory_order_relaxed) == postponeUntilLeft;
                toWake = Grant(object, first);
            } else {
                object->state.fetch_or(Waitable::kSignaled, std::memory_order_release);
            }
        } else {
            object->state.fetch_or(Waitable::kSignaled, std::memory_order_release);
            // Released waiters may return before we are done with the list, so
            // each is woken while the lock still keeps its record in place.
            while (WaitBlock* first = object->waiters.Front()) FutexWake(Grant(object, first), 1);
        }
    }
    if (toWake == nullptr) return;
    // Woken outside the object's lock, so the waiter does not run into it at
    // once; and after the caller's own lock when it holds the one the waiter
    // must take again (the condition pattern), for the same reason. A waiter
    // that takes no lock, or another one, is woken at once: deferring it would
    // hold it back for nothing, and deadlock a holder that waits for it.
    if (wakeAfterLock && postponeUntilLeft->owner.load(std::memory_order_relaxed) == CurrentThreadPointer()) {
        if (postponeUntilLeft->deferredWake != nullptr) FutexWake(postponeUntilLeft->deferredWake, 1);
        postponeUntilLeft->deferredWake = toWake;
        return;
    }
    FutexWake(toWake, 1);
}

}  // namespace rvsys::platform::posix
