// Thread objects of the Linux emulation and everything a thread does to block:
// lifecycle (threads.cpp), blocking waits (blocking.cpp), suspension
// (suspension.cpp) and termination (termination.cpp). Private to
// platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_THREADS_H
#define RVSYS_PLATFORM_LINUX_THREADS_H

#include <pthread.h>
#include <setjmp.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "handles.h"
#include "internal_lock.h"
#include "list.h"
#include "queued_calls.h"
#include "waitable.h"

namespace rvsys::platform::posix {

struct TimerObj;
struct OwnedTimers;

// A thread known to the layer: one it created, or one that first used it
// (adopted). A manual-reset waitable, signalled once the thread has ended.
struct ThreadObj : Waitable {
    // Bits of `control`.
    static constexpr std::uint32_t kTermRequested = 2;
    static constexpr std::uint32_t kBlocked = 4;       // inside a blocking call of the layer
    static constexpr std::uint32_t kAcknowledged = 8;  // runs none of its own code again: on its way out
    static constexpr std::uint32_t kFinished = 16;     // exit code decided; no termination any more

    static constexpr Kind kKind = Kind::Thread;
    static const KindOps kOps;

    ThreadObj() : Waitable(kKind) { waitBlock.wake = &wake; }
    void Reset();

    DWORD id = 0;
    std::atomic<pid_t> tid{0};  // kernel id once the thread runs
    pthread_t pthread{};        // valid while started and not exited (see suspendLock)
    std::atomic<bool> started{false};
    bool adopted = false;  // not created by the layer

    // What the thread runs: exactly one of the three routines is set.
    LPTHREAD_START_ROUTINE routine = nullptr;
    BeginThreadRoutine routine32 = nullptr;
    BeginThreadRoutineWide routineWide = nullptr;
    void* argument = nullptr;

    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<DWORD> termCode{0};  // written before kTermRequested is set
    DWORD pendingExit = 0;           // ExitThread's code on its way out (own thread only)
    // Where the layer's own thread start resumes a thread that ends without
    // returning (terminated, ExitThread); null for adopted threads. Own thread
    // and its signal handler only.
    sigjmp_buf* exitJump = nullptr;
    // The object a blocking wait holds a reference to, released on the way out
    // if the wait ends the thread (own thread only).
    KObject* waitHeld = nullptr;

    WakeWord wake;
    std::atomic<std::uint32_t> control{0};
    std::uint32_t waitSpins = 64;  // adaptive spin before a blocking wait sleeps (own thread only)
    std::atomic<const std::atomic<std::uint32_t>*> blockedOn{nullptr};  // a critical section's word
    WaitBlock waitBlock;

    std::atomic<std::uint32_t> suspendCount{0};
    std::atomic<std::uint32_t> suspendAcks{0};
    std::atomic<bool> stoppedBySignal{false};  // waiting in the suspension handler
    InternalLock suspendLock;                  // orders pthread_kill against the thread's exit
    bool exiting = false;                      // guarded by suspendLock

    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    bool background = false;  // own thread only

    CallQueue calls{&wake};

