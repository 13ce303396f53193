// The timer service of the Linux emulation: the thread and heaps that expire
// armed waitable timers (timers.cpp holds the timer calls themselves).
//
// Data structure: one process-wide service, started on first use, keeps armed
// timers in indexed 4-ary min-heaps of {due, node}: one on CLOCK_MONOTONIC for
// relative timers, one on CLOCK_REALTIME for absolute ones. Each node knows its
// heap position, so arming and cancelling are O(log n), and a timer costs no
// file descriptor. Relative timers armed with a completion routine live in a
// heap of their owner thread (the arming thread) instead, and the owner is
// represented in the monotonic heap by one stand-in node due at its earliest
// timer (timer_heap.h). Threads reach the service only through the hooks it
// registers when it starts (threads.h), so thread code needs no timer code.
// The service thread sleeps in poll() on two timerfds set to each heap's
// earliest due time, with a timer slack of 1 ns; whoever changes an earliest due
// time reprograms the timerfd, so the service wakes only when something is due.
// A thread blocked in an alertable wait times its own timers itself (its
// stand-in is set to "never" meanwhile): the completion call then costs one
// wake-up, the same as a plain sleep, instead of the service's plus the owner's.
// Such a thread gets the service's timer slack of 1 ns at its first routine
// timer: with the slack it inherits (50 us by default) each of its expiries
// would come that much later, which Windows timers never do.
//
// The service thread never ends: it lives in this library's code, so the
// library is linked with -z nodelete and stays mapped once loaded. A dlclose
// then leaves the thread and its two timerfds as they are, and the next dlopen
// finds the same copy with the service already running (stopping the service
// at unload instead would race the timers other threads still own). A failed
// start (thread or descriptor limit) releases what it made and the next
// arming tries again.
//
// Lock order: the service lock is taken first; under it an expiry signals the
// timer (its waitable lock) and queues its completion call (the owner's call
// queue lock). Nothing takes the service lock while holding those.
//
// Windows behaviours reproduced (the calls' own rules are in timers.cpp):
// - At expiry the timer is signalled (a synchronization timer hands the signal
//   to one waiter), then its one embedded completion call is queued to the
//   thread that armed it, unless it is still queued: expiries coalesce.
// - Periodic timers re-arm at the previous due time + period, never from when
//   they ran; periods missed entirely (a stopped process) collapse into one
//   expiry and the timer stays on its grid.
// - When the arming thread ends, its routine timers are cancelled, so the
//   service never queues a call to an ended thread.
// - The routine receives the expiry time as a UTC FILETIME.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>

#include <new>

#include "queued_calls.h"
#include "threads.h"
#include "timer_heap.h"
#include "timer_service.h"
#include "timers.h"
#include "waitable.h"

namespace rvsys::platform::posix {

namespace {

constexpr std::int64_t kNever = NodeHeap::kEmpty;
constexpr std::int64_t kSelfTimingGrace = 1000000;  // 1 ms

FILETIME FileTimeOf(std::int64_t realtimeNs) {
    const auto units = static_cast<std::uint64_t>(realtimeNs / 100) + kFileTimeOfUnixEpoch;
    return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

}  // namespace

struct OwnedTimers;

// The node that stands in the service heap for a thread's own timers.
struct StandInNode : HeapNode {
    OwnedTimers* owned = nullptr;
};

// A thread's relative routine timers, and its stand-in in the service heap.
struct OwnedTimers {
    NodeHeap heap;
    StandInNode standIn;
    bool standInQueued = false;   // in the service's monotonic heap
    bool selfTiming = false;      // the thread is blocked alertably and times them itself
    std::int64_t graceUntil = 0;  // the service leaves them to the thread until then
};

namespace {

// What threads ask of the service (threads.h); registered once it runs.
extern const ThreadTimerHooks kThreadHooks;

class TimerService {
public:
    // Starts the service thread on first use; false when it cannot be started.
    bool EnsureStarted() {
        if (mStarted.load(std::memory_order_acquire)) return true;
        InternalGuard guard(mLock);
        if (mStarted.load(std::memory_order_relaxed)) return true;
        mClock[0].fd = AboveStandardStreams(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        mClock[1].fd = AboveStandardStreams(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
        if (mClock[0].fd < 0 || mClock[1].fd < 0) {
            CloseClocks();  // the next use tries again from nothing
            return false;
        }
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);  // the service thread takes no signals
        pthread_t thread;
        const int error = pthread_create(&thread, &attributes, &TimerService::Main, this);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            CloseClocks();
            return false;
        }
        mStarted.store(true, std::memory_order_release);
        SetThreadTimerHooks(&kThreadHooks);
        return true;
    }

