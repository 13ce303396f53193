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
// Deliberate gap, TerminateThread: Linux cannot stop a thread at an arbitrary
// instruction. The thread ends at its next blocking call of the layer (waits,
// sleeps, a blocked critical section, the start gate) or when its routine
// returns. Its stack is unwound (pthread_exit's forced unwinding), so C++
// destructors run where Windows runs none. TerminateThread returns at once when
// the target runs user code; when it is in a blocking call or in library code
// (EnterLibraryCode), it waits until the target has left that call or code, so
// that from its return on the target touches no library object again.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

#include <new>

#include "objects.h"

namespace rvsys::platform::posix {

thread_local int tlsNoSuspendDepth [[gnu::tls_model("initial-exec")]] = 0;
thread_local int tlsSuspendPending [[gnu::tls_model("initial-exec")]] = 0;

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

int SuspendSignal() { return SIGRTMIN + 7; }

void FinishThread(ThreadObj* thread, DWORD code);

// Ends an adopted thread's object when the thread ends.
struct AdoptionGuard {
    ThreadObj* thread = nullptr;
    ~AdoptionGuard() {
        if (thread != nullptr) FinishThread(thread, thread->pendingExit);
    }
};
thread_local AdoptionGuard tlsAdoption;

void UnblockSuspendSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SuspendSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
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

void OnSuspendSignal(int) {
    const int savedErrno = errno;
    ThreadObj* self = tlsCurrent;
    // A thread on its way out is not stopped any more (SuspendThread sees it end).
    if (self != nullptr && (self->control.load(std::memory_order_acquire) & ThreadObj::kFinished) == 0) {
        if (tlsNoSuspendDepth > 0) {
            tlsSuspendPending = 1;  // stops when it leaves its internal section
        } else {
            StopWhileSuspended(self);
        }
    }
    errno = savedErrno;
}

void InstallSuspendHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = OnSuspendSignal;
        action.sa_flags = SA_RESTART;
        sigfillset(&action.sa_mask);  // a suspended thread runs no other handler
        if (sigaction(SuspendSignal(), &action, nullptr) != 0) Fatal("cannot install the suspension handler");
        return true;
    }();
    (void)installed;
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

void DropQueuedCalls(ThreadObj* thread) {
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
    DropQueuedCalls(thread);
    SignalWaitable(thread);
    if ((before & ThreadObj::kTermRequested) != 0) FutexWake(&thread->control);  // its terminator may wait
    if (tlsCurrent == thread) tlsCurrent = nullptr;
    Release(thread);
}

extern "C" void* ThreadStart(void* parameter) {
    auto* self = static_cast<ThreadObj*>(parameter);
    tlsCurrent = self;
    tlsThreadId = self->id;
    self->pthread = pthread_self();
    self->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_seq_cst);
    const int priority = self->priority.load(std::memory_order_seq_cst);
    if (priority != THREAD_PRIORITY_NORMAL) ApplyNice(self, NiceFor(priority));
    UnblockSuspendSignal();
    self->started.store(true, std::memory_order_seq_cst);

    // ExitThread and termination unwind the stack (pthread_exit); the thread's
    // end is recorded by this guard's destructor on the way out.
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
    FinishThread(self, code);
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
    UnblockSuspendSignal();
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
    if ((before & ThreadObj::kAcknowledged) != 0) return;  // already unwinding: let the caller return
    FutexWake(&self->control);
    self->pendingExit = self->termCode.load(std::memory_order_acquire);
    pthread_exit(nullptr);
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
    if (ThreadObj* self = tlsCurrent) StopWhileSuspended(self);
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
    if (ThreadObj* self = CurrentThreadIfKnown()) self->pendingExit = exitCode;
    pthread_exit(nullptr);
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
    Ref<ThreadObj> thread = AcquireThread(handle);
    if (!thread) return FALSE;
    std::uint32_t before;
    {
        InternalGuard guard(thread->lock);  // one terminator sets the code
        before = thread->control.load(std::memory_order_acquire);
        if ((before & (ThreadObj::kTermRequested | ThreadObj::kFinished)) != 0) return TRUE;
        thread->termCode.store(exitCode, std::memory_order_release);
        before = thread->control.fetch_or(ThreadObj::kTermRequested, std::memory_order_acq_rel);
    }
    if (thread.get() == CurrentThreadIfKnown()) {
        EndThreadForTermination(thread.get());
        return TRUE;  // already unwinding
    }
    if ((before & ThreadObj::kFinished) != 0) return TRUE;
    PokeForTermination(thread.get());
    if ((before & (ThreadObj::kLibraryCode | ThreadObj::kBlocked)) == 0) return TRUE;

    // The target may be touching library objects: wait until it has let go.
    // Re-poke every millisecond: a thread about to sleep on a critical section
    // can miss the first wake-up.
    for (;;) {
        const std::uint32_t control = thread->control.load(std::memory_order_acquire);
        if ((control & (ThreadObj::kAcknowledged | ThreadObj::kFinished)) != 0) return TRUE;
        Deadline tick(1);
        FutexWait(&thread->control, control, tick.Abs());
        PokeForTermination(thread.get());
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

    InstallSuspendHandler();
    if (thread.get() == CurrentThreadIfKnown()) {
        pthread_kill(pthread_self(), SuspendSignal());  // stops here until resumed
        return previous;
    }
    std::uint32_t acks;
    {
        // pthread_kill needs a live pthread: the exit path sets `exiting` under
        // this lock before the thread can go away.
        InternalGuard guard(thread->suspendLock);
        if (!thread->started.load(std::memory_order_seq_cst) || thread->exiting) return previous;  // the gate holds it
        acks = thread->suspendAcks.load(std::memory_order_acquire);
        pthread_kill(thread->pthread, SuspendSignal());
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

void EnterLibraryCode() {
    ThreadObj* self = CurrentThreadIfKnown();
    if (self == nullptr) return;
    self->control.fetch_or(ThreadObj::kLibraryCode, std::memory_order_acq_rel);
    if (TerminationRequested(self)) EndThreadForTermination(self);
}

void LeaveLibraryCode() {
    ThreadObj* self = CurrentThreadIfKnown();
    if (self == nullptr) return;
    self->control.fetch_and(~ThreadObj::kLibraryCode, std::memory_order_acq_rel);
    if (TerminationRequested(self)) EndThreadForTermination(self);
}

}  // namespace rvsys::platform
