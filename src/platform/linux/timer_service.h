// The timer service (timer_service.cpp): one process-wide thread and its heaps,
// which expire armed waitable timers. What the timer calls (timers.cpp) ask of
// it. Private to platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H
#define RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H

#include <atomic>
#include <cstdint>

#include "../platform.h"

namespace rvsys::platform::posix {

struct ThreadObj;
struct TimerObj;

// Makes the service's state, not its thread: called before the first timer
// exists, so that every later call on a timer finds it without a guard.
void MakeTimerService();

// Starts the service on first use; false when it cannot be started (thread or
// descriptor limit). A later call tries again.
bool StartTimerService();

struct TimerArming {
    bool realtime;        // `due` on CLOCK_REALTIME (absolute) or CLOCK_MONOTONIC (relative)
    std::int64_t due;     // nanoseconds on that clock
    std::int64_t period;  // nanoseconds, 0 for one expiry
    PTIMERAPCROUTINE routine;
    void* argument;
    ThreadObj* owner;  // the arming thread when there is a routine, else null
};

// How a caller that holds no reference names a timer: the handle's slot word
// and the value it held when the handle was looked up (PeekHandleSlot). The
// calls below check it under the service lock; while it holds, the handle keeps
// the timer alive, and a close that follows must take that lock to cancel the
// timer before its memory is reused, so it waits for the call to end.
struct TimerName {
    const std::atomic<std::uint64_t>* word;
    std::uint64_t value;
};

// Arms `timer` anew, the service started: withdraws its previous arming and any
// completion call of it still queued, clears its signal, and arms it as given.
// Returns ERROR_SUCCESS, ERROR_INVALID_HANDLE when the handle was closed since
// it was looked up (nothing changed), or ERROR_NOT_ENOUGH_MEMORY (the timer is
// then left cancelled).
DWORD ArmTimer(TimerObj* timer, const TimerName& name, const TimerArming& arming);

// Disarms, withdraws a queued completion call and makes any call in flight
// stale. False when the handle was closed since it was looked up.
bool CancelNamedTimer(TimerObj* timer, const TimerName& name);

// The same for a timer whose last reference is going (its recycling).
void CancelTimer(TimerObj* timer);

// The completion call every timer embeds (its `call` node): runs the routine
// on the owner thread, unless the arming it belongs to is gone.
void TimerCompletion(ULONG_PTR data);

// How often the service thread has woken (tests and benchmarks).
std::uint64_t TimerServiceWakeups();

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H