    bool Started() const { return mStarted.load(std::memory_order_acquire); }
    InternalLock& Lock() { return mLock; }
    std::uint64_t Wakeups() const { return mWakeups.load(std::memory_order_relaxed); }

    // Every member below is called with the lock held.

    // Arms a timer whose fields are set. False when memory runs out.
    bool Arm(TimerObj* timer) {
        mLock.AssertHeld();
        if (timer->owner != nullptr && !timer->realtime) {
            OwnedTimers* owned = OwnedOf(timer->owner);
            if (owned == nullptr || !owned->heap.Push(timer)) return false;
            timer->heap = TimerObj::Heap::Owner;
            if (owned->heap.Top() == timer) return UpdateStandIn(owned);
            return true;
        }
        Clock& clock = mClock[timer->realtime ? 1 : 0];
        if (!clock.heap.Push(timer)) return false;
        timer->heap = timer->realtime ? TimerObj::Heap::Realtime : TimerObj::Heap::Monotonic;
        if (clock.heap.Top() == timer) Program(clock);
        return true;
    }

    // Disarms, withdraws a queued completion call, unlinks the owner and makes
    // any call in flight stale.
    void Cancel(TimerObj* timer) {
        mLock.AssertHeld();
        ++timer->generation;
        Disarm(timer);
        if (timer->owner != nullptr) {
            timer->owner->calls.Withdraw(&timer->call);
            Unlink(timer);
        }
    }

    void Link(TimerObj* timer, ThreadObj* owner) {
        AddRef(owner);
        timer->owner = owner;
        owner->routineTimers.PushBack(timer);
    }

    // Frees the heap of an owner with no routine timers left (at its end), so
    // that a pooled thread object does not bring it to its next thread, whose
    // alertable waits would take this lock for nothing.
    void DropOwned(ThreadObj* owner) {
        OwnedTimers* owned = owner->ownedTimers;
        if (owned == nullptr) return;
        if (owned->standInQueued) {
            Clock& clock = mClock[0];
            const bool wasTop = clock.heap.Top() == &owned->standIn;
            clock.heap.Remove(&owned->standIn);
            if (wasTop) Program(clock);
        }
        owner->ownedTimers = nullptr;
        delete owned;
    }

    std::int64_t BeginSelfTiming(OwnedTimers* owned) {
        owned->selfTiming = true;
        UpdateStandIn(owned);
        return owned->heap.TopDue();
    }

    std::int64_t ExpireOwned(OwnedTimers* owned) {
        const std::int64_t now = ClockNs(CLOCK_MONOTONIC);
        while (owned->heap.TopDue() <= now) {
            auto* timer = static_cast<TimerObj*>(owned->heap.Top());
            owned->heap.Remove(timer);
            Fire(timer, owned->heap, now, CLOCK_MONOTONIC);
        }
        return owned->heap.TopDue();
    }

    void EndSelfTiming(OwnedTimers* owned) {
        ExpireOwned(owned);
        owned->selfTiming = false;
        // The thread leaves its wait to run calls and usually comes back within
        // microseconds: the service takes its timers over only if it has not
        // after a grace period. Otherwise, with dense due times, the service
        // wakes for timers the thread is about to take itself and both fight
        // over this lock. (Another thread waiting on one of these timers sees it
        // signalled up to that much later while their owner is busy.)
        owned->graceUntil = ClockNs(CLOCK_MONOTONIC) + kSelfTimingGrace;
        UpdateStandIn(owned);
    }

private:
    struct Clock {
        explicit Clock(clockid_t clockId) : id(clockId) {}
        clockid_t id;
        int fd = -1;
        NodeHeap heap;
        std::int64_t programmed = 0;  // what the timerfd is set to; 0 when disarmed
    };

    // The owner's heap, made on its first relative routine timer (null: no memory).
    static OwnedTimers* OwnedOf(ThreadObj* owner) {
        if (owner->ownedTimers == nullptr) {
            owner->ownedTimers = new (std::nothrow) OwnedTimers;
            if (owner->ownedTimers != nullptr) {
                owner->ownedTimers->standIn.owned = owner->ownedTimers;
                owner->ownedTimers->standIn.standIn = true;
            }
        }
        return owner->ownedTimers;
    }

    void Disarm(TimerObj* timer) {
        switch (timer->heap) {
            case TimerObj::Heap::None:
                return;
            case TimerObj::Heap::Owner: {
                OwnedTimers* owned = timer->owner->ownedTimers;
                const bool wasTop = owned->heap.Top() == timer;
                owned->heap.Remove(timer);
                if (wasTop) UpdateStandIn(owned);
                break;
            }
            case TimerObj::Heap::Monotonic:
            case TimerObj::Heap::Realtime: {
                Clock& clock = mClock[timer->heap == TimerObj::Heap::Realtime ? 1 : 0];
                const bool wasTop = clock.heap.Top() == timer;
                clock.heap.Remove(timer);
                if (wasTop) Program(clock);
                break;
            }
        }
        timer->heap = TimerObj::Heap::None;
    }

