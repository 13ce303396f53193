// Thread lifecycle of the Linux emulation: creation, the start and end of a
// thread, adoption of threads the layer did not create, ids, priorities,
// QueueUserAPC, and DuplicateHandle (the calling thread's pseudo-handle is its
// one kind-specific case).
//
// Data structure: a ThreadObj per thread known to the layer (threads.h): threads
// it created, and threads that first used it (adopted on first use, ended by a
// thread_local destructor). Each is a manual-reset waitable, signalled once the
// thread has ended. Created threads are detached pthreads; the thread holds one
// reference to its object until it ends, each handle another.
//
// A thread the layer created starts in ThreadStart, which sets a sigsetjmp
// point before anything else and runs the routine in a frame below it; a
// terminated thread and ExitThread jump back there (termination.cpp), so the
// thread then returns from ThreadStart like a thread whose routine returned
// and glibc's own exit path runs.
//
// Lock order: suspendLock, the call queue's lock and the object's own lock are
// each taken alone.
//
// Windows behaviours reproduced:
// - GetExitCodeThread gives 259 until the thread has ended, then the routine's
//   result, ExitThread's code or TerminateThread's code.
// - The exit path sets the exit code, drops the queued calls (never called),
//   then signals the handle, so a waiter that sees the end also sees the code.
// - CREATE_SUSPENDED holds the thread at a gate before its routine.
// - Priority levels are validated (87 otherwise) and stored, so
//   GetThreadPriority returns what was set; they are applied as nice values, and
//   a raise the kernel refuses does not fail the call.
// - GetCurrentThread is a pseudo-handle; DuplicateHandle makes it real.
// - QueueUserAPC to an ended thread fails with 31.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "handles.h"
#include "queued_calls.h"
#include "threads.h"
#include "waitable.h"

namespace rvsys::platform::posix {

thread_local ThreadObj* tlsCurrentThread [[gnu::tls_model("initial-exec")]] = nullptr;

namespace {

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

// Ends an adopted thread's object when the thread ends.
struct AdoptionGuard {
    ThreadObj* thread = nullptr;
    ~AdoptionGuard() {
        if (thread != nullptr) FinishThread(thread, thread->pendingExit);
    }
};
thread_local AdoptionGuard tlsAdoption;

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

}  // namespace

void FinishThread(ThreadObj* thread, DWORD code) {
    const std::uint32_t before = thread->control.fetch_or(ThreadObj::kFinished, std::memory_order_acq_rel);
    if ((before & ThreadObj::kTermRequested) != 0) code = thread->termCode.load(std::memory_order_acquire);
    thread->exitCode.store(code, std::memory_order_release);
    if (const ThreadTimerHooks* timers = ThreadTimerHooksIfSet()) timers->threadEnded(thread);
    {
        InternalGuard guard(thread->suspendLock);  // no pthread_kill from here on
        thread->exiting = true;
    }
    IntrusiveList<ApcNode> calls = thread->calls.Close();
    SignalWaitable(thread);
    if ((before & ThreadObj::kTermRequested) != 0) FutexWake(&thread->control);  // its terminator may wait
    // Freed once the end is announced: a thread cut off inside malloc may block
    // here on the allocator's lock.
    CallQueue::FreeCalls(calls);
    if (tlsCurrentThread == thread) tlsCurrentThread = nullptr;
    Release(thread);
}

namespace {

// refs == 1, or null when memory runs out.
ThreadObj* NewThreadObj() {
    ThreadObj* thread = Pool<ThreadObj>::Of().Alloc();
    if (thread != nullptr) thread->Reset();
    return thread;
}

// The thread's life below its start point: every frame from here down may be
// abandoned by the jump back to ThreadStart. Never inlined, so no object with a
// destructor lives in the frame the jump returns to.
[[gnu::noinline]] DWORD RunThread(ThreadObj* self) {
    tlsCurrentThread = self;
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
    ResetWaitable(false, false);  // manual: stays signalled once ended
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
    RVSYS_DCHECK(waitBlock.next == nullptr && waitBlock.prev == nullptr);
    waitBlock.retakes.store(nullptr, std::memory_order_relaxed);
    suspendCount.store(0, std::memory_order_relaxed);
    suspendAcks.store(0, std::memory_order_relaxed);
    stoppedBySignal.store(false, std::memory_order_relaxed);
    exiting = false;
    priority.store(THREAD_PRIORITY_NORMAL, std::memory_order_relaxed);
    background = false;
    calls.Reset();
    routineTimers.Reset();
}

const KindOps ThreadObj::kOps = {ReturnToPool<ThreadObj>, nullptr, nullptr};

ThreadObj* CurrentThread() {
    if (tlsCurrentThread != nullptr) return tlsCurrentThread;
    ThreadObj* self = NewThreadObj();
    if (self == nullptr) return nullptr;
    self->adopted = true;
    self->id = OwnThreadId();
    self->pthread = pthread_self();
    self->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
    self->started.store(true, std::memory_order_relaxed);
    tlsCurrentThread = self;
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
    return AcquireKind<ThreadObj>(handle, Kind::Thread);
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
    ThreadObj* thread = NewThreadObj();
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
    ThreadObj* thread = NewThreadObj();
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
    const bool byOwner = thread.get() == CurrentThreadIfKnown();
    // Once queued, the node belongs to the target, which may already have run it.
    if (thread->calls.Queue(node, byOwner, CallQueue::Wake::Always) == CallQueue::Result::Closed) {
        delete node;
        SetLastError(ERROR_GEN_FAILURE);  // the thread has ended
        return 0;
    }
    return 1;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target, DWORD, BOOL,
                     DWORD options) {
    if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    KObject* object;
    if (source == kCurrentThread) {
        object = CurrentThread();
        if (object == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        AddRef(object);
    } else if (source == kCurrentProcess) {
        SetLastError(ERROR_NOT_SUPPORTED);  // no process object in this layer
        return FALSE;
    } else {
        object = AcquireHandle(source);
        if (object == nullptr) return FALSE;
    }
    HANDLE duplicate = OpenHandle(object);
    Release(object);
    if (duplicate == nullptr) return FALSE;
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0 && source != kCurrentThread) CloseObjectHandle(source);
    *target = duplicate;
    return TRUE;
}

}  // namespace rvsys::platform
