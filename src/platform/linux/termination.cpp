// Termination of threads of the Linux emulation (TerminateThread, and the
// blocking bracket that lets a thread blocked in the layer end cleanly).
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
//
// Windows behaviours reproduced:
// - TerminateThread: from its return on, no code of the target's routine or
//   of destructors of its frames runs again (see above); exit code exactly the
//   one given; handle signalled once the thread can no longer run.
// Deliberate gaps: a thread that blocks SIGRTMIN+7 itself can be terminated
// only at the layer's blocking calls, and TerminateThread waits until it
// reaches one.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "handles.h"
#include "internal_lock.h"
#include "threads.h"

namespace rvsys::platform::posix {

namespace {

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

// Wakes a thread from anything it may block on, so it re-checks termination.
void PokeForTermination(ThreadObj* thread) {
    thread->wake.Poke();
    if (const auto* word = thread->blockedOn.load(std::memory_order_acquire)) FutexWake(word);
}

}  // namespace

// Whether the calling thread, asked to terminate, ends right here: not inside
// a blocking call of the layer (that call ends it once it has left its waiter
// list) nor inside an internal section (left first).
bool MayEndHere(const ThreadObj* self) {
    return TerminationRequested(self) && (self->control.load(std::memory_order_acquire) & ThreadObj::kBlocked) == 0 &&
           tlsNoSuspendDepth == 0;
}

// Gives back the reference that a blocking wait ended by termination held.
void ReleaseWaitHeld(ThreadObj* self) {
    if (KObject* held = self->waitHeld) {
        self->waitHeld = nullptr;
        Release(held);
    }
}

namespace {

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

}  // namespace

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

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

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
        if (tlsNoSuspendDepth > 0) tlsDeferredStop = StopDeferred;  // ends when it leaves the section
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

}  // namespace rvsys::platform
