// The waitable-timer calls of the Linux emulation; the timer service
// (timer_service.cpp) arms and expires the timers.
//
// Data structure: a TimerObj (timers.h) from its pool, with one embedded
// completion call; everything but its waitable part is guarded by the
// service's lock.
//
// Lock order: the service lock only (inside ArmTimer and CancelTimer).
//
// The calls name their timer without counting a reference: they look the
// handle up, then check under the service lock that it is still open
// (TimerName, timer_service.h). That saves two locked operations per call,
// and a concurrent close cannot recycle the timer meanwhile, since recycling
// cancels it under that same lock.
// A timer with a home slot (handles.h) is located from the handle value
// itself, so the slot and the record are read at once, not one after the
// other: among many timers that is one cache miss less per call.
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

namespace {

// The timer a handle names, without a reference (null + error 6); `name` is
// checked again under the service lock.
TimerObj* PeekTimer(HANDLE handle, TimerName* name) {
    if (KObject* homed = LocateHomeSlot(handle, Kind::Timer, &name->word, &name->value)) {
        // The record's lines are fetched while the slot is read, so the two
        // misses overlap. The calls use its fields from `state` to
        // `generation` (bytes 16 to 111); the service lock waits for earlier
        // loads, not for prefetches.
        char* const bytes = reinterpret_cast<char*>(homed);
        __builtin_prefetch(bytes + 16, 1);
        __builtin_prefetch(bytes + 80, 1);
        __builtin_prefetch(bytes + 111, 1);
        if (name->word->load(std::memory_order_acquire) != name->value) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return static_cast<TimerObj*>(homed);
    }
    KObject* object = PeekHandleSlot(handle, &name->word, &name->value);
    if (object == nullptr) return nullptr;
    if (object->kind != Kind::Timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // The call goes on to the record's later lines at once, and no load
    // overtakes the locked operation that takes the service lock.
    __builtin_prefetch(reinterpret_cast<char*>(object) + 64, 1);
    __builtin_prefetch(reinterpret_cast<char*>(object) + 112, 1);
    return static_cast<TimerObj*>(object);
}

// The due time of a SetWaitableTimer call made now, on its clock.
TimerArming DueOf(const LARGE_INTEGER& dueTime) {
    TimerArming arming{};
    if (dueTime.QuadPart < 0) {
        arming.realtime = false;
        const std::int64_t relative = dueTime.QuadPart == INT64_MIN ? INT64_MAX / 100 : -dueTime.QuadPart;
        arming.due = ClockNs(CLOCK_MONOTONIC) + (relative > INT64_MAX / 200 ? INT64_MAX / 2 : relative * 100);
    } else {
        arming.realtime = true;
        const std::int64_t now = ClockNs(CLOCK_REALTIME);
        // 100 ns since 1970, may be < 0
        const std::int64_t units = dueTime.QuadPart - static_cast<std::int64_t>(kFileTimeOfUnixEpoch);
        if (units <= now / 100) {
            arming.due = now;  // already past: due at once
        } else {
            arming.due = units > INT64_MAX / 200 ? INT64_MAX / 2 : units * 100;
        }
    }
    return arming;
}

}  // namespace

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCSTR name) {
    MakeTimerService();
    return CreateUnnamed<TimerObj>(name, [&](TimerObj* timer) { timer->Reset(manualReset != FALSE); });
}

std::int64_t GetRelativeTimerClock() { return ClockNs(CLOCK_MONOTONIC) / 100; }

BOOL SetWaitableTimer(HANDLE handle, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completionRoutine,
                      LPVOID argument, BOOL resume) {
    // The clock first: its read waits for earlier loads to complete, so after
    // the handle look-up it would wait for that look-up's cache misses as well.
    TimerArming arming{};
    if (dueTime != nullptr) arming = DueOf(*dueTime);
    TimerName name;
    TimerObj* timer = PeekTimer(handle, &name);
    if (timer == nullptr) return FALSE;
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
    constexpr std::int64_t kNsPerMs = 1000000;
    arming.period = static_cast<std::int64_t>(period) * kNsPerMs;
    arming.routine = completionRoutine;
    arming.argument = argument;
    arming.owner = owner;
    if (const DWORD error = ArmTimer(timer, name, arming); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (resume != FALSE) SetLastError(ERROR_NOT_SUPPORTED);  // armed, but cannot wake the system
    return TRUE;
}

BOOL CancelWaitableTimer(HANDLE handle) {
    TimerName name;
    TimerObj* timer = PeekTimer(handle, &name);
    if (timer == nullptr) return FALSE;
    if (!CancelNamedTimer(timer, name)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace rvsys::platform
