// How a thread of the Linux emulation blocks: the wait on a waitable object,
// sleeps, and the one sleeping loop both use.
//
// Data structure: none of its own. A blocked thread sleeps on its wake word
// (waitable.h) with a deadline fixed once on CLOCK_MONOTONIC; its waiter
// record is the one embedded in its thread object.
//
// Lock order: the object's lock only, never held while sleeping.
//
// Windows behaviours reproduced:
// - An alertable wait tests the object first (a signalled object returns 0 and
//   runs no queued call); otherwise it runs the queued calls, outside all
//   locks, FIFO, including calls queued by those calls, and returns 192 without
//   testing the object again. Calls that other threads queue while it runs wait
//   for the next alertable wait, so a steady stream of them cannot keep the
//   thread in this one.
// - A waiter that times out, or leaves for a queued call, returns 0 instead if
//   it was granted the object first, so no signal is lost.
// - Timeouts run on CLOCK_MONOTONIC from a deadline fixed at the start; a wait
//   never returns 258 early; EINTR and spurious wake-ups only re-test.
// - A thread terminated while blocked in a wait or sleep leaves the waiter list
//   first, then ends (termination.cpp); an auto-reset signal granted to it in
//   that moment is passed on, not swallowed.
#include <sched.h>

#include <atomic>

#include "threads.h"
#include "waitable.h"

namespace rvsys::platform::posix {

namespace {

std::atomic<const ThreadTimerHooks*> gTimerHooks{nullptr};

// A waiter spins on its wake word before it sleeps, so a grant that comes
// within a microsecond or two (ping-pong across cores) costs no system call on
// the waiting side. The budget adapts per thread: doubled when spinning caught
// the grant, halved when it did not; none when there is only one CPU to run on.
constexpr std::uint32_t kMaxWaitSpins = 64;

void SpinForGrant(ThreadObj* self) {
    bool caught = false;
    for (std::uint32_t spin = 0; spin < self->waitSpins; ++spin) {
        if ((self->wake.load(std::memory_order_acquire) & WakeWord::kGranted) != 0) {
            caught = true;
            break;
        }
        CpuRelax();
    }
    self->waitSpins = caught ? (self->waitSpins * 2 < kMaxWaitSpins ? self->waitSpins * 2 : kMaxWaitSpins)
                             : (self->waitSpins > 1 ? self->waitSpins / 2 : 1);
}

}  // namespace

void SetThreadTimerHooks(const ThreadTimerHooks* hooks) { gTimerHooks.store(hooks, std::memory_order_release); }

const ThreadTimerHooks* ThreadTimerHooksIfSet() { return gTimerHooks.load(std::memory_order_acquire); }

DWORD WaitOnWaitable(Waitable* object, DWORD milliseconds, bool alertable) {
    if (TryConsume(object)) return WAIT_OBJECT_0;
    ThreadObj* self;
    DWORD early;
    if (!PrepareToBlock(object, milliseconds, alertable, &self, &early)) return early;
    WaitHold hold{self};
    const Deadline deadline(milliseconds);
    if (TakeOrEnqueue(object, &self->waitBlock)) {
        EndBlocking(self);
        return WAIT_OBJECT_0;
    }
    if (MayRunInParallel()) SpinForGrant(self);
    WakeReason reason = Block(self, deadline, alertable, true);
    if (reason != WakeReason::Granted && LeaveWaitList(object, &self->waitBlock)) {
        if (reason == WakeReason::Terminate) {
            // A dying thread must not swallow an auto-reset signal: pass it on.
            if (object->synchronization.load(std::memory_order_relaxed)) SignalWaitable(object);
        } else {
            reason = WakeReason::Granted;
        }
    }
    EndBlocking(self);
    return WaitResult(self, reason);
}

bool PrepareToBlock(KObject* held, DWORD milliseconds, bool alertable, ThreadObj** self, DWORD* result) {
    *self = CurrentThread();
    if (*self == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        *result = WAIT_FAILED;
        return false;
    }
    if (alertable && (*self)->calls.Pending()) {
        (*self)->calls.Run();
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
            self->calls.Run();
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

WakeReason Block(ThreadObj* self, const Deadline& deadline, bool alertable, bool grantable) {
    // Blocked alertably, a thread with routine timers of its own wakes for them
    // itself, so their calls cost one wake-up rather than the service's and
    // ours. Only the timer service gives a thread own timers, and it registers
    // its hooks before.
    const ThreadTimerHooks* timers =
        alertable && self->ownedTimers != nullptr ? gTimerHooks.load(std::memory_order_acquire) : nullptr;
    std::int64_t ownDue = timers != nullptr ? timers->beginSelfTiming(self) : INT64_MAX;
    WakeReason reason;
    for (;;) {
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        if (grantable && (wake & WakeWord::kGranted) != 0) {
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
            ownDue = timers->expireOwn(self);  // queues their calls to us: the next check sees them
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
    if (timers != nullptr) timers->endSelfTiming(self);
    return reason;
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    ThreadObj* self = CurrentThread();
    if (self == nullptr) Fatal("no memory for the calling thread's state");
    if (alertable != FALSE && self->calls.Pending()) {
        self->calls.Run();
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
        self->calls.Run();
        return WAIT_IO_COMPLETION;
    }
    return 0;
}

void Sleep(DWORD milliseconds) { SleepEx(milliseconds, FALSE); }

}  // namespace rvsys::platform
