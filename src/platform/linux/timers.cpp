// The waitable-timer calls of the Linux emulation; the timer service
// (timer_service.cpp) arms and expires the timers.
//
// Data structure: a TimerObj (timers.h) from its pool, with one embedded
// completion call; everything but its waitable part is guarded by the
// service's lock.
//
// Lock order: the service lock only (inside ArmTimer and CancelTimer).
//
// Windows behaviours reproduced:
// - A negative due time is relative (100 ns units, CLOCK_MONOTONIC); zero or
//   positive is an absolute FILETIME (CLOCK_REALTIME, so it follows wall-clock
//   changes); a time already past is due at once. A negative period fails with
//   error 87.
// - SetWaitableTimer on an armed timer and CancelWaitableTimer withdraw a
//   queued completion call that has not run; a call already taken off the
//   queue but not yet started is dropped as well. Setting clears the signal;
//   cancelling leaves it.
// Deliberate gaps: no named timers, no wake from suspend (fResume succeeds with
// error 50, as on Windows without that support). An absolute due time already
// past counts as due at the moment of arming, so periods run from there. Closing
// the last handle of an armed timer cancels it (Windows keeps a timer with a
// routine alive until cancelled); the library cancels before it closes.
#include <sys/prctl.h>

#include <ctime>

#include "handles.h"
#include "threads.h"
#include "timer_service.h"
#include "timers.h"

namespace rvsys::platform::posix {

void TimerObj::Reset(bool manualReset) {
    ResetWaitable(!manualReset, false);
    RVSYS_DCHECK(heap == Heap::None && owner == nullptr && next == nullptr && prev == nullptr);
    heap = Heap::None;
    routine = nullptr;
    argument = nullptr;
    owner = nullptr;
    call.function = TimerCompletion;
    call.data = reinterpret_cast<ULONG_PTR>(this);
    call.embedded = true;
}

namespace {

void Recycle(KObject* object) {
    auto* timer = static_cast<TimerObj*>(object);
    CancelTimer(timer);
    Pool<TimerObj>::Of().Free(timer);
}

}  // namespace

const KindOps TimerObj::kOps = {Recycle, nullptr, nullptr};

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCSTR name) {
    return CreateUnnamed<TimerObj>(name, [&](TimerObj* timer) { timer->Reset(manualReset != FALSE); });
}

std::int64_t GetRelativeTimerClock() { return ClockNs(CLOCK_MONOTONIC) / 100; }

BOOL SetWaitableTimer(HANDLE handle, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completionRoutine,
                      LPVOID argument, BOOL resume) {
    Ref<TimerObj> timer = AcquireKind<TimerObj>(handle, Kind::Timer);
    if (!timer) return FALSE;
    if (dueTime == nullptr || period < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ThreadObj* owner = nullptr;
    if (completionRoutine != nullptr) {
        owner = CurrentThread();
        if (owner == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        // This thread may time its routine timers itself (timer_service.cpp).
        static thread_local bool preciseSlack = false;
        if (!preciseSlack) {
            prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
            preciseSlack = true;
        }
    }
    if (!StartTimerService()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    TimerArming arming{};
    if (dueTime->QuadPart < 0) {
        arming.realtime = false;
        const std::int64_t relative = dueTime->QuadPart == INT64_MIN ? INT64_MAX / 100 : -dueTime->QuadPart;
        arming.due = ClockNs(CLOCK_MONOTONIC) + (relative > INT64_MAX / 200 ? INT64_MAX / 2 : relative * 100);
    } else {
        arming.realtime = true;
        const std::int64_t now = ClockNs(CLOCK_REALTIME);
        // 100 ns since 1970, may be < 0
        const std::int64_t units = dueTime->QuadPart - static_cast<std::int64_t>(kFileTimeOfUnixEpoch);
        if (units <= now / 100) {
            arming.due = now;  // already past: due at once
        } else {
            arming.due = units > INT64_MAX / 200 ? INT64_MAX / 2 : units * 100;
        }
    }
    constexpr std::int64_t kNsPerMs = 1000000;
    arming.period = static_cast<std::int64_t>(period) * kNsPerMs;
    arming.routine = completionRoutine;
    arming.argument = argument;
    arming.owner = owner;
    if (!ArmTimer(timer.get(), arming)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (resume != FALSE) SetLastError(ERROR_NOT_SUPPORTED);  // armed, but cannot wake the system
    return TRUE;
}

BOOL CancelWaitableTimer(HANDLE handle) {
    Ref<TimerObj> timer = AcquireKind<TimerObj>(handle, Kind::Timer);
    if (!timer) return FALSE;
    CancelTimer(timer.get());
    return TRUE;
}

}  // namespace rvsys::platform