    // Puts the owner's stand-in at its earliest timer, or last (never due) while
    // the owner times itself or has no timer. Once queued the stand-in keeps its
    // place in the heap's storage, so moving it cannot fail; only its first
    // insertion can run out of memory (false).
    bool UpdateStandIn(OwnedTimers* owned) {
        Clock& clock = mClock[0];
        const bool wasTop = clock.heap.Top() == &owned->standIn;
        if (owned->standInQueued) clock.heap.Remove(&owned->standIn);
        const std::int64_t top = owned->heap.TopDue();
        owned->standIn.due = owned->selfTiming ? kNever : (top > owned->graceUntil ? top : owned->graceUntil);
        owned->standInQueued = clock.heap.Push(&owned->standIn);
        if (wasTop || clock.heap.Top() == &owned->standIn) Program(clock);
        return owned->standInQueued;
    }

    void CloseClocks() {
        for (Clock& clock : mClock) {
            if (clock.fd >= 0) close(clock.fd);
            clock.fd = -1;
        }
    }

    // Points the timerfd at the heap's earliest due time (or disarms it); the
    // kernel wakes the service then. A timerfd that refuses a valid setting
    // would leave every timer on it dead, so that is fatal.
    void Program(Clock& clock) {
        const std::int64_t top = clock.heap.TopDue();
        const std::int64_t due = top == kNever ? 0 : (top > 0 ? top : 1);
        if (due == clock.programmed) return;
        clock.programmed = due;
        itimerspec setting{};
        setting.it_value.tv_sec = due / 1000000000;
        setting.it_value.tv_nsec = due % 1000000000;
        if (timerfd_settime(clock.fd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0) Fatal("timerfd_settime");
    }

    void Unlink(TimerObj* timer) {
        ThreadObj* owner = timer->owner;
        owner->routineTimers.Remove(timer);
        timer->owner = nullptr;
        Release(owner);
    }

    // An expiry of a timer just taken out of `heap`: signal, queue the
    // completion call, and put a periodic timer back at its next due time.
    void Fire(TimerObj* timer, NodeHeap& heap, std::int64_t now, clockid_t clock) {
        timer->heap = TimerObj::Heap::None;
        SignalWaitable(timer);
        // The call carries its first expiry; later ones coalesce into it. The
        // owner reads these under this lock, so writing after queueing is safe.
        if (timer->owner != nullptr &&
            timer->owner->calls.Queue(&timer->call, timer->owner == CurrentThreadIfKnown()) ==
                CallQueue::Result::Queued) {
            timer->callGeneration = timer->generation;
            timer->callTime = FileTimeOf(clock == CLOCK_REALTIME ? now : ClockNs(CLOCK_REALTIME));
        }
        if (timer->period > 0) {
            // Next grid point after now: missed periods make one expiry.
            const std::int64_t missed = (now - timer->due) / timer->period;
            timer->due += (missed + 1) * timer->period;
            heap.Push(timer);  // cannot fail: the timer left this heap a moment ago
            timer->heap = &heap == &mClock[1].heap   ? TimerObj::Heap::Realtime
                          : &heap == &mClock[0].heap ? TimerObj::Heap::Monotonic
                                                     : TimerObj::Heap::Owner;
        }
    }

    void Expire(Clock& clock, std::int64_t now) {
        while (clock.heap.TopDue() <= now) {
            HeapNode* node = clock.heap.Top();
            clock.heap.Remove(node);
            if (node->standIn) {
                OwnedTimers* owned = static_cast<StandInNode*>(node)->owned;
                owned->standInQueued = false;
                ExpireOwned(owned);
                UpdateStandIn(owned);  // back into the place it just left
            } else {
                Fire(static_cast<TimerObj*>(node), clock.heap, now, clock.id);
            }
        }
        Program(clock);
    }

    static void* Main(void* self) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        static_cast<TimerService*>(self)->Loop();
        return nullptr;
    }

    void Loop() {
        pollfd fds[2] = {{mClock[0].fd, POLLIN, 0}, {mClock[1].fd, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                Fatal("poll");  // anything else would repeat at once, forever
            }
            mWakeups.fetch_add(1, std::memory_order_relaxed);
            std::uint64_t expirations;
            bool fired[2] = {false, false};
            for (int i = 0; i < 2; ++i) {
                while (read(mClock[i].fd, &expirations, sizeof expirations) > 0) fired[i] = true;
            }
            InternalGuard guard(mLock);
            for (int i = 0; i < 2; ++i) {
                if (!fired[i]) continue;
                mClock[i].programmed = -1;  // it has fired: reprogram whatever is next
                Expire(mClock[i], ClockNs(mClock[i].id));
            }
        }
    }

