// The runtime library's signals for the Linux emulation: signal() and raise(),
// and the sections a signal sees whole (platform.h).
//
// Data structure: per signal number, the handler installed through signal() and
// the full sigaction of a foreign disposition it replaced; the signal-section
// records.
//
// Windows behaviours reproduced:
// - signal()/raise() with the runtime's meaning. Handlers installed here run
//   through a dispatcher that blocks every signal but the layer's thread
//   signal while the handler runs (no nesting, one handler per thread at a
//   time; SuspendThread and TerminateThread still reach the thread), marks the thread as inside a
//   handler (so CloseHandle and FormatMessageA keep to async-signal-safe
//   steps) and keeps the thread's last error and errno. A foreign disposition
//   (installed with sigaction, maybe with SA_SIGINFO) is handed out as a plain
//   pointer and put back exactly when that pointer is installed again.
//
// - Sections a signal sees whole (EnterSignalSection and the rest, declared
//   in platform.h): a per-thread record (state, deferred signals) in a
//   push-only list that is never freed, so a handler may walk it at any
//   moment; a thread's record is reused by a later thread once it has ended
//   (in a fork child, every record but the forking thread's is free).
//   Dispatch defers a signal (but not SIGSEGV, SIGILL, SIGFPE, SIGBUS) that
//   finds its thread inside a section; the section's end runs it with every
//   signal blocked, as a delivery would. StopSignalSections orders the
//   "stopped" flag against every thread's plain stores with one
//   membarrier(PRIVATE_EXPEDITED) (registered on first use; without it each
//   section pays a full fence) and then waits, bounded, for busy records.
//
// Deliberate gaps:
// - signal() does not reproduce the Microsoft runtime's one-shot reset: a
//   handler stays installed until replaced, as with glibc's signal().
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "errors.h"
#include "sys.h"
#include "threads.h"

namespace rvsys::platform::posix {

namespace {

// ---- Signals ---------------------------------------------------------------------

struct SignalSlot {
    std::atomic<SignalHandler> handler{nullptr};  // run by Dispatch
    std::atomic<SignalHandler> foreignHandler{nullptr};
    struct sigaction foreign {};  // written before it is installed, read after
};

SignalSlot gSignals[NSIG];

// ---- Sections a signal sees whole -------------------------------------------------

// One per thread that has entered a section, never freed: a handler may walk the
// list at any moment. A record whose thread has ended is taken by the next
// thread that needs one.
struct SectionRecord {
    SignalSectionState section{};
    std::atomic<bool> taken{false};
    SectionRecord* next = nullptr;  // written before the record is published
};
std::atomic<SectionRecord*> gSectionRecords{nullptr};

// Gives the record back when its thread ends.
struct SectionOwner {
    SectionRecord* record = nullptr;
    ~SectionOwner() {
        if (record == nullptr) return;
        tlsSignalSection = nullptr;
        record->section.deferred.store(0, std::memory_order_relaxed);
        record->taken.store(false, std::memory_order_release);
    }
};
thread_local SectionOwner tlsSectionOwner;

// A stopping thread orders the sections of every other thread with one
// membarrier; where the process cannot register for it, each section pays a
// full fence instead.
void RegisterForBarriers() {
    if ((gSignalSectionFlags.load(std::memory_order_relaxed) & kSectionsNeedFence) == 0 &&
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0) {
        gSignalSectionFlags.fetch_or(kSectionsNeedFence, std::memory_order_seq_cst);
    }
}

// A fork child has only the forking thread: the other threads' records, busy
// or not, would stall its first sweep.
void ReleaseOtherRecordsInChild() {
    RegisterForBarriers();  // the child's memory map may not inherit the registration
    const SignalSectionState* own = tlsSignalSection;
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (&r->section == own) continue;
        r->section.state.store(kSectionIdle, std::memory_order_relaxed);
        r->section.deferred.store(0, std::memory_order_relaxed);
        r->taken.store(false, std::memory_order_release);
    }
}

bool IsFault(int number) { return number == SIGSEGV || number == SIGILL || number == SIGFPE || number == SIGBUS; }

void Dispatch(int number) {
    // Inside a section: handled when the section ends (RunDeferredSignals).
    if (SignalSectionState* section = tlsSignalSection;
        section != nullptr && !IsFault(number) && section->state.load(std::memory_order_relaxed) == kSectionBusy) {
        section->deferred.fetch_or(std::uint64_t{1} << number, std::memory_order_relaxed);
        return;
    }
    const int savedErrno = errno;
    const DWORD savedError = GetLastError();
    ++tlsHandlerDepth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const SignalHandler handler = gSignals[number].handler.load(std::memory_order_acquire);
    if (handler != nullptr && handler != SIG_DFL && handler != SIG_IGN) handler(number);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    --tlsHandlerDepth;
    SetLastError(savedError);
    errno = savedErrno;
}

}  // namespace

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

