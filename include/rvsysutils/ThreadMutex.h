// ThreadMutex: a re-entrant mutual-exclusion lock over a Windows critical section.
#ifndef RVSYSUTILS_THREADMUTEX_H
#define RVSYSUTILS_THREADMUTEX_H

#include "export.h"

// The platform's critical section. Windows defines it in <winnt.h>; on Linux the
// library's platform layer defines it. Callers only ever hold pointers to it.
struct _RTL_CRITICAL_SECTION;

// A re-entrant lock. Any thread may call Lock, TryLock and Unlock at any time;
// construction and destruction must not overlap any other use.
//
// The thread that holds the lock may take it again; it is released when every
// successful Lock or TryLock has had its Unlock. Waiters are not served in FIFO
// order. The lock is process-local.
class RVSYS_API ThreadMutex {
public:
    // Allocates and prepares the critical section. If the allocation fails the
    // mutex has none: operator bool is false and every operation returns false.
    ThreadMutex();

    // Releases the critical section. The mutex must not be held by any thread.
    ~ThreadMutex();

    // Blocks until the lock is free, then takes it; returns at once when the
    // calling thread already holds it. False only when the mutex has no critical
    // section. A thread terminated while blocked here ends without the lock.
    bool Lock();

    // Takes the lock only if that needs no waiting: true when taken (also when
    // the calling thread already holds it, which adds one level), false when
    // another thread holds it or the mutex has no critical section. Never fails
    // spuriously.
    bool TryLock();

    // Releases one level of the lock held by the calling thread. False only when
    // the mutex has no critical section. Unlock by a thread that does not hold
    // the lock is a caller error: Windows leaves the lock corrupted; this library
    // ignores such a call on Linux.
    bool Unlock();

    // True when the critical section exists.
    operator bool() const;

    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

private:
    _RTL_CRITICAL_SECTION* mCriticalSection;
};

#endif  // RVSYSUTILS_THREADMUTEX_H
