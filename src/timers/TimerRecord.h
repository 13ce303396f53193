// The record of one TimerManager timer, and the tables it lives in.
#ifndef RVSYS_TIMERS_TIMERRECORD_H
#define RVSYS_TIMERS_TIMERRECORD_H

#include <rvsysutils/TimerManager.h>

#include <map>

#include "../platform/platform.h"

// One timer: its settings, its waitable timer while armed, and (for a record in
// the reset queue) the settings a reset brings.
class TimerRecord {
public:
    // Count 0 is stored as unlimited (0xFFFFFFFF), period 0 as the due time.
    TimerRecord(TimerManager* manager, unsigned long id, TimerCallback callback, void* userData, long dueTime,
                unsigned long count, long period);
    ~TimerRecord();  // Cancel()

    // Timer thread only. Makes a new waitable timer due mDueTime ms after
    // mCalledAt (at once when that has passed), then every mTimerPeriod ms, with
    // OnExpire as completion routine. 1 on success.
    long Arm();
    // Cancels and closes the waitable timer; a queued completion call is
    // withdrawn. 0 when not armed.
    long Cancel();
    // Applies a reset's settings (already normalised; its due time counts from
    // `calledAt`) and arms again. 0 when the record was not armed (nothing
    // changes) or arming failed.
    long Modify(TimerCallback callback, void* userData, long dueTime, unsigned long count, long period,
                long long calledAt);

    // The completion routine, on the timer thread inside its alertable wait.
    static void RVSYS_WINAPI OnExpire(void* argument, rvsys::platform::DWORD lowTime,
                                      rvsys::platform::DWORD highTime);

    TimerManager* mManager;
    unsigned long mId;
    TimerCallback mCallback;
    void* mUserData;
    long mDueTime;
    unsigned long mCount;
    long mTimerPeriod;
    // When AddTimer (or, for a queued reset, ResetTimer) was called, on the
    // clock of relative due times (100 ns units): the due time counts from it.
    long long mCalledAt;
    void* mTimerHandle;

    // Bookkeeping for removal while the thread runs (guarded by the tables'
    // lock): a removed record is never called again and is freed by the
    // timer thread once no call of it can be in progress.
    bool mRemoved = false;
    TimerRecord* mNextRetired = nullptr;
};

namespace rvsys::detail {

constexpr unsigned long kUnlimited = 0xFFFFFFFFul;

// The manager's three tables, allocated together. The addition queue is the
// object itself, so the manager's mAddQueue pointer leads back to the whole.
//
// Their lock lives as long as the tables (the manager's whole life), not only
// from Start to Stop like the manager's event: RemoveTimer may come from any
// thread at any time, and AddTimer and ResetTimer check `accepting` under it,
// so none of them can touch the event while Start makes it or Stop destroys it.
// The timer thread waits on the event with this lock as its lock.
struct TimerTables : std::map<unsigned long, TimerRecord*> {
    TimerTables(const TimerManager* creator, ThreadEvent* creatorEvent) : owner(creator), event(creatorEvent) {
        rvsys::platform::InitializeCriticalSection(&lock);
    }
    ~TimerTables() { rvsys::platform::DeleteCriticalSection(&lock); }
    TimerTables(const TimerTables&) = delete;
    TimerTables& operator=(const TimerTables&) = delete;

    void Lock() { rvsys::platform::EnterCriticalSection(&lock); }
    void Unlock() { rvsys::platform::LeaveCriticalSection(&lock); }

    const TimerManager* owner;  // the manager that created them; copies only share
    ThreadEvent* event;         // the creator's event: copies signal through it
    rvsys::platform::CRITICAL_SECTION lock;
    bool accepting = false;  // the thread runs and no stop was asked: changes may be queued
    bool abandoned = false;  // a Stop failed: only the destructor is left
    std::map<unsigned long, TimerRecord*> resets;
    std::map<unsigned long, TimerRecord*> running;
    bool threadInRun = false;           // the timer thread is inside Run
    TimerRecord* inCallback = nullptr;  // whose callback runs now
    TimerRecord* retired = nullptr;     // removed while the thread ran, freed by it
};

}  // namespace rvsys::detail

#endif  // RVSYS_TIMERS_TIMERRECORD_H
