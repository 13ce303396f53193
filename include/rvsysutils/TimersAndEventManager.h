// TimersAndEventManager: an event loop with a timer queue, run on the caller's thread.
#ifndef RVSYSUTILS_TIMERSANDEVENTMANAGER_H
#define RVSYSUTILS_TIMERSANDEVENTMANAGER_H

#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <new>
#include <utility>

#include "ThreadMutex.h"
#include "export.h"

class ThreadEvent;

namespace rvsys {
namespace detail {

// Node allocator of the outside-request list: memory comes from the
// non-throwing operator new. A container still needs a failure to leave
// allocate() as std::bad_alloc; the manager catches it before it could reach a
// caller (see AddTimerFromOutside).
template <class T>
struct NothrowAllocator {
    typedef T value_type;
    NothrowAllocator() {}
    template <class U>
    NothrowAllocator(const NothrowAllocator<U>&) {}
    T* allocate(std::size_t count) {
        void* memory = ::operator new(count * sizeof(T), std::nothrow);
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t) { ::operator delete(memory); }
};
template <class T, class U>
bool operator==(const NothrowAllocator<T>&, const NothrowAllocator<U>&) {
    return true;
}
template <class T, class U>
bool operator!=(const NothrowAllocator<T>&, const NothrowAllocator<U>&) {
    return false;
}

}  // namespace detail
}  // namespace rvsys

// An event loop that runs on the thread that calls Start. Each pass waits on
// the caller's event for at most the period, calls the event callback when the
// event was signalled, applies the requests other threads queued, checks the
// wall clock for jumps, then fires every timer whose key time has passed,
// earliest first. Every callback runs on the loop's thread with no lock of the
// library held.
//
// Thread rules, by the end of the name: FromCallback operations, the setters,
// SetRealTime and IsTimersQueueEmpty belong to the loop's thread (from inside a
// callback, or while no loop runs); FromOutside operations and CeaseExecution
// may be called from any thread at any time.
//
// Key times are absolute milliseconds, unsigned 64-bit: GetSystemUptime() by
// default, or milliseconds since 1970-01-01 UTC after SetRealTime. Keys are
// stored as given and never converted. A timer fires in the first pass whose
// time is strictly past its key: up to one period (plus the time earlier
// callbacks take) after it. Timers with equal keys fire in the order they were
// added. A timer leaves the queue before its callback runs; a callback that
// wants to repeat adds itself again.
//
// Callbacks and user data belong to the caller: the manager never frees them
// and calls nothing when it drops a timer or a request. The library itself
// throws only the int -1 of Start and the std::bad_alloc of the two
// AddTimerFromCallback forms; an exception from a callback or predicate passes
// through unchanged.
//
// Not copyable. Destroy the manager only while no loop runs and no thread can
// still call a FromOutside operation on it.
class RVSYS_API TimersAndEventManager {
public:
    // One queue entry as the predicates see it: key time, then (callback, user data).
    typedef std::pair<unsigned long long, std::pair<void (*)(void*), void*> > TimerEntry;

    // An idle manager whose passes last at most `period` ms (0xFFFFFFFF: the
    // wait has no limit, so only a signal ends it). Uptime base, no timers,
    // no callbacks, no user data.
    explicit TimersAndEventManager(unsigned int period);

    // Drops timers and queued requests without calling anything. Must not run
    // while Start runs.
    ~TimersAndEventManager();

    // Switches for good to the wall clock: key times become milliseconds since
    // 1970-01-01 UTC and clock jumps are detected from then on. Timers already
    // queued keep their uptime keys. Loop thread only.
    void SetRealTime();

    // Plain stores, for the loop thread (before Start, or from a callback).
    // The event callback gets the event user data; the time-change callback gets
    // the time-change user data and the jump in whole seconds (positive: the
    // clock went forward), truncated toward zero. A null event callback makes a
    // signalled event call nothing.
    void SetEventCallback(void (*callback)(void*));
    void SetTimeHasChangedCallback(void (*callback)(void*, int));
    void SetEventUserData(void* userData);
    void SetTimeChangeUserData(void* userData);

    // Asks the loop to end; any thread. It does not wake the loop: Start returns
    // after the current wait ends (at most one period) or at the end of the
    // current pass. Signal the event as well for a prompt end (which also calls
    // the event callback once). Before Start it has no effect.
    void CeaseExecution();

    // Runs the loop on the calling thread until CeaseExecution; returns true.
    // `event` is the caller's: created before Start (with or without a lock,
    // either reset mode) and left alive until Start returns; the loop only takes
    // its lock around each wait and waits on it, never signals, resets or keeps
    // it. A signal wakes the loop and calls the event callback once, however
    // many signals came since the last wait (auto-reset); a manual-reset event
    // left signalled makes every pass call it.
    //
    // Each pass: wait (event lock held only around the wait); event callback if
    // signalled; return if ceased; apply the queued outside requests; read the
    // clock; report a clock jump; fire the due timers; return if ceased.
    //
    // Clock jumps (wall-clock base only): a pass more than 200 ms earlier, or
    // more than period/5 + 500 ms later, than one period after the previous
    // pass. A jump calls the time-change callback before the pass fires its
    // timers, so it can move them (AdjustTimersFromCallbackIf). With no
    // time-change callback set, Start throws an int, -1, instead: the pass's
    // requests are applied, none of its timers has fired. Any exception from a
    // callback also passes out of Start; the loop is then left, with the
    // throwing timer already out of the queue, and Start may be called again.
    //
    // An event that cannot be waited on (never created; see ThreadEvent) makes
    // every wait fail at once; the loop then sleeps out the period, so such a
    // loop never spins, but CeaseExecution or a FromOutside request ends that
    // sleep within about 10 ms (nothing can signal such an event). Never call Start from one of this manager's
    // callbacks.
    bool Start(ThreadEvent& event);

