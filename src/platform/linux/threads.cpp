// Threads, queued calls (APCs), suspension, priorities and termination of the
// Linux emulation.
//
// Data structure: a ThreadObj per thread known to the layer (objects.h): threads
// it created, and threads that first used it (adopted on first use, ended by a
// thread_local destructor). Each is a manual-reset waitable, signalled once the
// thread has ended. Created threads are detached pthreads; the thread holds one
// reference to its object until it ends, each handle another.
//
// Lock order: suspendLock, apcLock and the object's own lock are each taken
// alone.
//
// Termination. A thread the layer created starts in ThreadStart, which sets a
// sigsetjmp point before anything else and runs the routine in a frame below
// it. TerminateThread marks the request, wakes the target from any blocking
// call of the layer and sends it the thread signal (SIGRTMIN+7, shared with
// suspension), then waits until the target acknowledges. The target ends:
// - in its own code, a foreign system call (read, poll, nanosleep, a condition
//   variable) or a signal handler of its own: in the signal's handler, which
//   siglongjmps to the start point. Every frame in between is abandoned: no
//   destructor, no catch block, nothing of the routine runs again (a blocking
//   call is left as EINTR would leave it, but nobody returns into it);
// - in a blocking call of the layer (waits, sleeps, a contended critical
//   section, the start gate): the call notices the request, takes itself off
//   the waiter list it is on, then jumps. The handler leaves such a thread
//   alone, since a jump would leave its record linked into an object;
// - inside one of the layer's internal sections (InternalLock, NoSuspendScope):
//   when it leaves the last one, as a suspension does.
// The acknowledgement is made on the target, just before the jump, so once
// TerminateThread returns the target executes nothing of its routine again;
// the handle is signalled a moment later, when the exit code is recorded.
// From the start point the thread returns from ThreadStart like a thread whose
// routine returned, so glibc's own exit path runs: it takes the thread off its
// thread list, frees or caches the stack and ends the kernel thread, and it
// keeps its thread count right. Nothing of glibc's bookkeeping is bypassed, so
// fork (which walks that list) and dlopen see an ordinary ended thread; the
// code of this file stays mapped because the library is never unloaded once
// loaded. ExitThread takes the same jump, so it does not unwind either.
// What that exit path still runs: the destructors of the thread's C++
// thread_local objects and pthread key destructors (glibc runs them on every
// path that frees the stack; Windows runs none), and glibc's own clean-up,
// which may call free. A thread cut off inside malloc with an arena lock held
// blocks on that lock there for ever; its handle is already signalled by then.
// Locks the target held stay held, memory its frames owned is lost, as on
// Windows. An interrupted layer call that was outside its internal sections
// can lose the object it was making or a reference it held (one per
// termination, never a list or lock left half-changed).
//
// Threads the layer did not create (the main thread, std::thread threads that
// used the layer) have no start point. Terminated, such a thread blocks every
// signal, records its exit code, signals its handle and leaves with the raw
// exit system call: no destructor, no thread_local destructor runs. If it is
// the last thread of the process, the process ends with the exit code (as on
// Windows, where the last thread's end ends the process); otherwise the rest
// of the process runs on. glibc is not told: a joinable std::thread is still
// joined normally (the kernel clears its tid), but the stack of a detached one
// is never reused, and glibc counts one thread too many, so when the main
// thread is the one terminated the process ends when its last thread ends,
// with the main thread's exit status.
//
// Windows behaviours reproduced:
// - GetExitCodeThread gives 259 until the thread has ended, then the routine's
//   result, ExitThread's code or TerminateThread's code.
// - The exit path sets the exit code, drops the queued calls (never called),
//   then signals the handle, so a waiter that sees the end also sees the code.
// - CREATE_SUSPENDED holds the thread at a gate before its routine.
// - Suspend counts as on Windows: the previous count is returned, the 128th
//   suspend fails with 156, resuming a running thread returns 0. A running
//   thread is really stopped, by a real-time signal whose handler waits until
//   the count is back to 0; SuspendThread returns once it has stopped.
// - Priority levels are validated (87 otherwise) and stored, so
//   GetThreadPriority returns what was set; they are applied as nice values, and
//   a raise the kernel refuses does not fail the call.
// - GetCurrentThread is a pseudo-handle; DuplicateHandle makes it real.
// - QueueUserAPC to an ended thread fails with 31.
//
// - TerminateThread: from its return on, no code of the target's routine or
//   of destructors of its frames runs again (see above); exit code exactly the
//   one given; handle signalled once the thread can no longer run.
// Deliberate gaps: a thread that blocks SIGRTMIN+7 itself can be suspended or
// terminated only at the layer's blocking calls, and TerminateThread waits
// until it reaches one.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <new>

