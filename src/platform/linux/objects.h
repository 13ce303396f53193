// Kernel objects of the Linux emulation, the handle table that names them, and
// the blocking primitive every wait is built on. Private to platform/linux.
//
// Memory: every kernel object lives in a type-stable pool. Its memory is never
// returned to the allocator, only reused for an object of the same kind, so a
// stale pointer read from the handle table can never reach freed memory: at
// worst it reaches a newer object of the same kind, which is what a closed and
// reused handle value does on Windows too. This lets the hot calls (SetEvent,
// ResetEvent, a wait on a signalled event) resolve a handle with plain loads.
//
// Blocking: every thread known to the emulation has a ThreadObj with a futex
// word `wake`. All blocking (event and thread waits, sleeps, the start gate)
// sleeps on that word; whoever wants the thread to re-check its condition
// (a signaller granting it an object, QueueUserAPC, TerminateThread) changes the
// word, then wakes it. Only critical sections sleep on their own lock word.
// A thread asked to terminate inside such a call leaves it cooperatively (it
// unlinks itself first); anywhere else the thread signal ends it (threads.cpp).
#ifndef RVSYS_PLATFORM_POSIX_OBJECTS_H
#define RVSYS_PLATFORM_POSIX_OBJECTS_H

#include <pthread.h>
#include <setjmp.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "../platform.h"
#include "internal_lock.h"
#include "sys.h"

namespace rvsys::platform::posix {

enum class Kind : std::uint8_t { Event = 1, Thread = 2, Timer = 3, Semaphore = 4 };

struct KObject {
    explicit KObject(Kind k) : kind(k) {}

    // References: one per open handle, one per wait in progress, one for a
    // running thread's hold on its own object. The last release recycles it.
    std::atomic<std::uint32_t> refs{0};
    const Kind kind;
    KObject* poolNext = nullptr;  // free-list link, used only while recycled
};

struct ThreadObj;
struct TimerObj;
struct OwnedTimers;

// A thread's record on one object's waiter list. Each thread waits on at most
// one object at a time, so the record is embedded in its ThreadObj.
struct WaitBlock {
    WaitBlock* next = nullptr;
    WaitBlock* prev = nullptr;
    ThreadObj* thread = nullptr;  // the owner, fixed
    bool queued = false;          // on a list; guarded by that object's lock
};

// An object with a signal state and a FIFO of waiters: events, and threads
// (signalled when they end).
struct Waitable : KObject {
    static constexpr std::uint32_t kSignaled = 1;
    static constexpr std::uint32_t kWaiters = 2;  // the waiter list may be non-empty

    explicit Waitable(Kind k) : KObject(k) {}

    // Changed only with atomic read-modify-writes, so the lock-free fast paths
    // (signal with nobody waiting, consume a pending signal) stay linearizable
    // with the locked slow paths.
    std::atomic<std::uint32_t> state{0};
    // Synchronization object: a satisfied wait consumes the signal (auto-reset).
    std::atomic<bool> synchronization{false};

    InternalLock lock;  // guards the list below
    WaitBlock* head = nullptr;
    WaitBlock* tail = nullptr;
};

struct EventObj : Waitable {
    EventObj() : Waitable(Kind::Event) {}
    void Reset(bool manualReset, bool initialState);
};

// A queued call (APC). QueueUserAPC allocates one per call; objects that queue
// the same call repeatedly embed theirs (it is then never freed by the queue).
struct ApcNode {
    ApcNode* next = nullptr;
    ApcNode* prev = nullptr;
    PAPCFUNC function = nullptr;
    ULONG_PTR data = 0;
    bool embedded = false;
    bool queued = false;  // guarded by the target thread's apcLock
};

struct ThreadObj : Waitable {
    // Bits of `control`.
    static constexpr std::uint32_t kTermRequested = 2;
    static constexpr std::uint32_t kBlocked = 4;       // inside a blocking call of the layer
    static constexpr std::uint32_t kAcknowledged = 8;  // runs none of its own code again: on its way out
    static constexpr std::uint32_t kFinished = 16;     // exit code decided; no termination any more
    // Bits of `wake`: kGranted, plus a counter that every poke advances.
    static constexpr std::uint32_t kGranted = 1;
    static constexpr std::uint32_t kPoke = 2;

