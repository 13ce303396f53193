// Events, waits and sleeps of the Linux emulation.
//
// Data structure: each waitable object has an atomic state word (signalled bit,
// "waiters may be queued" bit), a FIFO of waiter records under a short internal
// lock, and a synchronization flag (auto-reset: a satisfied wait consumes the
// signal). A blocked waiter sleeps on its own thread's wake word (objects.h).
//
// Lock order: an object's lock is the innermost lock; nothing is called with it
// held except the waker of a manual-reset release.
//
// Windows behaviours reproduced:
// - Auto-reset SetEvent hands the signal to one blocked waiter inside the call
//   (the waiter is marked granted and unlinked), and sets the event only when
//   nobody waits. So two quick SetEvents with two blocked waiters release both;
//   "set a flag and notify" would lose the second.
// - A waiter that times out, or leaves for a queued call, removes itself under
//   the lock; if it was granted first it returns 0 instead, so no signal is lost.
// - SetEvent / ResetEvent with nobody waiting and a wait on a signalled event
//   are one atomic instruction each, with no lock and no system call.
// - An alertable wait tests the object first (a signalled object returns 0 and
//   runs no queued call); otherwise it runs the queued calls, outside all
//   locks, FIFO, including calls queued by those calls, and returns 192 without
//   testing the object again. Calls that other threads queue while it runs wait
//   for the next alertable wait, so a steady stream of them cannot keep the
//   thread in this one.
// - Timeouts run on CLOCK_MONOTONIC from a deadline fixed at the start; a wait
//   never returns 258 early; EINTR and spurious wake-ups only re-test.
// - Waiting on the pseudo-handles of the current process or thread times out.
// - A thread terminated while blocked in a wait or sleep leaves the waiter list
//   first, then ends (threads.cpp); an auto-reset signal granted to it in that
//   moment is passed on, not swallowed.
// A signal given under a lock (SetEventUnderLock) wakes its waiter as that lock
// is left, but only a waiter that takes that same lock again when it wakes
// (WaitLeavingLock records it on the thread); every other waiter wakes at once,
// as on Windows, so a holder that waits for it cannot deadlock.
// Deliberate gaps: no named events, no PulseEvent, no multiple-object waits.
// Semaphores wait in semaphores.cpp.
#include <sched.h>

#include "objects.h"