#include "objects.h"

namespace rvsys::platform::posix {

thread_local int tlsNoSuspendDepth [[gnu::tls_model("initial-exec")]] = 0;
thread_local int tlsSuspendPending [[gnu::tls_model("initial-exec")]] = 0;

int ThreadSignal() { return SIGRTMIN + 7; }

namespace {

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

thread_local ThreadObj* tlsCurrent [[gnu::tls_model("initial-exec")]] = nullptr;
thread_local DWORD tlsThreadId [[gnu::tls_model("initial-exec")]] = 0;

// Thread ids: a process-wide counter in steps of 4 as on Windows, never 0.
std::atomic<DWORD> gNextThreadId{4};

DWORD NewThreadId() {
    DWORD id;
    do {
        id = gNextThreadId.fetch_add(4, std::memory_order_relaxed);
    } while (id == 0);
    return id;
}

DWORD OwnThreadId() {
    if (tlsThreadId == 0) tlsThreadId = NewThreadId();
    return tlsThreadId;
}

// sigsetjmp results at the layer's thread start.
constexpr int kJumpTerminated = 1;
constexpr int kJumpExited = 2;

void FinishThread(ThreadObj* thread, DWORD code);

// Ends an adopted thread's object when the thread ends.
struct AdoptionGuard {
    ThreadObj* thread = nullptr;
    ~AdoptionGuard() {
        if (thread != nullptr) FinishThread(thread, thread->pendingExit);
    }
};
thread_local AdoptionGuard tlsAdoption;

void UnblockThreadSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ThreadSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Whether the calling thread, asked to terminate, ends right here: not inside
// a blocking call of the layer (that call ends it once it has left its waiter
// list) nor inside an internal section (left first).
bool MayEndHere(const ThreadObj* self) {
    return TerminationRequested(self) && (self->control.load(std::memory_order_acquire) & ThreadObj::kBlocked) == 0 &&
           tlsNoSuspendDepth == 0;
}

// A thread that has acknowledged its termination or recorded its end is
// neither stopped nor ended any more (a suspension signal still pending when
// it jumps out must not stop it on its way).
bool OnItsWayOut(const ThreadObj* self) {
    return (self->control.load(std::memory_order_acquire) & (ThreadObj::kAcknowledged | ThreadObj::kFinished)) != 0;
}

// Stops the calling thread until its suspend count is 0 again (or it is asked
// to terminate). Async-signal-safe: atomics and futex calls only.
void StopWhileSuspended(ThreadObj* self) {
    self->suspendAcks.fetch_add(1, std::memory_order_release);
    FutexWake(&self->suspendAcks);
    self->stoppedBySignal.store(true, std::memory_order_seq_cst);  // ResumeThread must wake us
    for (;;) {
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        if (self->suspendCount.load(std::memory_order_seq_cst) == 0) break;
        if (TerminationRequested(self)) break;
        FutexWait(&self->wake, wake);
    }
    self->stoppedBySignal.store(false, std::memory_order_relaxed);
}

// Ends the calling thread if it is asked to, stops it while it is suspended.
// Called with no internal section open. Async-signal-safe.
void StopOrEnd(ThreadObj* self) {
    if (MayEndHere(self)) EndThreadForTermination(self);
    StopWhileSuspended(self);
    if (MayEndHere(self)) EndThreadForTermination(self);  // terminated while suspended: never resumes
}

void OnThreadSignal(int) {
    const int savedErrno = errno;
    ThreadObj* self = tlsCurrent;
    if (self != nullptr && !OnItsWayOut(self)) {
        if (tlsNoSuspendDepth > 0) {
            tlsSuspendPending = 1;  // acts when it leaves its internal section
        } else {
            StopOrEnd(self);
        }
    }
    errno = savedErrno;
}

void InstallThreadSignalHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = OnThreadSignal;
#if defined(RVSYS_SANITIZER_THREAD)
        // ThreadSanitizer runs the handler only once the interrupted system call
        // returns: a thread blocked in read() must see EINTR to be stopped.
        action.sa_flags = 0;
#else
        action.sa_flags = SA_RESTART;
#endif
        sigfillset(&action.sa_mask);  // a suspended thread runs no other handler
        if (sigaction(ThreadSignal(), &action, nullptr) != 0) Fatal("cannot install the thread signal handler");
        return true;
    }();
    (void)installed;
}