    ThreadObj() : Waitable(Kind::Thread) { waitBlock.thread = this; }
    void Reset();

    // Makes the thread re-check why it blocks (APC queued, termination asked).
    void Poke() {
        wake.fetch_add(kPoke, std::memory_order_release);
        FutexWake(&wake, 1);
    }

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

    std::atomic<std::uint32_t> wake{0};
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

    InternalLock apcLock;
    ApcNode* apcHead = nullptr;
    ApcNode* apcTail = nullptr;
    std::atomic<std::uint32_t> apcCount{0};
    bool apcClosed = false;         // the thread has ended: queueing fails
    bool runningCalls = false;      // inside RunQueuedCalls
    std::uint32_t callsBySelf = 0;  // calls it queued to itself meanwhile

    TimerObj* routineTimers = nullptr;   // timers it armed with a completion routine; timer service lock
    OwnedTimers* ownedTimers = nullptr;  // the relative ones among them, by due time (timers.cpp)

    // The lock its current wait takes again when it ends (WaitLeavingLock), or
    // null; a signaller holding that very lock defers the wake-up (waits.cpp).
    std::atomic<const CRITICAL_SECTION*> retakes{nullptr};
};

// A node of the timer service's heaps (timers.cpp): a timer, or the stand-in
// for the earliest of a thread's own timers.
struct HeapNode {
    std::int64_t due = 0;  // nanoseconds on the heap's clock
    std::uint32_t index = 0;
    void* item = nullptr;  // the TimerObj, or the OwnedTimers it stands for
    bool standIn = false;
};

// A waitable timer. Everything but the waitable part is guarded by the timer
// service's lock (timers.cpp).
struct TimerObj : Waitable {
    TimerObj() : Waitable(Kind::Timer) {}
    void Reset(bool manualReset);

