// Suspension of threads of the Linux emulation, and the thread signal that
// both suspension and termination use.
//
// Data structure: a thread's suspend count and acknowledgement counter
// (threads.h). SuspendThread counts up and, for a running thread, sends it the
// thread signal (SIGRTMIN+7); the handler waits on the thread's wake word until
// the count is back to 0. The layer's internal sections (InternalLock,
// NoSuspendScope) defer the stop until the thread leaves the last one, so a
// suspended thread never blocks other threads inside the emulation.
//
// Lock order: suspendLock is taken alone.
//
// Windows behaviours reproduced:
// - Suspend counts as on Windows: the previous count is returned, the 128th
//   suspend fails with 156, resuming a running thread returns 0. A running
//   thread is really stopped; SuspendThread returns once it has stopped (a
//   thread asleep in a blocking call of the layer counts as stopped).
// - A thread suspended before it runs stops at its start gate.
// Deliberate gaps: a thread that blocks SIGRTMIN+7 itself can be suspended or
// terminated only at the layer's blocking calls.
#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "internal_lock.h"
#include "threads.h"

namespace rvsys::platform::posix {

int ThreadSignal() { return SIGRTMIN + 7; }

namespace {

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
    ThreadObj* self = tlsCurrentThread;
    if (self != nullptr && !OnItsWayOut(self)) {
        if (tlsNoSuspendDepth > 0) {
            tlsDeferredStop = StopDeferred;  // acts when it leaves its internal section
        } else {
            StopOrEnd(self);
        }
    }
    errno = savedErrno;
}

}  // namespace

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

void UnblockThreadSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ThreadSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void StopDeferred() {
    tlsDeferredStop = nullptr;
    ThreadObj* self = tlsCurrentThread;
    if (self != nullptr && !OnItsWayOut(self)) StopOrEnd(self);
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

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
        thread->wake.Poke();
    }
    return previous;
}

}  // namespace rvsys::platform