    InternalLock mLock;
    std::atomic<bool> mStarted{false};
    std::atomic<std::uint64_t> mWakeups{0};
    Clock mClock[2] = {Clock(CLOCK_MONOTONIC), Clock(CLOCK_REALTIME)};
};

// Made before the first timer exists (MakeTimerService) and immortal, like its
// thread. Anyone holding a timer's handle got it after the service was made,
// so the timer calls read this pointer without a guard.
std::atomic<TimerService*> gService{nullptr};

TimerService& Service() {
    static auto* service = [] {
        auto* made = new TimerService;
        gService.store(made, std::memory_order_release);
        return made;
    }();
    return *service;
}

// The service of an existing timer.
TimerService& MadeServiceOfTimer() {
    TimerService* service = gService.load(std::memory_order_acquire);
    RVSYS_DCHECK(service != nullptr);
    return *service;
}

// The service if some timer ever made it. A thread's exit path asks through
// this: it may run inside a signal handler, where neither the allocation nor
// the guard of a first construction is allowed.
TimerService* MadeService() { return gService.load(std::memory_order_acquire); }

// The embedded completion call: runs on the owner thread inside an alertable
// wait, with no lock held.
void DispatchCompletion(ULONG_PTR data) {
    auto* timer = reinterpret_cast<TimerObj*>(data);
    PTIMERAPCROUTINE routine;
    void* argument;
    FILETIME time;
    {
        InternalGuard guard(Service().Lock());
        // Cancelled or set again since this call was queued: it no longer exists.
        if (timer->callGeneration != timer->generation || timer->routine == nullptr) return;
        routine = timer->routine;
        argument = timer->argument;
        time = timer->callTime;
    }
    routine(argument, time.dwLowDateTime, time.dwHighDateTime);
}

void ThreadEnded(ThreadObj* thread) {
    TimerService* service = MadeService();
    if (service == nullptr || !service->Started()) return;
    InternalGuard guard(service->Lock());
    while (TimerObj* timer = thread->routineTimers.Front()) service->Cancel(timer);
    service->DropOwned(thread);
}

std::int64_t BeginSelfTiming(ThreadObj* self) {
    InternalGuard guard(Service().Lock());
    return Service().BeginSelfTiming(self->ownedTimers);
}

std::int64_t ExpireOwnTimers(ThreadObj* self) {
    InternalGuard guard(Service().Lock());
    return Service().ExpireOwned(self->ownedTimers);
}

void EndSelfTiming(ThreadObj* self) {
    InternalGuard guard(Service().Lock());
    Service().EndSelfTiming(self->ownedTimers);
}

const ThreadTimerHooks kThreadHooks = {ThreadEnded, BeginSelfTiming, ExpireOwnTimers, EndSelfTiming};

}  // namespace

void MakeTimerService() { Service(); }

bool StartTimerService() { return MadeServiceOfTimer().EnsureStarted(); }

DWORD ArmTimer(TimerObj* timer, const TimerName& name, const TimerArming& arming) {
    TimerService& service = MadeServiceOfTimer();
    InternalGuard guard(service.Lock());
    if (name.word->load(std::memory_order_acquire) != name.value) return ERROR_INVALID_HANDLE;
    service.Cancel(timer);
    if ((timer->state.load(std::memory_order_relaxed) & Waitable::kSignaled) != 0) {
        timer->state.fetch_and(~Waitable::kSignaled, std::memory_order_relaxed);
    }
    timer->realtime = arming.realtime;
    timer->due = arming.due;
    timer->period = arming.period;
    timer->routine = arming.routine;
    timer->argument = arming.argument;
    if (arming.owner != nullptr) service.Link(timer, arming.owner);
    if (!service.Arm(timer)) {
        service.Cancel(timer);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

bool CancelNamedTimer(TimerObj* timer, const TimerName& name) {
    TimerService& service = MadeServiceOfTimer();
    InternalGuard guard(service.Lock());
    if (name.word->load(std::memory_order_acquire) != name.value) return false;
    service.Cancel(timer);
    return true;
}

void CancelTimer(TimerObj* timer) {
    // Always under the lock, started or not: a call that checked this timer's
    // handle just before it was closed may still be arming it.
    TimerService& service = MadeServiceOfTimer();
    InternalGuard guard(service.Lock());
    service.Cancel(timer);
}

void TimerCompletion(ULONG_PTR data) { DispatchCompletion(data); }

std::uint64_t TimerServiceWakeups() { return Service().Wakeups(); }

}  // namespace rvsys::platform::posix