    // Where it is armed: nowhere, a service heap of its clock, or its owner's own heap.
    enum class Heap : std::uint8_t { None, Monotonic, Realtime, Owner };
    Heap heap = Heap::None;
    bool realtime = false;    // due time on CLOCK_REALTIME (absolute) or CLOCK_MONOTONIC (relative)
    HeapNode node;            // due time (nanoseconds on its clock) and heap position
    std::int64_t period = 0;  // nanoseconds, 0 for one expiry
    PTIMERAPCROUTINE routine = nullptr;
    void* argument = nullptr;
    ThreadObj* owner = nullptr;  // the thread that armed it with a routine (counted reference)
    TimerObj* ownerNext = nullptr;
    TimerObj* ownerPrev = nullptr;
    // Advanced by every set, cancel and close, never reset: a completion call
    // queued for an older arming is recognised and dropped.
    std::uint64_t generation = 0;
    std::uint64_t callGeneration = 0;  // the arming the queued call belongs to
    FILETIME callTime{};               // expiry time handed to the routine
    ApcNode call;                      // the one embedded completion call
};

// One handle's view of a semaphore (semaphores.cpp): its own open file
// description, which holds a shared flock while open, and its own mapping of the
// page that the processes share. Unnamed semaphores have no file.
struct SharedSemaphore;
struct SemObj : KObject {
    SemObj() : KObject(Kind::Semaphore) {}
    SharedSemaphore* page = nullptr;
    std::atomic<int> fd{-1};  // -1 when unnamed, and once the file part is closed
    // Open handles (a wait holds a reference, not a handle): at 0 the name and
    // file go, as a Windows name goes with its last handle.
    std::atomic<int> handles{0};
    pid_t owner = 0;      // the opening process: only it may unlink the name
    char path[272] = {};  // "/dev/shm/" and a file name of at most 255 bytes
};

// The last reference to a semaphore is gone: gives up its name, file and
// mapping (normal context; semaphores.cpp).
void FinishSemaphore(SemObj* semaphore);
// The async-signal-safe part of FinishSemaphore: the name and the file, not the
// mapping (semaphores.cpp).
void FinishSemaphoreFiles(SemObj* semaphore);
// A handle to the semaphore was opened or closed (handles.cpp); closing the
// last one finishes the files (async-signal-safe).
void SemaphoreHandleOpened(SemObj* semaphore);
void SemaphoreHandleClosed(SemObj* semaphore);

// The semaphore a handle names, through a one-entry cache per thread (so the
// hot Lock/Unlock pair skips the table walk); null + error 6 otherwise.
// CachedSemaphore only looks in the cache and sets no error.
SemObj* ResolveSemaphore(HANDLE handle);
SemObj* CachedSemaphore(HANDLE handle);
// A wait on a semaphore whose reference the caller holds (semaphores.cpp).
DWORD WaitForSemaphore(SemObj* semaphore, DWORD milliseconds, bool alertable);
// Takes one unit if one is free: lock-free, for the wait's fast path.
bool TryTakeSemaphore(SemObj* semaphore);

// Testing: `delay` (null: none) runs at the points where the open, create,
// close and release steps of different processes interleave.
void SetSemaphoreRaceDelay(void (*delay)());

// The Windows error code for an errno value (process.cpp).
DWORD WindowsError(int errnoValue);

// ---- Pools and references ----------------------------------------------------
EventObj* AllocEvent();    // refs == 1, or null (out of memory)
ThreadObj* AllocThread();  // refs == 1, or null
TimerObj* AllocTimer();    // refs == 1, or null
SemObj* AllocSemaphore();  // refs == 1, or null
void AddRef(KObject* object);
void Release(KObject* object);

// A counted reference held for the duration of a call.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* object) : mObject(object) {}  // adopts a reference
    Ref(Ref&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    Ref& operator=(Ref&&) = delete;
    ~Ref() {
        if (mObject) Release(mObject);
    }
    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    explicit operator bool() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};

// ---- Handle table ------------------------------------------------------------
// A handle encodes a slot and its generation: a closed or forged handle fails
// with error 6 instead of reaching another object. Never 0, -1 or -2.
HANDLE OpenHandle(KObject* object);     // takes a new reference; null + error when full
BOOL CloseObjectHandle(HANDLE handle);  // error 6 when not open
KObject* PeekHandle(HANDLE handle);     // no reference; null + error 6
KObject* AcquireHandle(HANDLE handle);  // with a reference; null + error 6
// PeekHandle that also gives the slot's state word and the value it holds for
// this handle: while it holds that value, the handle still names the object.
KObject* PeekHandleSlot(HANDLE handle, const std::atomic<std::uint64_t>** word, std::uint64_t* value);
// CloseHandle inside a signal handler: no lock, no allocation. The slot is
// closed at once; its reuse, and the recycling of an object whose last
// reference this was (after its async-signal-safe clean-up), wait for the next
// handle to be opened outside a handler.
BOOL CloseObjectHandleInSignalHandler(HANDLE handle);

template <class T>
T* Peek(HANDLE handle, Kind kind) {
    KObject* object = PeekHandle(handle);
    if (object == nullptr) return nullptr;
    if (object->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<T*>(object);
}

// Resolves a thread handle, including the pseudo-handle of the calling thread.
Ref<ThreadObj> AcquireThread(HANDLE handle);

// ---- Threads -----------------------------------------------------------------
// The real-time signal that stops a thread for SuspendThread and ends it for
// TerminateThread. Handlers of the layer's signal() leave it unblocked, so a
// thread running one can still be stopped or ended.
int ThreadSignal();

// The calling thread's object, made on first use for threads the layer did not
// create (null only when memory runs out).
ThreadObj* CurrentThread();
ThreadObj* CurrentThreadIfKnown();

// Bracket a blocking call of the calling thread. Inside the bracket the thread
// signal does not end the thread: the call itself must notice the request,
// undo what it did (leave waiter lists) and call EndThreadForTermination.
// BeginBlocking returns false when the thread has already been asked to
// terminate; the caller then calls EndThreadForTermination at once.
bool BeginBlocking(ThreadObj* self);
void EndBlocking(ThreadObj* self);
bool TerminationRequested(const ThreadObj* self);

// Ends the calling thread for a TerminateThread: acknowledges it to the
// terminator and leaves every frame above the layer's thread start without
// running anything of them. Returns only when the thread is already on its way
// out (or, for a thread the layer did not create, never does either: that
// thread stops in place, see threads.cpp).
void EndThreadForTermination(ThreadObj* self);

// Runs the calling thread's queued calls, FIFO, with no lock held: those queued
// when it began and as many more as those calls queue to this thread, so calls
// queued by calls run in the same wait while calls other threads keep queueing
// cannot hold the thread in its wait for ever. True when at least one ran.
bool RunQueuedCalls(ThreadObj* self);

// An embedded call (node->embedded) is queued at most once: queueing it again
// while it waits does nothing. A thread that had no call waiting is woken.
enum class CallQueue { Queued, AlreadyQueued, ThreadEnded };
CallQueue QueueEmbeddedCall(ThreadObj* thread, ApcNode* node);
// Takes an embedded call off the queue if it is still waiting there.
void WithdrawCall(ThreadObj* thread, ApcNode* node);

// ---- Waitable timers (timers.cpp) ------------------------------------------------
// Cancels the timers a thread armed with a completion routine and frees its
// heap of them; called by the thread's exit path before its queued calls are
// dropped.
void CancelRoutineTimersOf(ThreadObj* thread);
// Cancels a timer whose last reference is gone, before its memory is reused.
void RetireTimer(TimerObj* timer);
// How often the timer service thread has woken (tests and benchmarks).
std::uint64_t TimerServiceWakeups();

// A thread about to block alertably times its own routine timers, so that their
// completion calls cost it one wake-up instead of two (service, then owner).
// BeginSelfTiming returns the monotonic due time of its earliest own timer
// (INT64_MAX: none) and takes them off the service meanwhile; ExpireOwnTimers
// expires those that are due (queueing their calls to the thread) and returns
// the next due time; EndSelfTiming hands them back to the service.
std::int64_t BeginSelfTiming(ThreadObj* self);
std::int64_t ExpireOwnTimers(ThreadObj* self);
void EndSelfTiming(ThreadObj* self);

// ---- Waiting -----------------------------------------------------------------
enum class WakeReason { Granted, QueuedCall, Terminate, Timeout };

// What ends any blocked wait, whatever it waits for: termination is asked, or
// (when `alertable`) calls are queued to the thread. Sets `reason` if so.
inline bool MustLeaveWait(const ThreadObj* self, bool alertable, WakeReason* reason) {
    if (TerminationRequested(self)) {
        *reason = WakeReason::Terminate;
        return true;
    }
    if (alertable && self->apcCount.load(std::memory_order_acquire) != 0) {
        *reason = WakeReason::QueuedCall;
        return true;
    }
    return false;
}

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

// Signal state of a waitable (used by events and by a thread's end). Auto-reset:
// hand the signal to one waiter, or set it; manual: set and release all. A waiter
// released by an auto-reset signal is woken at once, or, when the calling thread
// holds `postponeUntilLeft`, when it leaves that lock.
void SignalWaitable(Waitable* object, CRITICAL_SECTION* postponeUntilLeft = nullptr);
bool TryConsume(Waitable* object);  // lock-free test-and-take of the signal

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_POSIX_OBJECTS_H
