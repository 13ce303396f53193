// TimerManager: a thread that runs callbacks when Windows waitable timers expire.
#ifndef RVSYSUTILS_TIMERMANAGER_H
#define RVSYSUTILS_TIMERMANAGER_H

#include <map>

#include "ThreadBase.h"
#include "ThreadEvent.h"
#include "export.h"

// One timer's record (internal to the library).
class TimerRecord;

// Called at each expiry, on the manager's timer thread, with the timer's id and
// the user data given when it was added. The library never owns or frees
// `userData`.
typedef void (*TimerCallback)(unsigned long id, void* userData);

// A thread object that owns timers identified by caller-chosen ids. Each armed
// timer is one waitable timer armed by the manager's own thread, so every
// callback runs on that one thread, one at a time, with no library lock held.
//
// Threads: one controlling thread calls Start, Stop and the destructor. Any
// thread, callbacks included, may call AddTimer, ResetTimer and RemoveTimer at
// any time before the destructor, also while Start or Stop runs: they then
// find the manager running or not (AddTimer and ResetTimer return 0 once Stop
// has begun). Never call Stop from a callback: it returns 0 there and changes
// nothing.
// Destroying the manager from one of its own callbacks is allowed: everything
// is released at once and the thread ends as soon as that callback returns.
//
// Due times (a decision): a due time is measured from the AddTimer or
// ResetTimer call, not from the moment the manager's thread arms the timer.
// The call's time is recorded with the timer; the thread arms only what
// remains of the due time, so periods run on the grid call + dueTime + k *
// period and a late timer thread shifts no schedule. A timer whose due time
// passed before the thread got to it (busy in a callback, say) is due at once,
// and its periods count from then. The clock is the monotonic one relative waitable timers use:
// wall-clock changes move nothing.
//
// Times are milliseconds. Values of dueTime and period beyond 32 bits saturate
// to the 32-bit range (on Linux, where long has 64 bits); counts of 0xFFFFFFFF
// and above mean unlimited.
//
// The timers themselves are served by the platform: on Linux by one service
// thread of the library's own, started at the first timer and kept for the
// life of the process. The shared library therefore stays loaded once loaded
// (dlclose leaves it mapped), so that thread never runs in unmapped code.
//
// Copies share the original's tables, event and thread; only the manager that
// created them (by construction) releases them, exactly once. A copy may add,
// reset and remove timers while the original lives (the original's thread state
// counts); its Start and Stop return 0.
class RVSYS_API TimerManager : public ThreadBase {
public:
    // Idle: no thread, no event, three empty tables. If the tables cannot be
    // allocated the manager stays usable but refuses everything (Start and
    // AddTimer return 0).
    TimerManager();

    // See the class comment: copies share without owning.
    TimerManager(const TimerManager& other);

    // Releases what this manager created (as its destructor would), then shares
    // the other's tables, event and thread. Returns this object.
    TimerManager& operator=(const TimerManager& other);

    // Stop(), then cancels and frees every timer left (also after a Stop that
    // had to terminate the thread) and releases the tables. No callback runs
    // once the destructor has returned.
    ~TimerManager() override;

    // Starts the timer thread. 1 when it runs afterwards (also when it already
    // ran); 0 when the event or thread cannot be made, on a copy, and after a
    // Stop that failed (the manager is then abandoned: only the destructor is left).
    long Start();

    // Asks the thread to end and waits up to 1000 ms. 1 when it ended: every
    // timer is cancelled and freed, no callback runs any more, every id is free
    // and Start may be called again. 0 when the thread was not running, when
    // called from a callback or on a copy, and when the thread did not end in
    // time: it is then terminated where it stands, inside a callback too (see
    // ThreadBase.h), and the manager is abandoned.
    long Stop();

    // Queues a new timer; the thread arms it shortly after. Its callback runs
    // `dueTime` ms after this call (0 or below: at once), then every `period`
    // ms on that grid (0: period = dueTime; both 0: a single expiry), `count`
    // times in all (0: without limit), after which the id is free again. See
    // "Due times" in the class comment.
    // Returns 1 when queued (a later arming failure, e.g. a negative period, is
    // not reported: the timer is dropped); 0 when the thread is not running,
    // `callback` is null, `id` is 0 or already running, or memory runs out.
    // A second AddTimer for an id whose addition is still queued replaces it.
    long AddTimer(unsigned long id, TimerCallback callback, void* userData, long dueTime, unsigned long count,
                  long period);

    // Queues new settings for a running timer, applied by the thread: the new
    // `dueTime` counts from this call (as AddTimer's) and always applies; `count` 0 or unlimited
    // keeps the number of expiries left; `period` 0 means the new dueTime (or,
    // with dueTime 0 too, keeps the current period); a null `callback` or null
    // `userData` keeps the current one. 1 when queued; 0 when the thread is not
    // running, `id` is not running (a queued addition does not count), or
    // memory runs out.
    long ResetTimer(unsigned long id, long dueTime, unsigned long count, long period, TimerCallback callback,
                    void* userData);

    // Removes a running timer or a queued addition at once: 1 when one was
    // removed, 0 otherwise. A removed timer's callback never starts again once
    // RemoveTimer has returned; if it is running right now it finishes (its
    // record stays valid until it has). A reset queued for the id stays queued.
    long RemoveTimer(unsigned long id);

protected:
    // Cancels and frees every queued and running timer. Called once the thread
    // has ended.
    void ClearQueues();

    // The timer thread: waits alertably for changes and expiries; returns 0.
    unsigned long Run() override;

private:
    friend class TimerRecord;
    typedef std::map<unsigned long, TimerRecord*> TimerMap;

    bool IsCopy() const;
    TimerManager* Creator() const;
    void ReleaseOwned();
    long QueueChange(TimerMap& queue, bool running, unsigned long id, TimerCallback callback, void* userData,
                     long dueTime, unsigned long count, long period);

    TimerMap* mAddQueue;
    TimerMap* mResetQueue;
    TimerMap* mTimers;
    long mStopRequested;
    ThreadEvent mTimerEvent;
};

#endif  // RVSYSUTILS_TIMERMANAGER_H
