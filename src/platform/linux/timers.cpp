// Waitable timers of the Linux emulation, and the timer service that expires them.
//
// Data structure: one process-wide service, started on first use, keeps armed
// timers in indexed 4-ary min-heaps of {due, node}: one on CLOCK_MONOTONIC for
// relative timers, one on CLOCK_REALTIME for absolute ones. Each node knows its
// heap position, so arming and cancelling are O(log n), and a timer costs no
// file descriptor. Relative timers armed with a completion routine live in a
// heap of their owner thread (the arming thread) instead, and the owner is
// represented in the monotonic heap by one stand-in node due at its earliest
// timer. Timer objects come from the type-stable pool (objects.h).
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
// timer (its waitable lock) and queues its completion call (the owner's
// apcLock). Nothing takes the service lock while holding those.
//
// Windows behaviours reproduced:
// - A negative due time is relative (100 ns units, CLOCK_MONOTONIC); zero or
//   positive is an absolute FILETIME (CLOCK_REALTIME, so it follows wall-clock
//   changes); a time already past is due at once. A negative period fails with
//   error 87.
// - At expiry the timer is signalled (a synchronization timer hands the signal
//   to one waiter), then its one embedded completion call is queued to the
//   thread that armed it, unless it is still queued: expiries coalesce.
// - Periodic timers re-arm at the previous due time + period, never from when
//   they ran; periods missed entirely (a stopped process) collapse into one
//   expiry and the timer stays on its grid.
// - SetWaitableTimer on an armed timer and CancelWaitableTimer withdraw a
//   queued completion call that has not run; a call already taken off the
//   queue but not yet started is dropped as well. Setting clears the signal;
//   cancelling leaves it.
// - When the arming thread ends, its routine timers are cancelled, so the
//   service never queues a call to an ended thread.
// - The routine receives the expiry time as a UTC FILETIME.
// Deliberate gaps: no named timers, no wake from suspend (fResume succeeds with
// error 50, as on Windows without that support). An absolute due time already
// past counts as due at the moment of arming, so periods run from there. Closing
// the last handle of an armed timer cancels it (Windows keeps a timer with a
// routine alive until cancelled); the library cancels before it closes.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>

#include <cstdlib>
#include <new>

#include "objects.h"

namespace rvsys::platform::posix {

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kFileTimeEpochShift = 116444736000000000;  // 100 ns units from 1601 to 1970
constexpr std::int64_t kNever = INT64_MAX;
constexpr std::int64_t kSelfTimingGrace = 1000000;  // 1 ms

std::int64_t NowNs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

FILETIME FileTimeOf(std::int64_t realtimeNs) {
    const auto units = static_cast<std::uint64_t>(realtimeNs / 100 + kFileTimeEpochShift);
    return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

// An indexed 4-ary min-heap of nodes by due time. Storage grows by doubling
// and never throws: a failed growth fails the arming with error 8.
class NodeHeap {
public:
    NodeHeap() = default;
    NodeHeap(const NodeHeap&) = delete;
    NodeHeap& operator=(const NodeHeap&) = delete;
    ~NodeHeap() { std::free(mEntries); }

    bool Empty() const { return mSize == 0; }
    HeapNode* Top() const { return mSize == 0 ? nullptr : mEntries[0].node; }
    std::int64_t TopDue() const { return mSize == 0 ? kNever : mEntries[0].due; }

    bool Push(HeapNode* node) {
        if (mSize == mCapacity && !Grow()) return false;
        mEntries[mSize] = {node->due, node};
        node->index = mSize++;
        SiftUp(node->index);
        return true;
    }

    void Remove(HeapNode* node) {
        const std::uint32_t index = node->index;
        --mSize;
        if (index != mSize) {
            Place(index, mEntries[mSize]);
            if (index > 0 && mEntries[index].due < mEntries[Parent(index)].due) {
                SiftUp(index);
            } else {
                SiftDown(index);
            }
        }
    }

private:
    struct Entry {
        std::int64_t due;  // a copy of node->due, so comparisons stay in this array
        HeapNode* node;
    };
    static std::uint32_t Parent(std::uint32_t index) { return (index - 1) / 4; }

    void Place(std::uint32_t index, const Entry& entry) {
        mEntries[index] = entry;
        entry.node->index = index;
    }

    void SiftUp(std::uint32_t index) {
        const Entry moving = mEntries[index];
        while (index > 0) {
            const std::uint32_t parent = Parent(index);
            if (mEntries[parent].due <= moving.due) break;
            Place(index, mEntries[parent]);
            index = parent;
        }
        Place(index, moving);
    }

    void SiftDown(std::uint32_t index) {
        const Entry moving = mEntries[index];
        for (;;) {
            const std::uint32_t first = index * 4 + 1;
            if (first >= mSize) break;
            std::uint32_t best = first;
            const std::uint32_t end = first + 4 < mSize ? first + 4 : mSize;
            for (std::uint32_t child = first + 1; child < end; ++child) {
                if (mEntries[child].due < mEntries[best].due) best = child;
            }
            if (mEntries[best].due >= moving.due) break;
            Place(index, mEntries[best]);
            index = best;
        }
        Place(index, moving);
    }

    bool Grow() {
        const std::uint32_t capacity = mCapacity == 0 ? 64 : mCapacity * 2;
        void* grown = std::realloc(mEntries, sizeof(Entry) * capacity);
        if (grown == nullptr) return false;
        mEntries = static_cast<Entry*>(grown);
        mCapacity = capacity;
        return true;
    }

    Entry* mEntries = nullptr;
    std::uint32_t mSize = 0;
    std::uint32_t mCapacity = 0;
};

}  // namespace

// A thread's relative routine timers, and its stand-in in the service heap.
struct OwnedTimers {
    NodeHeap heap;
    HeapNode standIn;
    bool standInQueued = false;   // in the service's monotonic heap
    bool selfTiming = false;      // the thread is blocked alertably and times them itself
    std::int64_t graceUntil = 0;  // the service leaves them to the thread until then
};

namespace {

void DispatchCompletion(ULONG_PTR data);

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
        return true;
    }

