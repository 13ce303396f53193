// ThreadBase: a thread object that owns one operating-system thread per run.
#ifndef RVSYSUTILS_THREADBASE_H
#define RVSYSUTILS_THREADBASE_H

#include "export.h"

class ThreadEvent;
class ThreadBase;

namespace rvsys {
namespace detail {
struct ThreadBaseAccess;
}
}  // namespace rvsys

// A plain thread routine: one untyped argument, a 32-bit exit code as result
// (on Linux the low 32 bits of the unsigned long are the exit code).
typedef unsigned long(RVSYS_WINAPI* ThreadRoutine)(void* argument);

extern "C" {
// Makes a ThreadBase around `routine`, starts it, and returns it (the caller
// owns it), or null when `routine` is null, when memory runs out or the thread
// cannot be started (then nothing is left behind). `event` may be null (the object makes its own) or a
// created, non-signalled event that outlives the run. With `autoDelete`
// non-zero the thread deletes the object when the routine returns: the pointer
// may then be dangling as soon as the routine has ended, and the caller must
// call nothing on it, not even StopThread, once it knows the routine is over.
RVSYS_API ThreadBase* StartThread(ThreadRoutine routine, void* argument, ThreadEvent* event, long autoDelete);

// Stops and deletes an object made by StartThread: Stop(timeout), stores the
// exit code through `exitCode` (when non-null), deletes the object and sets
// *thread to null. Returns Stop's result (1 ended by itself, 0 terminated), or 0
// without any effect when *thread is null or the object was not made by
// StartThread. Against a self-deleting object whose thread ends at this very
// moment the decision is taken under the run's lock: when the thread has
// already committed to deleting the object, StopThread leaves the deletion to
// it, reports its exit code, returns 1 and still sets *thread to null.
RVSYS_API long StopThread(ThreadBase** thread, unsigned long timeout, unsigned long* exitCode);
}

// A thread object. Subclasses override Initialize, Run and Destroy, which the
// new thread calls in that order; Run's result is the exit code. Objects made
// by StartThread run a plain routine instead and call none of the three.
//
// One controlling thread calls Start, Stop, WaitForThreadEnd and the destructor,
// never two at once. IsRunning and GetThreadExitCode may also be called from
// other threads while none of those is in progress. The end of each run is
// recorded under the run event's lock and announced by its signal.
//
// Stopping: Stop(timeout) waits, then terminates a thread that has not ended
// (Thread::TerminateThread). The thread stops where it stands, whatever its
// Run is doing, spinning or blocked in any call: from the moment Stop returns
// nothing of Run, Destroy or destructors of their frames runs again (on Linux
// Stop returns only once the thread has stopped), so the object may be
// destroyed at once. As on Windows, locks the thread held stay held and memory
// its frames owned is lost; a Run that may be terminated should hold no lock
// other threads need. On Linux the thread's thread_local destructors still run
// as it leaves (see Thread.h).
class RVSYS_API ThreadBase {
public:
    // Idle: no thread, no event, exit code 0xFFFFFFFF.
    ThreadBase();

    // Copies share without owning. The copy gets the same routine, argument,
    // exit code, flags and event pointer, but no thread handle and no claim on
    // the event: it never terminates the thread, closes a handle or destroys an
    // event. It is a snapshot, useful only while the source's run lives; copy
    // idle objects.
    ThreadBase(const ThreadBase& other);

    // As the copy constructor. A run of this object is stopped first (Stop(0)),
    // so assignment never leaks a thread, handle or event. Returns this object.
    ThreadBase& operator=(const ThreadBase& other);

    // Clears the self-delete flag, then Stop(0): a thread still running is
    // terminated (see above). A subclass whose Run must end in order stops the
    // thread in its own destructor, since its part is gone when this one runs.
    virtual ~ThreadBase();

    // Ends any previous run (Stop(0)) and starts a new thread. `event` may be
    // null (the object makes and owns an auto-reset event with a lock) or a
    // created, non-signalled event that the caller owns, that outlives the run
    // and that nothing else signals during it. Returns 1 when the thread was
    // started: the run is marked running before the thread can begin. Returns
    // 0 (object idle, may be started again) when the event or thread cannot be
    // made, and when called from this object's own running thread.
    long Start(ThreadEvent* event);

    // Waits at most `timeout` ms for the thread to end; when it does not,
    // terminates it (see above). Cleans up either way (closes the handle,
    // releases an owned event). Returns 1 when the thread ended by itself, 0 when
    // it was terminated or the object is idle. Called from the object's own
    // running thread it returns 0 at once and changes nothing.
    long Stop(unsigned long timeout);

    // Waits at most `timeout` ms. Returns 1 and cleans up when the thread has
    // ended; 0 when it has not (nothing changes, the call may be repeated), when
    // the object is idle, or when called from the object's own running thread.
    long WaitForThreadEnd(unsigned long timeout);

    // Stores the exit code and returns 1 when the thread has ended by itself and
    // the run is not yet cleaned up; 0 otherwise (still running, idle, or a
    // null `exitCode`).
    long GetThreadExitCode(unsigned long* exitCode);

    // 1 while the run is marked running, 0 otherwise.
    long IsRunning();

protected:
    // Called on the new thread, in this order. The defaults do nothing and Run
    // returns 0.
    virtual void Initialize();
    virtual void Destroy();
    virtual unsigned long Run();

private:
    // StartThread and StopThread reach the members through it: befriending the
    // exported functions themselves would redeclare them without dllimport.
    friend struct rvsys::detail::ThreadBaseAccess;

    void Cleanup();
    bool IsOwnThread();
    static unsigned long MainThreadRoutine(ThreadBase* thread);

    void* mThreadHandle;
    ThreadRoutine mThreadFunction;
    void* mThreadArgument;
    unsigned long mExitCode;
    long mIsRunning;
    ThreadEvent* mEvent;
    long mOwnsEvent;
    long mAutoDelete;
};

#endif  // RVSYSUTILS_THREADBASE_H
