// The timer service (timer_service.cpp): one process-wide thread and its heaps,
// which expire armed waitable timers. What the timer calls (timers.cpp) ask of
// it. Private to platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H
#define RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H

#include <cstdint>

#include "../platform.h"

namespace rvsys::platform::posix {

struct ThreadObj;
struct TimerObj;

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

// Arms `timer` anew, the service started: withdraws its previous arming and any
// completion call of it still queued, clears its signal, and arms it as given.
// False when memory runs out; the timer is then left cancelled.
bool ArmTimer(TimerObj* timer, const TimerArming& arming);

// Disarms, withdraws a queued completion call and makes any call in flight
// stale; does nothing if the service never started.
void CancelTimer(TimerObj* timer);

// The completion call every timer embeds (its `call` node): runs the routine
// on the owner thread, unless the arming it belongs to is gone.
void TimerCompletion(ULONG_PTR data);

// How often the service thread has woken (tests and benchmarks).
std::uint64_t TimerServiceWakeups();

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_TIMER_SERVICE_H