    // The current time in the active base: GetSystemUptime() or wall-clock
    // milliseconds since 1970. Outside callers compute absolute keys for
    // AddTimerFromOutside from it: any thread may call it, provided SetRealTime
    // is not called at the same time (call SetRealTime before other threads
    // use the manager).
    unsigned long long GetKeyTime();

    // Loop thread only. Adds a timer `delay` ms from now. A delay of 0 from a
    // timer callback fires in the next pass, not the current one. May throw
    // std::bad_alloc (the queue is unchanged then).
    // The two forms differ only by the first argument's type, so pass exactly
    // unsigned int (100u) or unsigned long long: an int, or a std::uint64_t
    // (unsigned long on 64-bit Linux), converts equally well to both and the
    // call is ambiguous.
    void AddTimerFromCallback(unsigned int delay, void (*callback)(void*), void* userData);

    // Loop thread only. Adds a timer at an absolute key time, after every timer
    // with the same key. Added from a timer callback with a key already past, it
    // fires in the same pass. Nothing is unique: the same callback and user data
    // may be queued any number of times. A null callback makes a timer that is
    // dropped when due. May throw std::bad_alloc (the queue is unchanged then).
    void AddTimerFromCallback(const unsigned long long& keyTime, void (*callback)(void*), void* userData);

    // Any thread. Queues the addition of a timer at an absolute key time (see
    // GetKeyTime); the loop adds it in its next pass, in the order requests were
    // queued. Does not wake the loop: signal its event for that. Holds a short
    // internal lock, calls nothing of the caller's and never throws: when
    // memory runs out (now, or when the manager was made), this one request is
    // lost and nothing else changes.
    void AddTimerFromOutside(const unsigned long long& keyTime, void (*callback)(void*), void* userData);

    // Any thread. Queues the removal of every timer whose user data is
    // `userData` (null included), whatever its callback and key, as they stand
    // when the loop applies it: an addition queued before this request is
    // removed too, one queued after it stays. Otherwise as AddTimerFromOutside.
    void RemoveTimerFromOutside(void* userData);

    // Loop thread only. Removes every timer and drops every queued request
    // unapplied; calls nothing. Never throws.
    void ClearAllTimersFromCallback();

    // Loop thread only. Applies the queued requests, then offers each timer
    // once, in firing order, to `predicate` and removes those it selects. The
    // predicate gets a copy, runs with no lock held and must not change the
    // queue; a null predicate selects nothing. Throws only what the predicate
    // throws (the timers it selected before are gone).
    void ClearTimersFromCallbackIf(bool (*predicate)(const TimerEntry&));

    // Loop thread only. Applies the queued requests, then offers each timer
    // once, in firing order, to `predicate`, and moves those it selects by
    // `shift` ms (negative: earlier; the key wraps modulo 2^64). A moved timer
    // goes after the unmoved ones with its new key; moved timers with equal new
    // keys keep their order. Offered once even when its new key lies further on.
    // The predicate is as for ClearTimersFromCallbackIf; if it throws, the
    // timers selected so far are moved and the exception passes on. It moves
    // the queue's own entries instead of copying them, so it cannot run out of
    // memory half-way.
    void AdjustTimersFromCallbackIf(bool (*predicate)(const TimerEntry&), int shift);

    // Loop thread only. True when no timer is queued; requests not yet applied
    // do not count.
    bool IsTimersQueueEmpty();

    TimersAndEventManager(const TimersAndEventManager&) = delete;
    TimersAndEventManager& operator=(const TimersAndEventManager&) = delete;

protected:
    // Loop thread only. Drops every queued request unapplied. Never throws.
    void ClearPendingEventsFromCallback();

private:
    enum PendingActionType { AddTimerAction = 0, RemoveTimerAction = 1 };

    // One outside request. A removal carries key time 0 and no callback.
    struct PendingAction {
        PendingActionType type;
        unsigned long long keyTime;
        void (*callback)(void*);
        void* userData;
    };

    typedef std::list<PendingAction, rvsys::detail::NothrowAllocator<PendingAction> > PendingList;

    static unsigned long long GetCurrentTimeInMilliSec();
    bool TimeHasChanged(const unsigned long long& previous, const unsigned long long& current, int& shiftSeconds);
    void ProcessPendingActions(bool lock);

    unsigned int mPeriod;
    void (*mEventCallback)(void*);
    void (*mTimeHasChangedCallback)(void*, int);
    void* mEventUserData;
    void* mTimeChangeUserData;
    std::multimap<unsigned long long, std::pair<void (*)(void*), void*> > mTimersQueue;
    bool mUseSystemUptime;
    std::atomic<bool> mRunning;
    std::atomic<bool> mHasPendingActions;  // written under mPendingMutex, read without it
    ThreadMutex mPendingMutex;             // guards mPendingActions
    PendingList mPendingActions;
};

#endif  // RVSYSUTILS_TIMERSANDEVENTMANAGER_H