    // Timers it armed with a completion routine, and the relative ones among
    // them by due time (timers.h); the timer service's lock guards both.
    IntrusiveList<TimerObj> routineTimers;
    OwnedTimers* ownedTimers = nullptr;
};

// ---- Lifecycle (threads.cpp) -------------------------------------------------------
extern thread_local ThreadObj* tlsCurrentThread [[gnu::tls_model("initial-exec")]];

// The calling thread's object, made on first use for threads the layer did not
// create (null only when memory runs out).
ThreadObj* CurrentThread();
inline ThreadObj* CurrentThreadIfKnown() { return tlsCurrentThread; }

// Resolves a thread handle, including the pseudo-handle of the calling thread.
Ref<ThreadObj> AcquireThread(HANDLE handle);

// The thread's end with `code` (a termination's code wins): records it, cancels
// its routine timers, drops its queued calls, signals its handle and gives up
// its hold on its object. Async-signal-safe up to the freeing of its calls.
void FinishThread(ThreadObj* thread, DWORD code);

// sigsetjmp results at the layer's thread start.
constexpr int kJumpTerminated = 1;
constexpr int kJumpExited = 2;

// What the timer service does for threads, registered when it starts, so that
// thread code calls into no timer code: a thread's end cancels its routine
// timers, and a thread blocked alertably times its own (see Block).
struct ThreadTimerHooks {
    void (*threadEnded)(ThreadObj* thread);
    // BeginSelfTiming returns the monotonic due time of the thread's earliest
    // own timer (INT64_MAX: none) and takes them off the service meanwhile;
    // ExpireOwn expires those that are due (queueing their calls to the
    // thread) and returns the next due time; EndSelfTiming hands them back.
    std::int64_t (*beginSelfTiming)(ThreadObj* self);
    std::int64_t (*expireOwn)(ThreadObj* self);
    void (*endSelfTiming)(ThreadObj* self);
};
void SetThreadTimerHooks(const ThreadTimerHooks* hooks);
const ThreadTimerHooks* ThreadTimerHooksIfSet();  // async-signal-safe

// ---- Blocking (blocking.cpp) ---------------------------------------------------------
enum class WakeReason { Granted, QueuedCall, Terminate, Timeout };

// Sleeps on the calling thread's wake word until it is granted an object (when
// `grantable`), a queued call is pending (when `alertable`), termination is
// asked, or the deadline passes. The caller has done BeginBlocking.
WakeReason Block(ThreadObj* self, const Deadline& deadline, bool alertable, bool grantable);

// The start of a wait whose object is not signalled: false, with the wait's
// result, when it ends here (no memory, queued calls ran, zero timeout, the
// thread is ending); true when the caller blocks (BeginBlocking is done).
// `held` is the object whose reference the caller holds: the thread's exit
// path gives it back if the wait ends the thread (see WaitHold).
bool PrepareToBlock(KObject* held, DWORD milliseconds, bool alertable, ThreadObj** self, DWORD* result);

// Set by PrepareToBlock; a wait that returns clears it, so its caller's own
// reference is released once, by whichever path the thread takes.
struct WaitHold {
    ThreadObj* self;
    ~WaitHold() { self->waitHeld = nullptr; }
};

// The result of a blocking wait that ended for `reason`, after EndBlocking:
// runs the queued calls for QueuedCall, ends the thread for Terminate.
DWORD WaitResult(ThreadObj* self, WakeReason reason);

// A wait on a waitable object whose reference the caller holds.
DWORD WaitOnWaitable(Waitable* object, DWORD milliseconds, bool alertable);

// ---- Suspension and termination (suspension.cpp, termination.cpp) -------------------
// The real-time signal that stops a thread for SuspendThread and ends it for
// TerminateThread. Handlers of the layer's signal() leave it unblocked, so a
// thread running one can still be stopped or ended.
int ThreadSignal();
void InstallThreadSignalHandler();
void UnblockThreadSignal();
// A stop or end the thread signal found inside an internal section, run when
// the thread leaves the last one (set as tlsDeferredStop, internal_lock.h).
void StopDeferred();

// Bracket a blocking call of the calling thread. Inside the bracket the thread
// signal does not end the thread: the call itself must notice the request,
// undo what it did (leave waiter lists) and call EndThreadForTermination.
// BeginBlocking returns false when the thread has already been asked to
// terminate; the caller then calls EndThreadForTermination at once.
bool BeginBlocking(ThreadObj* self);
void EndBlocking(ThreadObj* self);

inline bool TerminationRequested(const ThreadObj* self) {
    const std::uint32_t control = self->control.load(std::memory_order_acquire);
    return (control & (ThreadObj::kTermRequested | ThreadObj::kAcknowledged | ThreadObj::kFinished)) ==
           ThreadObj::kTermRequested;
}

// Whether the calling thread, asked to terminate, ends right here: not inside
// a blocking call of the layer (that call ends it once it has left its waiter
// list) nor inside an internal section (left first).
bool MayEndHere(const ThreadObj* self);

// Ends the calling thread for a TerminateThread: acknowledges it to the
// terminator and leaves every frame above the layer's thread start without
// running anything of them. Returns only when the thread is already on its way
// out (or, for a thread the layer did not create, never does either: that
// thread stops in place, see termination.cpp).
void EndThreadForTermination(ThreadObj* self);

// Gives back the reference that a blocking wait ended by termination held.
void ReleaseWaitHeld(ThreadObj* self);

// What ends any blocked wait, whatever it waits for: termination is asked, or
// (when `alertable`) calls are queued to the thread. Sets `reason` if so.
inline bool MustLeaveWait(const ThreadObj* self, bool alertable, WakeReason* reason) {
    if (TerminationRequested(self)) {
        *reason = WakeReason::Terminate;
        return true;
    }
    if (alertable && self->calls.Pending()) {
        *reason = WakeReason::QueuedCall;
        return true;
    }
    return false;
}

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_THREADS_H