    bool Started() const { return mStarted.load(std::memory_order_acquire); }
    InternalLock& Lock() { return mLock; }
    std::uint64_t Wakeups() const { return mWakeups.load(std::memory_order_relaxed); }

    // Every member below is called with the lock held.

    // Arms a timer whose fields are set. False when memory runs out.
    bool Arm(TimerObj* timer) {
        if (timer->owner != nullptr && !timer->realtime) {
            OwnedTimers* owned = OwnedOf(timer->owner);
            if (owned == nullptr || !owned->heap.Push(&timer->node)) return false;
            timer->heap = TimerObj::Heap::Owner;
            if (owned->heap.Top() == &timer->node) return UpdateStandIn(owned);
            return true;
        }
        Clock& clock = mClock[timer->realtime ? 1 : 0];
        if (!clock.heap.Push(&timer->node)) return false;
        timer->heap = timer->realtime ? TimerObj::Heap::Realtime : TimerObj::Heap::Monotonic;
        if (clock.heap.Top() == &timer->node) Program(clock);
        return true;
    }

    // Disarms, withdraws a queued completion call, unlinks the owner and makes
    // any call in flight stale.
    void Cancel(TimerObj* timer) {
        ++timer->generation;
        Disarm(timer);
        if (timer->owner != nullptr) {
            WithdrawCall(timer->owner, &timer->call);
            Unlink(timer);
        }
    }

    void Link(TimerObj* timer, ThreadObj* owner) {
        AddRef(owner);
        timer->owner = owner;
        timer->ownerPrev = nullptr;
        timer->ownerNext = owner->routineTimers;
        if (owner->routineTimers != nullptr) owner->routineTimers->ownerPrev = timer;
        owner->routineTimers = timer;
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
        const std::int64_t now = NowNs(CLOCK_MONOTONIC);
        while (owned->heap.TopDue() <= now) {
            auto* timer = static_cast<TimerObj*>(owned->heap.Top()->item);
            owned->heap.Remove(&timer->node);
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
        owned->graceUntil = NowNs(CLOCK_MONOTONIC) + kSelfTimingGrace;
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
                owner->ownedTimers->standIn.item = owner->ownedTimers;
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
                const bool wasTop = owned->heap.Top() == &timer->node;
                owned->heap.Remove(&timer->node);
                if (wasTop) UpdateStandIn(owned);
                break;
            }
            case TimerObj::Heap::Monotonic:
            case TimerObj::Heap::Realtime: {
                Clock& clock = mClock[timer->heap == TimerObj::Heap::Realtime ? 1 : 0];
                const bool wasTop = clock.heap.Top() == &timer->node;
                clock.heap.Remove(&timer->node);
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
        if (timer->ownerPrev != nullptr) {
            timer->ownerPrev->ownerNext = timer->ownerNext;
        } else {
            owner->routineTimers = timer->ownerNext;
        }
        if (timer->ownerNext != nullptr) timer->ownerNext->ownerPrev = timer->ownerPrev;
        timer->ownerNext = timer->ownerPrev = nullptr;
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
        if (timer->owner != nullptr && QueueEmbeddedCall(timer->owner, &timer->call) == CallQueue::Queued) {
            timer->callGeneration = timer->generation;
            timer->callTime = FileTimeOf(clock == CLOCK_REALTIME ? now : NowNs(CLOCK_REALTIME));
        }
        if (timer->period > 0) {
            // Next grid point after now: missed periods make one expiry.
            const std::int64_t missed = (now - timer->node.due) / timer->period;
            timer->node.due += (missed + 1) * timer->period;
            heap.Push(&timer->node);  // cannot fail: the timer left this heap a moment ago
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
                auto* owned = static_cast<OwnedTimers*>(node->item);
                owned->standInQueued = false;
                ExpireOwned(owned);
                UpdateStandIn(owned);  // back into the place it just left
            } else {
                Fire(static_cast<TimerObj*>(node->item), clock.heap, now, clock.id);
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
                Expire(mClock[i], NowNs(mClock[i].id));
            }
        }
    }

