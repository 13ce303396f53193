// ThreadEvent: a Windows event with an optional lock of its own, usable as a condition.
#ifndef RVSYSUTILS_THREADEVENT_H
#define RVSYSUTILS_THREADEVENT_H

#include "export.h"

struct _RTL_CRITICAL_SECTION;

// An event object, auto-reset or manual-reset, non-signalled when created, with
// an optional re-entrant lock. Lock, Unlock, SetEvent, SetEventAll, ResetEvent
// and the waits may be called from any thread at once; Create, Destroy, copying
// and destruction must not overlap any other use of the object.
//
// Used as a condition:
//   waiter:    Lock(); while (!ready) WaitForEvent(timeout, nullptr); Unlock();
//   signaller: Lock(); ready = true; SetEvent(); Unlock();
// The wait leaves the lock while it blocks and takes it again before it returns,
// so the waiter must test its state again after every wait.
//
// Auto-reset: a signal releases exactly one waiter, handed to it inside SetEvent,
// so two quick signals with two blocked waiters release both; a signal given
// while nobody waits stays pending for the next wait. Manual-reset: a signal
// releases every waiter and stays until ResetEvent.
//
// Wait results: 0 signalled, 258 timed out, 192 (WaitForEventEx only) a queued
// call ran, 0xFFFFFFFF failed. Timeouts are in milliseconds on a monotonic clock;
// 0xFFFFFFFF, and on Linux any larger value, waits without limit. A wait never
// returns 258 before its time has passed.
class RVSYS_API ThreadEvent {
public:
    // Not created: every member is zero.
    ThreadEvent();

    // Calls Destroy.
    ~ThreadEvent();

    // Copies share without owning: the copy refers to the same event and lock,
    // but only the object whose Create made them releases them; a copy's
    // Destroy and destructor just forget them. The copy is usable while the
    // owner's event lives.
    ThreadEvent(const ThreadEvent& other);

    // As the copy constructor. An event that this object owns is destroyed
    // first, so assignment never leaks one. Returns this object.
    ThreadEvent& operator=(const ThreadEvent& other);

    // Makes the event (manual-reset when manualReset is non-zero, otherwise
    // auto-reset) and, when withLock is non-zero, its own lock. Returns 1 on
    // success. Returns 0 and changes nothing when the event is already created,
    // or when withLock is non-zero and a lock is already present. Returns 0 and
    // leaves the event not created when memory runs out. If only the system
    // event cannot be made, returns 0 but the event counts as created (with a
    // null handle): Lock and Unlock work, signals return 0, waits fail, and
    // Destroy releases what was made.
    long Create(long withLock, long manualReset);

    // Releases the lock, the event handle and its cell; 1 on success, 0 when
    // the event is not created or has a lock flag but no lock. The reset mode
    // and lock flag keep their values.
    long Destroy();

    // Takes / releases the event's own lock (re-entrant). Return 1 without
    // locking when the event has no lock; 0 when it should have one but has
    // none (after Destroy).
    long Lock();
    long Unlock();

    // Signals the event: 1 on success, 0 when not created or the system refuses.
    long SetEvent();

    // The same call as SetEvent: releases one waiter of an auto-reset event and
    // every waiter of a manual-reset one.
    long SetEventAll();

    // Clears the signal: 1 on success, 0 when not created.
    long ResetEvent();

    // Waits at most `timeout` ms for the signal. When the event has a lock, the
    // caller holds the lock `criticalSection` (null means the event's own lock);
    // the wait leaves it once while blocked and takes it again before returning,
    // whatever the result. Without a lock `criticalSection` is ignored.
    // Returns 0, 258 or 0xFFFFFFFF (not created; lock flag set but no lock).
    unsigned long WaitForEvent(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection);

    // WaitForEvent(0xFFFFFFFF, criticalSection).
    unsigned long WaitForEvent(_RTL_CRITICAL_SECTION* criticalSection);

    // As WaitForEvent, but alertable: when the event is not signalled, calls
    // queued to this thread (QueueUserAPC, waitable-timer completion routines)
    // run during the wait, with the lock left, and the wait returns 192. A
    // signalled event returns 0 and runs none of them.
    unsigned long WaitForEventEx(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection);

    // The address of the cell holding the event's handle; null when not created.
    // *GetHandle() may be passed to the platform's own wait functions. The cell
    // keeps its address from Create to Destroy.
    void** GetHandle();

private:
    unsigned long Wait(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection, bool alertable);

    long mHasLock;
    long mManualReset;
    void** mEventHandle;
    _RTL_CRITICAL_SECTION* mCriticalSection;
};

#endif  // RVSYSUTILS_THREADEVENT_H