namespace rvsys::platform::posix {

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

// Called with the lock held.
void Append(Waitable* object, WaitBlock* block) {
    block->next = nullptr;
    block->prev = object->tail;
    if (object->tail != nullptr) {
        object->tail->next = block;
    } else {
        object->head = block;
    }
    object->tail = block;
    block->queued = true;
}

// Called with the lock held. Clears the waiters bit when the list empties.
void Unlink(Waitable* object, WaitBlock* block) {
    if (block->prev != nullptr) {
        block->prev->next = block->next;
    } else {
        object->head = block->next;
    }
    if (block->next != nullptr) {
        block->next->prev = block->prev;
    } else {
        object->tail = block->prev;
    }
    block->next = block->prev = nullptr;
    block->queued = false;
    if (object->head == nullptr) object->state.fetch_and(~Waitable::kWaiters, std::memory_order_relaxed);
}

// Called with the lock held. After this the waiter may return at any moment;
// only its ThreadObj (type-stable) may still be touched, to wake it.
ThreadObj* Grant(Waitable* object, WaitBlock* block) {
    ThreadObj* thread = block->thread;
    Unlink(object, block);
    thread->wake.fetch_or(ThreadObj::kGranted, std::memory_order_release);
    return thread;
}

// A waiter spins on its wake word before it sleeps, so a grant that comes
// within a microsecond or two (ping-pong across cores) costs no system call on
// the waiting side. The budget adapts per thread: doubled when spinning caught
// the grant, halved when it did not; none when there is only one CPU to run on.
constexpr std::uint32_t kMaxWaitSpins = 64;

// The shared blocking path of WaitForSingleObject(Ex) on a waitable object.
// The caller holds a reference to `object`.
DWORD WaitOn(Waitable* object, DWORD milliseconds, bool alertable) {
    if (TryConsume(object)) return WAIT_OBJECT_0;
    ThreadObj* self;
    DWORD early;
    if (!PrepareToBlock(object, milliseconds, alertable, &self, &early)) return early;
    WaitHold hold{self};
    const Deadline deadline(milliseconds);
    {
        InternalGuard guard(object->lock);
        std::uint32_t state = object->state.load(std::memory_order_relaxed);
        for (;;) {
            if ((state & Waitable::kSignaled) != 0) {
                if (!object->synchronization.load(std::memory_order_relaxed) ||
                    object->state.compare_exchange_weak(state, state & ~Waitable::kSignaled,
                                                        std::memory_order_acquire, std::memory_order_relaxed)) {
                    EndBlocking(self);
                    return WAIT_OBJECT_0;
                }
                continue;
            }
            // Fails if a lock-free SetEvent signals meanwhile; then take that signal.
            if (object->state.compare_exchange_weak(state, state | Waitable::kWaiters, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                break;
            }
        }
        self->wake.fetch_and(~ThreadObj::kGranted, std::memory_order_relaxed);
        Append(object, &self->waitBlock);
    }

    if (MayRunInParallel()) {
        bool caught = false;
        for (std::uint32_t spin = 0; spin < self->waitSpins; ++spin) {
            if ((self->wake.load(std::memory_order_acquire) & ThreadObj::kGranted) != 0) {
                caught = true;
                break;
            }
            CpuRelax();
        }
        self->waitSpins = caught ? (self->waitSpins * 2 < kMaxWaitSpins ? self->waitSpins * 2 : kMaxWaitSpins)
                                 : (self->waitSpins > 1 ? self->waitSpins / 2 : 1);
    }
    WakeReason reason = Block(self, deadline, alertable, true);
    if (reason != WakeReason::Granted) {
        bool granted;
        {
            InternalGuard guard(object->lock);
            granted = !self->waitBlock.queued;
            if (!granted) Unlink(object, &self->waitBlock);
        }
        if (granted) {
            if (reason == WakeReason::Terminate) {
                // A dying thread must not swallow an auto-reset signal: pass it on.
                if (object->synchronization.load(std::memory_order_relaxed)) SignalWaitable(object);
            } else {
                reason = WakeReason::Granted;
            }
        }
    }
    EndBlocking(self);
    return WaitResult(self, reason);
}

// A wait on something that is never signalled while we wait (pseudo-handles).
DWORD WaitNever(DWORD milliseconds, bool alertable) {
    return SleepEx(milliseconds, alertable) == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : WAIT_TIMEOUT;
}

}  // namespace

bool PrepareToBlock(KObject* held, DWORD milliseconds, bool alertable, ThreadObj** self, DWORD* result) {
    *self = CurrentThread();
    if (*self == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        *result = WAIT_FAILED;
        return false;
    }
    if (alertable && (*self)->apcCount.load(std::memory_order_acquire) != 0) {
        RunQueuedCalls(*self);
        *result = WAIT_IO_COMPLETION;
        return false;
    }
    if (milliseconds == 0) {
        *result = WAIT_TIMEOUT;
        return false;
    }
    (*self)->waitHeld = held;  // released by the thread's exit path if the wait ends the thread
    if (!BeginBlocking(*self)) {
        EndThreadForTermination(*self);
        (*self)->waitHeld = nullptr;
        *result = WAIT_FAILED;  // only while the thread is already ending
        return false;
    }
    return true;
}

DWORD WaitResult(ThreadObj* self, WakeReason reason) {
    switch (reason) {
        case WakeReason::Granted:
            return WAIT_OBJECT_0;
        case WakeReason::QueuedCall:
            RunQueuedCalls(self);
            return WAIT_IO_COMPLETION;
        case WakeReason::Timeout:
            return WAIT_TIMEOUT;
        case WakeReason::Terminate:
            break;
    }
    EndThreadForTermination(self);
    SetLastError(ERROR_GEN_FAILURE);
    return WAIT_FAILED;
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

    ThreadObj* toWake = nullptr;
    bool wakeAfterLock = false;
    {
        InternalGuard guard(object->lock);
        if (object->synchronization.load(std::memory_order_relaxed)) {
            if (object->head != nullptr) {
                // Read while the waiter is still queued, so still in this wait.
                wakeAfterLock = postponeUntilLeft != nullptr &&
                                object->head->thread->retakes.load(std::memory_order_relaxed) == postponeUntilLeft;
                toWake = Grant(object, object->head);
            } else {
                object->state.fetch_or(Waitable::kSignaled, std::memory_order_release);
            }
        } else {
            object->state.fetch_or(Waitable::kSignaled, std::memory_order_release);
            // Released waiters may return before we are done with the list, so
            // each is woken while the lock still keeps its record in place.
            while (object->head != nullptr) FutexWake(&Grant(object, object->head)->wake, 1);
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
        postponeUntilLeft->deferredWake = &toWake->wake;
        return;
    }
    FutexWake(&toWake->wake, 1);
}

WakeReason Block(ThreadObj* self, const Deadline& deadline, bool alertable, bool grantable) {
    // Blocked alertably, a thread with routine timers of its own wakes for them
    // itself, so their calls cost one wake-up rather than the service's and ours.
    const bool selfTiming = alertable && self->ownedTimers != nullptr;
    std::int64_t ownDue = selfTiming ? BeginSelfTiming(self) : INT64_MAX;
    WakeReason reason;
    for (;;) {
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        if (grantable && (wake & ThreadObj::kGranted) != 0) {
            reason = WakeReason::Granted;
            break;
        }
        if (MustLeaveWait(self, alertable, &reason)) break;
        const timespec now = MonotonicNow();
        if (!deadline.Infinite() && NotBefore(now, *deadline.Abs())) {
            reason = WakeReason::Timeout;
            break;
        }
        const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (ownDue <= nowNs) {
            ownDue = ExpireOwnTimers(self);  // queues their calls to us: the next check sees them
            continue;
        }
        const timespec* until = deadline.Abs();
        timespec own;
        if (ownDue != INT64_MAX) {
            own.tv_sec = static_cast<time_t>(ownDue / 1000000000);
            own.tv_nsec = static_cast<long>(ownDue % 1000000000);
            if (until == nullptr || !NotBefore(own, *until)) until = &own;
        }
        FutexWait(&self->wake, wake, until);
    }
    if (selfTiming) EndSelfTiming(self);
    return reason;
}

void EventObj::Reset(bool manualReset, bool initialState) {
    state.store(initialState ? kSignaled : 0, std::memory_order_relaxed);
    synchronization.store(!manualReset, std::memory_order_relaxed);
    head = tail = nullptr;
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);  // the library uses unnamed events only
        return nullptr;
    }
    EventObj* event = AllocEvent();
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->Reset(manualReset != FALSE, initialState != FALSE);
    HANDLE handle = OpenHandle(event);
    Release(event);
    if (handle != nullptr) SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    SignalWaitable(event);
    return TRUE;
}