    InternalLock mLock;
    std::atomic<bool> mStarted{false};
    std::atomic<std::uint64_t> mWakeups{0};
    Clock mClock[2] = {Clock(CLOCK_MONOTONIC), Clock(CLOCK_REALTIME)};
};

std::atomic<TimerService*> gService{nullptr};

TimerService& Service() {
    static auto* service = [] {
        auto* made = new TimerService;  // immortal, like its thread
        gService.store(made, std::memory_order_release);
        return made;
    }();
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

}  // namespace

void TimerObj::Reset(bool manualReset) {
    state.store(0, std::memory_order_relaxed);
    synchronization.store(!manualReset, std::memory_order_relaxed);
    head = tail = nullptr;
    heap = Heap::None;
    node.item = this;
    routine = nullptr;
    argument = nullptr;
    owner = nullptr;
    ownerNext = ownerPrev = nullptr;
    call.function = DispatchCompletion;
    call.data = reinterpret_cast<ULONG_PTR>(this);
    call.embedded = true;
}

void CancelRoutineTimersOf(ThreadObj* thread) {
    TimerService* service = MadeService();
    if (service == nullptr || !service->Started()) return;
    InternalGuard guard(service->Lock());
    while (thread->routineTimers != nullptr) service->Cancel(thread->routineTimers);
    service->DropOwned(thread);
}

void RetireTimer(TimerObj* timer) {
    TimerService* service = MadeService();
    if (service == nullptr || !service->Started()) return;
    InternalGuard guard(service->Lock());
    service->Cancel(timer);
}

std::uint64_t TimerServiceWakeups() { return Service().Wakeups(); }

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

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);  // the library uses unnamed timers only
        return nullptr;
    }
    TimerObj* timer = AllocTimer();
    if (timer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    timer->Reset(manualReset != FALSE);
    HANDLE handle = OpenHandle(timer);
    Release(timer);
    if (handle != nullptr) SetLastError(ERROR_SUCCESS);
    return handle;
}

std::int64_t GetRelativeTimerClock() { return NowNs(CLOCK_MONOTONIC) / 100; }

BOOL SetWaitableTimer(HANDLE handle, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completionRoutine,
                      LPVOID argument, BOOL resume) {
    Ref<KObject> held(AcquireHandle(handle));
    if (!held) return FALSE;
    if (held->kind != Kind::Timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dueTime == nullptr || period < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* timer = static_cast<TimerObj*>(held.get());
    ThreadObj* owner = nullptr;
    if (completionRoutine != nullptr) {
        owner = CurrentThread();
        if (owner == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        // This thread may time its routine timers itself (see the top).
        static thread_local bool preciseSlack = false;
        if (!preciseSlack) {
            prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
            preciseSlack = true;
        }
    }
    TimerService& service = Service();
    if (!service.EnsureStarted()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    bool realtime;
    std::int64_t due;
    if (dueTime->QuadPart < 0) {
        realtime = false;
        const std::int64_t relative = dueTime->QuadPart == INT64_MIN ? INT64_MAX / 100 : -dueTime->QuadPart;
        due = NowNs(CLOCK_MONOTONIC) + (relative > INT64_MAX / 200 ? INT64_MAX / 2 : relative * 100);
    } else {
        realtime = true;
        const std::int64_t now = NowNs(CLOCK_REALTIME);
        const std::int64_t units = dueTime->QuadPart - kFileTimeEpochShift;  // 100 ns since 1970, may be < 0
        if (units <= now / 100) {
            due = now;  // already past: due at once
        } else {
            due = units > INT64_MAX / 200 ? INT64_MAX / 2 : units * 100;
        }
    }
    {
        InternalGuard guard(service.Lock());
        service.Cancel(timer);
        if ((timer->state.load(std::memory_order_relaxed) & Waitable::kSignaled) != 0) {
            timer->state.fetch_and(~Waitable::kSignaled, std::memory_order_relaxed);
        }
        timer->realtime = realtime;
        timer->node.due = due;
        timer->period = static_cast<std::int64_t>(period) * kNsPerMs;
        timer->routine = completionRoutine;
        timer->argument = argument;
        if (owner != nullptr) service.Link(timer, owner);
        if (!service.Arm(timer)) {
            service.Cancel(timer);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    if (resume != FALSE) SetLastError(ERROR_NOT_SUPPORTED);  // armed, but cannot wake the system
    return TRUE;
}

BOOL CancelWaitableTimer(HANDLE handle) {
    Ref<KObject> held(AcquireHandle(handle));
    if (!held) return FALSE;
    if (held->kind != Kind::Timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    TimerService& service = Service();
    if (!service.Started()) return TRUE;  // never armed
    InternalGuard guard(service.Lock());
    service.Cancel(static_cast<TimerObj*>(held.get()));
    return TRUE;
}

}  // namespace rvsys::platform