SignalHandler signal(int number, SignalHandler handler) {
    if (number <= 0 || number >= NSIG || number == SIGKILL || number == SIGSTOP || handler == SIG_ERR) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return SIG_ERR;
    }
    SignalSlot& slot = gSignals[number];
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) != 0) {
        SetLastError(WindowsError(errno));
        return SIG_ERR;
    }
    SignalHandler previous;
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == Dispatch) {
        previous = slot.handler.load(std::memory_order_acquire);
    } else {
        // A three-argument handler travels as a plain pointer; it is only ever
        // installed again through `foreign`, with its own flags.
        previous = (current.sa_flags & SA_SIGINFO) != 0
                       ? reinterpret_cast<SignalHandler>(reinterpret_cast<void (*)()>(current.sa_sigaction))
                       : current.sa_handler;
        if (previous != SIG_DFL && previous != SIG_IGN) {
            slot.foreign = current;
            slot.foreignHandler.store(previous, std::memory_order_release);
        }
    }
    struct sigaction next {};
    if (handler == SIG_DFL || handler == SIG_IGN) {
        next.sa_handler = handler;
    } else if (handler == slot.foreignHandler.load(std::memory_order_acquire)) {
        next = slot.foreign;
    } else {
        slot.handler.store(handler, std::memory_order_release);
        next.sa_handler = Dispatch;
        next.sa_flags = SA_RESTART | SA_ONSTACK;
        sigfillset(&next.sa_mask);
        sigdelset(&next.sa_mask, ThreadSignal());  // SuspendThread and TerminateThread still reach it
    }
    if (sigaction(number, &next, nullptr) != 0) {
        SetLastError(WindowsError(errno));
        return SIG_ERR;
    }
    return previous;
}

int raise(int number) { return ::raise(number); }

__thread SignalSectionState* tlsSignalSection __attribute__((tls_model("initial-exec"))) = nullptr;
std::atomic<std::uint8_t> gSignalSectionFlags{0};

SignalSectionState* AdoptSignalSection() {
    static const bool registered = [] {
        RegisterForBarriers();
        pthread_atfork(nullptr, nullptr, ReleaseOtherRecordsInChild);
        return true;
    }();
    static_cast<void>(registered);
    SectionRecord* record = nullptr;
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        bool expected = false;
        if (!r->taken.load(std::memory_order_relaxed) &&
            r->taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            record = r;
            break;
        }
    }
    if (record == nullptr) {
        record = new (std::nothrow) SectionRecord;
        if (record == nullptr) return nullptr;
        record->taken.store(true, std::memory_order_relaxed);
        SectionRecord* head = gSectionRecords.load(std::memory_order_relaxed);
        do {
            record->next = head;
        } while (!gSectionRecords.compare_exchange_weak(head, record, std::memory_order_release,
                                                        std::memory_order_relaxed));
    }
    tlsSectionOwner.record = record;  // arms the release at thread exit
    tlsSignalSection = &record->section;
    return &record->section;
}

void RunDeferredSignals() {
    SignalSectionState* section = tlsSignalSection;
    if (section == nullptr) return;
    // Run as a delivery would: every signal blocked, so that a signal raised by
    // the handler (or arriving meanwhile) is delivered once it has returned.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::uint64_t pending = section->deferred.exchange(0, std::memory_order_relaxed);
    for (int number = 1; number < 64 && pending != 0; ++number) {
        const std::uint64_t bit = std::uint64_t{1} << number;
        if ((pending & bit) == 0) continue;
        pending &= ~bit;
        Dispatch(number);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool RunDeferredSignalsSucceeding() {
    RunDeferredSignals();
    return true;
}

bool StopSignalSections(DWORD milliseconds) {
    const std::uint8_t flags = gSignalSectionFlags.fetch_or(kSectionsStopped, std::memory_order_seq_cst);
    if ((flags & kSectionsNeedFence) == 0 && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
        // Unregistered after all: sections from now on fence themselves.
        gSignalSectionFlags.fetch_or(kSectionsNeedFence, std::memory_order_seq_cst);
    }
    const SignalSectionState* own = tlsSignalSection;
    const Deadline deadline(milliseconds);
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (&r->section == own) continue;  // a fault inside our own section: it cannot end now
        while (r->section.state.load(std::memory_order_acquire) == kSectionBusy) {
            if (deadline.Expired()) return false;
            sched_yield();
        }
    }
    return true;
}

void ResumeSignalSections() {
    gSignalSectionFlags.fetch_and(static_cast<std::uint8_t>(~kSectionsStopped), std::memory_order_seq_cst);
}

}  // namespace rvsys::platform