BOOL SetEventUnderLock(HANDLE handle, LPCRITICAL_SECTION lock) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    SignalWaitable(event, lock);
    return TRUE;
}

DWORD WaitLeavingLock(HANDLE handle, DWORD milliseconds, BOOL alertable, LPCRITICAL_SECTION lock) {
    ThreadObj* self = CurrentThread();
    // Restored also when the wait unwinds, and nested waits (in queued calls)
    // put back the outer one's lock.
    struct Retaking {
        ThreadObj* self;
        const CRITICAL_SECTION* previous;
        ~Retaking() {
            if (self != nullptr) self->retakes.store(previous, std::memory_order_relaxed);
        }
    } retaking{self, self != nullptr ? self->retakes.exchange(lock, std::memory_order_relaxed) : nullptr};
    LeaveCriticalSection(lock);
    const DWORD result = WaitForSingleObjectEx(handle, milliseconds, alertable);
    EnterCriticalSection(lock);
    return result;
}

BOOL ResetEvent(HANDLE handle) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    // Nobody queues on a signalled event, so clearing needs no lock.
    if ((event->state.load(std::memory_order_relaxed) & Waitable::kSignaled) != 0) {
        event->state.fetch_and(~Waitable::kSignaled, std::memory_order_relaxed);
    }
    return TRUE;
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    // The Lock/Unlock pair of a semaphore in use: no table walk.
    if (SemObj* semaphore = CachedSemaphore(handle); semaphore != nullptr && TryTakeSemaphore(semaphore)) {
        return WAIT_OBJECT_0;
    }
    if (handle == kCurrentProcess || handle == kCurrentThread) return WaitNever(milliseconds, alertable != FALSE);
    KObject* object = PeekHandle(handle);
    if (object == nullptr) return WAIT_FAILED;
    switch (object->kind) {
        case Kind::Event:
        case Kind::Thread:
        case Kind::Timer: {
            // The common case, a signalled object, needs no reference.
            if (TryConsume(static_cast<Waitable*>(object))) return WAIT_OBJECT_0;
            Ref<KObject> held(AcquireHandle(handle));
            if (!held) return WAIT_FAILED;
            return WaitOn(static_cast<Waitable*>(held.get()), milliseconds, alertable != FALSE);
        }
        case Kind::Semaphore: {
            SemObj* semaphore = ResolveSemaphore(handle);  // remembered for the next call
            if (semaphore != nullptr && TryTakeSemaphore(semaphore)) return WAIT_OBJECT_0;
            Ref<KObject> held(AcquireHandle(handle));
            if (!held) return WAIT_FAILED;
            return WaitForSemaphore(static_cast<SemObj*>(held.get()), milliseconds, alertable != FALSE);
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForSingleObjectEx(handle, milliseconds, FALSE);
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    ThreadObj* self = CurrentThread();
    if (self == nullptr) Fatal("no memory for the calling thread's state");
    if (alertable != FALSE && self->apcCount.load(std::memory_order_acquire) != 0) {
        RunQueuedCalls(self);
        return WAIT_IO_COMPLETION;
    }
    if (milliseconds == 0) {
        if (TerminationRequested(self)) EndThreadForTermination(self);
        sched_yield();
        return 0;
    }
    const Deadline deadline(milliseconds);
    if (!BeginBlocking(self)) {
        EndThreadForTermination(self);
        return 0;
    }
    const WakeReason reason = Block(self, deadline, alertable != FALSE, false);
    EndBlocking(self);
    if (reason == WakeReason::Terminate) {
        EndThreadForTermination(self);
        return 0;
    }
    if (reason == WakeReason::QueuedCall) {
        RunQueuedCalls(self);
        return WAIT_IO_COMPLETION;
    }
    return 0;
}

void Sleep(DWORD milliseconds) { SleepEx(milliseconds, FALSE); }

}  // namespace rvsys::platform