// How many threads the process has (/proc/self/stat's 20th field), 0 if
// unknown. Async-signal-safe.
int ThreadsInProcess() {
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return 0;
    // The command name (field 2) may hold spaces: count from its last ')'.
    ssize_t at = got - 1;
    while (at > 0 && text[at] != ')') --at;
    int field = 2;
    for (++at; at < got; ++at) {
        if (text[at] != ' ' || ++field != 20) continue;
        int count = 0;
        for (++at; at < got && text[at] >= '0' && text[at] <= '9'; ++at) count = count * 10 + (text[at] - '0');
        return count;
    }
    return 0;
}

// Gives back the reference that a blocking wait ended by termination held.
void ReleaseWaitHeld(ThreadObj* self) {
    if (KObject* held = self->waitHeld) {
        self->waitHeld = nullptr;
        Release(held);
    }
}

// The end of a terminated thread the layer did not create (see the design
// block): stops in place, for good.
[[noreturn]] void StopAdoptedThread(ThreadObj* self) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    ReleaseWaitHeld(self);
    const DWORD code = self->termCode.load(std::memory_order_acquire);
    FinishThread(self, code);
    if (ThreadsInProcess() == 1) _exit(static_cast<int>(code));
    for (;;) syscall(SYS_exit, static_cast<int>(code));
}

int NiceFor(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
            return 19;
        case THREAD_PRIORITY_LOWEST:
            return 10;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 5;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -5;
        case THREAD_PRIORITY_HIGHEST:
            return -10;
        case THREAD_PRIORITY_TIME_CRITICAL:
            return -20;
        default:
            return 0;
    }
}

bool IsPriorityLevel(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

// Applies a nice value to a live thread. Refusals (raising without privilege)
// are ignored: Windows grants the same call unprivileged.
void ApplyNice(ThreadObj* thread, int nice) {
    InternalGuard guard(thread->suspendLock);  // the tid stays this thread's until `exiting`
    const pid_t tid = thread->tid.load(std::memory_order_seq_cst);
    if (tid != 0 && !thread->exiting) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// Wakes a thread from anything it may block on, so it re-checks termination.
void PokeForTermination(ThreadObj* thread) {
    thread->Poke();
    if (const auto* word = thread->blockedOn.load(std::memory_order_acquire)) FutexWake(word);
}

// Closes the thread's call queue and returns the nodes it owned, for FreeCalls.
ApcNode* DropQueuedCalls(ThreadObj* thread) {
    ApcNode* owned = nullptr;
    {
        InternalGuard guard(thread->apcLock);
        thread->apcClosed = true;
        ApcNode* node = thread->apcHead;
        thread->apcHead = thread->apcTail = nullptr;
        thread->apcCount.store(0, std::memory_order_relaxed);
        while (node != nullptr) {
            ApcNode* next = node->next;
            node->queued = false;
            node->prev = nullptr;
            // An embedded node belongs to its owner from here on: not touched again.
            if (!node->embedded) {
                node->next = owned;
                owned = node;
            }
            node = next;
        }
    }
    return owned;
}

void FreeCalls(ApcNode* owned) {
    while (owned != nullptr) {
        ApcNode* next = owned->next;
        delete owned;
        owned = next;
    }
}

void FinishThread(ThreadObj* thread, DWORD code) {
    const std::uint32_t before = thread->control.fetch_or(ThreadObj::kFinished, std::memory_order_acq_rel);
    if ((before & ThreadObj::kTermRequested) != 0) code = thread->termCode.load(std::memory_order_acquire);
    thread->exitCode.store(code, std::memory_order_release);
    CancelRoutineTimersOf(thread);
    {
        InternalGuard guard(thread->suspendLock);  // no pthread_kill from here on
        thread->exiting = true;
    }
    ApcNode* calls = DropQueuedCalls(thread);
    SignalWaitable(thread);
    if ((before & ThreadObj::kTermRequested) != 0) FutexWake(&thread->control);  // its terminator may wait
    // Freed once the end is announced: a thread cut off inside malloc may block
    // here on the allocator's lock.
    FreeCalls(calls);
    if (tlsCurrent == thread) tlsCurrent = nullptr;
    Release(thread);
}

// The thread's life below its start point: every frame from here down may be
// abandoned by the jump back to ThreadStart. Never inlined, so no object with a
// destructor lives in the frame the jump returns to.
[[gnu::noinline]] DWORD RunThread(ThreadObj* self) {
    tlsCurrent = self;
    tlsThreadId = self->id;
    self->pthread = pthread_self();
    self->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_seq_cst);
    const int priority = self->priority.load(std::memory_order_seq_cst);
    if (priority != THREAD_PRIORITY_NORMAL) ApplyNice(self, NiceFor(priority));
    UnblockThreadSignal();
    self->started.store(true, std::memory_order_seq_cst);

    // A routine that calls pthread_exit itself unwinds; its end is recorded by
    // this guard's destructor on the way out.
    struct FinishOnUnwind {
        ThreadObj* thread;
        bool returned = false;
        ~FinishOnUnwind() {
            if (!returned) FinishThread(thread, thread->pendingExit);
        }
    } unwindGuard{self};

    // The start gate: CREATE_SUSPENDED, or suspended before it ran.
    while (self->suspendCount.load(std::memory_order_seq_cst) != 0) {
        if (!BeginBlocking(self)) EndThreadForTermination(self);
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        const bool stillSuspended = self->suspendCount.load(std::memory_order_seq_cst) != 0;
        if (stillSuspended && !TerminationRequested(self)) FutexWait(&self->wake, wake);
        EndBlocking(self);
    }
    if (TerminationRequested(self)) EndThreadForTermination(self);  // never runs its routine
    DWORD code;
    if (self->routine != nullptr) {
        code = self->routine(self->argument);
    } else if (self->routine32 != nullptr) {
        code = self->routine32(self->argument);
    } else {
        code = static_cast<DWORD>(self->routineWide(self->argument));
    }
    unwindGuard.returned = true;
    return code;
}

extern "C" void* ThreadStart(void* parameter) {
    ThreadObj* const self = static_cast<ThreadObj*>(parameter);
    sigjmp_buf exitJump;
    // The mask saved here (the creator's) comes back with the jump, so a
    // thread that ends inside its signal handler does not keep signals blocked.
    if (sigsetjmp(exitJump, 1) == 0) {
        self->exitJump = &exitJump;
        const DWORD code = RunThread(self);
        FinishThread(self, code);
    } else {
        // Terminated or ExitThread: every frame below was left as it was.
        ReleaseWaitHeld(self);
        FinishThread(self, self->pendingExit);  // a termination's code wins
    }
    return nullptr;
}

HANDLE LaunchThread(ThreadObj* thread, SIZE_T stackSize, DWORD flags, DWORD* threadId) {
    thread->id = NewThreadId();
    thread->suspendCount.store((flags & CREATE_SUSPENDED) != 0 ? 1 : 0, std::memory_order_relaxed);
    HANDLE handle = OpenHandle(thread);  // the handle's reference; ours goes to the thread
    if (handle == nullptr) {
        Release(thread);
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        const auto minimum = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
        SIZE_T size = stackSize < minimum ? minimum : stackSize;
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t pthread;
    const int error = pthread_create(&pthread, &attributes, ThreadStart, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        CloseObjectHandle(handle);
        Release(thread);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = thread->id;
    return handle;
}

}  // namespace

void ThreadObj::Reset() {
    state.store(0, std::memory_order_relaxed);
    synchronization.store(false, std::memory_order_relaxed);  // manual: stays signalled once ended
    head = tail = nullptr;
    id = 0;
    tid.store(0, std::memory_order_relaxed);
    pthread = pthread_t{};
    started.store(false, std::memory_order_relaxed);
    adopted = false;
    routine = nullptr;
    routine32 = nullptr;
    routineWide = nullptr;
    argument = nullptr;
    exitCode.store(STILL_ACTIVE, std::memory_order_relaxed);
    termCode.store(0, std::memory_order_relaxed);
    pendingExit = 0;
    exitJump = nullptr;
    waitHeld = nullptr;
    wake.store(0, std::memory_order_relaxed);
    control.store(0, std::memory_order_relaxed);
    waitSpins = 64;
    blockedOn.store(nullptr, std::memory_order_relaxed);
    waitBlock.next = waitBlock.prev = nullptr;
    waitBlock.queued = false;
    suspendCount.store(0, std::memory_order_relaxed);
    suspendAcks.store(0, std::memory_order_relaxed);
    stoppedBySignal.store(false, std::memory_order_relaxed);
    exiting = false;
    priority.store(THREAD_PRIORITY_NORMAL, std::memory_order_relaxed);
    background = false;
    apcHead = apcTail = nullptr;
    apcCount.store(0, std::memory_order_relaxed);
    retakes.store(nullptr, std::memory_order_relaxed);
    apcClosed = false;
    runningCalls = false;
    callsBySelf = 0;
    routineTimers = nullptr;
}

ThreadObj* CurrentThreadIfKnown() { return tlsCurrent; }

ThreadObj* CurrentThread() {
    if (tlsCurrent != nullptr) return tlsCurrent;
    ThreadObj* self = AllocThread();
    if (self == nullptr) return nullptr;
    self->adopted = true;
    self->id = OwnThreadId();
    self->pthread = pthread_self();
    self->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
    self->started.store(true, std::memory_order_relaxed);
    tlsCurrent = self;
    tlsAdoption.thread = self;
    UnblockThreadSignal();
    return self;
}

Ref<ThreadObj> AcquireThread(HANDLE handle) {
    if (handle == kCurrentThread) {
        ThreadObj* self = CurrentThread();
        if (self == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return Ref<ThreadObj>();
        }
        AddRef(self);
        return Ref<ThreadObj>(self);
    }
    KObject* object = AcquireHandle(handle);
    if (object == nullptr) return Ref<ThreadObj>();
    if (object->kind != Kind::Thread) {
        Release(object);
        SetLastError(ERROR_INVALID_HANDLE);
        return Ref<ThreadObj>();
    }
    return Ref<ThreadObj>(static_cast<ThreadObj*>(object));
}

bool TerminationRequested(const ThreadObj* self) {
    const std::uint32_t control = self->control.load(std::memory_order_acquire);
    return (control & (ThreadObj::kTermRequested | ThreadObj::kAcknowledged | ThreadObj::kFinished)) ==
           ThreadObj::kTermRequested;
}

bool BeginBlocking(ThreadObj* self) {
    // seq_cst: ResumeThread and TerminateThread change their word, then read this.
    self->control.fetch_or(ThreadObj::kBlocked, std::memory_order_seq_cst);
    if (!TerminationRequested(self)) return true;
    EndBlocking(self);
    return false;
}

void EndBlocking(ThreadObj* self) { self->control.fetch_and(~ThreadObj::kBlocked, std::memory_order_release); }

void EndThreadForTermination(ThreadObj* self) {
    const std::uint32_t before = self->control.fetch_or(ThreadObj::kAcknowledged, std::memory_order_acq_rel);
    if ((before & (ThreadObj::kAcknowledged | ThreadObj::kFinished)) != 0) return;  // already on its way out
    FutexWake(&self->control);  // its terminator may return from here on
    if (self->exitJump != nullptr) siglongjmp(*self->exitJump, kJumpTerminated);
    StopAdoptedThread(self);
}

namespace {

// Called with the thread's apcLock held. True when the queue was empty.
bool AppendCall(ThreadObj* thread, ApcNode* node) {
    node->next = nullptr;
    node->prev = thread->apcTail;
    if (thread->apcTail != nullptr) {
        thread->apcTail->next = node;
    } else {
        thread->apcHead = node;
    }
    thread->apcTail = node;
    node->queued = true;
    if (thread->runningCalls && tlsCurrent == thread) ++thread->callsBySelf;
    return thread->apcCount.fetch_add(1, std::memory_order_release) == 0;
}

}  // namespace

CallQueue QueueEmbeddedCall(ThreadObj* thread, ApcNode* node) {
    NoSuspendScope whole;  // queued and woken, or neither
    bool wasEmpty;
    {
        InternalGuard guard(thread->apcLock);
        if (thread->apcClosed) return CallQueue::ThreadEnded;
        if (node->queued) return CallQueue::AlreadyQueued;
        wasEmpty = AppendCall(thread, node);
    }
    // A thread with calls already waiting has been woken for them; one queueing
    // to itself is awake.
    if (wasEmpty && thread != tlsCurrent) thread->Poke();
    return CallQueue::Queued;
}

void WithdrawCall(ThreadObj* thread, ApcNode* node) {
    InternalGuard guard(thread->apcLock);
    if (!node->queued) return;
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        thread->apcHead = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        thread->apcTail = node->prev;
    }
    node->next = node->prev = nullptr;
    node->queued = false;
    thread->apcCount.fetch_sub(1, std::memory_order_relaxed);
}

bool RunQueuedCalls(ThreadObj* self) {
    std::uint32_t budget;
    {
        InternalGuard guard(self->apcLock);
        budget = self->apcCount.load(std::memory_order_relaxed);
        self->runningCalls = true;
        self->callsBySelf = 0;
    }
    bool ran = false;
    for (;;) {
        PAPCFUNC function;
        ULONG_PTR data;
        ApcNode* owned = nullptr;
        {
            InternalGuard guard(self->apcLock);
            budget += self->callsBySelf;
            self->callsBySelf = 0;
            ApcNode* node = self->apcHead;
            if (budget == 0 || node == nullptr) {
                self->runningCalls = false;
                break;
            }
            --budget;
            self->apcHead = node->next;
            if (self->apcHead != nullptr) {
                self->apcHead->prev = nullptr;
            } else {
                self->apcTail = nullptr;
            }
            self->apcCount.fetch_sub(1, std::memory_order_relaxed);
            node->queued = false;
            node->next = nullptr;
            function = node->function;
            data = node->data;
            if (!node->embedded) owned = node;
        }
        delete owned;
        function(data);
        ran = true;
    }
    return ran;
}

void SuspendDeferred() {
    tlsSuspendPending = 0;
    ThreadObj* self = tlsCurrent;
    if (self != nullptr && !OnItsWayOut(self)) StopOrEnd(self);
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
    if (routine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ThreadObj* thread = AllocThread();
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->routine = routine;
    thread->argument = parameter;
    return LaunchThread(thread, stackSize, creationFlags, threadId);
}

namespace {
// Both routine types start the same way; `slot` says where the routine goes.
template <class Routine>
std::uintptr_t BeginThreadEx(Routine routine, Routine ThreadObj::*slot, unsigned stackSize, void* argument,
                             unsigned flags, unsigned* threadId) {
    if (routine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ThreadObj* thread = AllocThread();
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    thread->*slot = routine;
    thread->argument = argument;
    DWORD id = 0;
    HANDLE handle = LaunchThread(thread, stackSize, flags, &id);
    if (handle != nullptr && threadId != nullptr) *threadId = id;
    return reinterpret_cast<std::uintptr_t>(handle);
}
}  // namespace

std::uintptr_t _beginthreadex(void*, unsigned stackSize, BeginThreadRoutine routine, void* argument,
                              unsigned initFlags, unsigned* threadId) {
    return BeginThreadEx(routine, &ThreadObj::routine32, stackSize, argument, initFlags, threadId);
}

std::uintptr_t _beginthreadex(void*, unsigned stackSize, BeginThreadRoutineWide routine, void* argument,
                              unsigned initFlags, unsigned* threadId) {
    return BeginThreadEx(routine, &ThreadObj::routineWide, stackSize, argument, initFlags, threadId);
}

void ExitThread(DWORD exitCode) {
    if (ThreadObj* self = CurrentThreadIfKnown()) {
        self->pendingExit = exitCode;
        // As on Windows, the frames it leaves are not unwound.
        if (self->exitJump != nullptr) siglongjmp(*self->exitJump, kJumpExited);
    }
    pthread_exit(nullptr);
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return FALSE;
    ThreadObj* target = thread.get();
    {
        InternalGuard guard(target->lock);  // one terminator sets the code
        const std::uint32_t control = target->control.load(std::memory_order_acquire);
        if ((control & ThreadObj::kFinished) != 0) return TRUE;  // its end and code are decided
        if ((control & ThreadObj::kTermRequested) == 0) {
            target->termCode.store(exitCode, std::memory_order_release);
            target->control.fetch_or(ThreadObj::kTermRequested, std::memory_order_seq_cst);
        }
    }
    if (target == CurrentThreadIfKnown()) {
        if (MayEndHere(target)) EndThreadForTermination(target);
        if (tlsNoSuspendDepth > 0) tlsSuspendPending = 1;  // ends when it leaves the section
        // Otherwise called from a handler inside a blocking call, which ends it.
        return TRUE;
    }
    InstallThreadSignalHandler();
    PokeForTermination(target);
    {
        // pthread_kill needs a live pthread: the exit path sets `exiting` under
        // this lock. A thread not started yet stops at its start gate.
        InternalGuard guard(target->suspendLock);
        if (target->started.load(std::memory_order_seq_cst) && !target->exiting) {
            pthread_kill(target->pthread, ThreadSignal());
        }
    }
    // Returns once the target runs nothing of its own any more. Re-poke every
    // millisecond: a thread about to sleep on a critical section can miss the
    // first wake-up.
    for (;;) {
        const std::uint32_t control = target->control.load(std::memory_order_acquire);
        if ((control & (ThreadObj::kAcknowledged | ThreadObj::kFinished)) != 0) return TRUE;
        Deadline tick(1);
        FutexWait(&target->control, control, tick.Abs());
        PokeForTermination(target);
    }
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = thread->exitCode.load(std::memory_order_acquire);
    return TRUE;
}

DWORD SuspendThread(HANDLE handle) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return 0xFFFFFFFFu;
    std::uint32_t previous = thread->suspendCount.load(std::memory_order_relaxed);
    do {
        if (previous >= MAXIMUM_SUSPEND_COUNT) {
            SetLastError(ERROR_SIGNAL_REFUSED);
            return 0xFFFFFFFFu;
        }
    } while (!thread->suspendCount.compare_exchange_weak(previous, previous + 1, std::memory_order_seq_cst));
    if (previous != 0) return previous;

    InstallThreadSignalHandler();
    if (thread.get() == CurrentThreadIfKnown()) {
        pthread_kill(pthread_self(), ThreadSignal());  // stops here until resumed
        return previous;
    }
    std::uint32_t acks;
    {
        // pthread_kill needs a live pthread: the exit path sets `exiting` under
        // this lock before the thread can go away.
        InternalGuard guard(thread->suspendLock);
        if (!thread->started.load(std::memory_order_seq_cst) || thread->exiting)
            return previous;  // the gate holds it
        acks = thread->suspendAcks.load(std::memory_order_acquire);
        pthread_kill(thread->pthread, ThreadSignal());
    }
    // Wait until the handler runs. A thread asleep in a blocking call of the
    // layer runs nothing of its own until it wakes, so it counts as stopped.
    for (;;) {
        const std::uint32_t now = thread->suspendAcks.load(std::memory_order_acquire);
        if (now != acks) break;
        if (thread->suspendCount.load(std::memory_order_acquire) == 0) break;  // resumed meanwhile
        const std::uint32_t control = thread->control.load(std::memory_order_acquire);
        if ((control & (ThreadObj::kFinished | ThreadObj::kBlocked)) != 0) break;
        Deadline tick(1);
        FutexWait(&thread->suspendAcks, now, tick.Abs());
    }
    return previous;
}

DWORD ResumeThread(HANDLE handle) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return 0xFFFFFFFFu;
    NoSuspendScope whole;  // a count taken back always wakes the thread
    std::uint32_t previous = thread->suspendCount.load(std::memory_order_relaxed);
    do {
        if (previous == 0) return 0;
    } while (!thread->suspendCount.compare_exchange_weak(previous, previous - 1, std::memory_order_seq_cst));
    // Wake it only if it sleeps: at its start gate or in the suspension handler.
    if (previous == 1 && ((thread->control.load(std::memory_order_seq_cst) & ThreadObj::kBlocked) != 0 ||
                          thread->stoppedBySignal.load(std::memory_order_seq_cst))) {
        thread->Poke();
    }
    return previous;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return FALSE;
    if (priority == THREAD_MODE_BACKGROUND_BEGIN || priority == THREAD_MODE_BACKGROUND_END) {
        if (thread.get() != CurrentThreadIfKnown()) {
            SetLastError(ERROR_INVALID_PARAMETER);  // background mode is for the calling thread only
            return FALSE;
        }
        const bool begin = priority == THREAD_MODE_BACKGROUND_BEGIN;
        if (thread->background == begin) {
            SetLastError(begin ? ERROR_PROCESS_MODE_ALREADY_BACKGROUND : ERROR_PROCESS_MODE_NOT_BACKGROUND);
            return FALSE;
        }
        thread->background = begin;
        ApplyNice(thread.get(), begin ? 19 : NiceFor(thread->priority.load(std::memory_order_relaxed)));
        return TRUE;
    }
    if (!IsPriorityLevel(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->priority.store(priority, std::memory_order_seq_cst);
    // A thread that has not started yet applies it itself when it starts.
    if (!thread->background) ApplyNice(thread.get(), NiceFor(priority));
    return TRUE;
}

int GetThreadPriority(HANDLE handle) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return THREAD_PRIORITY_ERROR_RETURN;
    return thread->priority.load(std::memory_order_relaxed);
}

DWORD GetCurrentThreadId() { return OwnThreadId(); }

DWORD GetThreadId(HANDLE handle) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    return thread ? thread->id : 0;
}

DWORD QueueUserAPC(PAPCFUNC function, HANDLE handle, ULONG_PTR data) {
    if (function == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return 0;
    auto* node = new (std::nothrow) ApcNode;
    if (node == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    node->function = function;
    node->data = data;
    NoSuspendScope whole;  // queued and woken, or neither
    bool queued = false;
    {
        InternalGuard guard(thread->apcLock);
        if (!thread->apcClosed) {
            AppendCall(thread.get(), node);
            queued = true;
        }
    }
    // Once queued, the node belongs to the target, which may already have run it.
    if (!queued) {
        delete node;
        SetLastError(ERROR_GEN_FAILURE);  // the thread has ended
        return 0;
    }
    thread->Poke();
    return 1;
}

}  // namespace rvsys::platform
