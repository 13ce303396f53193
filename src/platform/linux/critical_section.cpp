// Critical sections of the Linux emulation.
//
// Data structure: the struct lives in the caller's memory (platform.h): a futex
// lock word (0 free, 1 held, 2 held and a thread may sleep on it), the holder's
// identity (its thread pointer, read without a call), its recursion count and
// one postponed wake-up. Uncontended Enter and Leave
// are one atomic instruction each, with no allocation and no system call.
//
// Windows behaviours reproduced: re-entrant for the holder through Enter and
// TryEnter alike, released after as many Leaves; TryEnter fails only while
// another thread really holds the lock; waiters are not served in FIFO order; a
// contended Enter sleeps at once, as a recursive pthread mutex does (a spin
// before sleeping measured 1.6 times slower for two threads fighting over one
// lock on this 2-CPU machine: the spinner steals the holder's cache line).
// Deliberate gaps: Leave by a thread that does not hold the lock (undefined on
// Windows) is ignored. A thread terminated while blocked in Enter ends there
// without taking the lock; one terminated while it holds the lock leaves it
// held, as on Windows.
#include "threads.h"

namespace rvsys::platform {

using namespace posix;

namespace {

std::uintptr_t Self() { return CurrentThreadPointer(); }

void EnterSlow(LPCRITICAL_SECTION cs) {
    ThreadObj* self = CurrentThreadIfKnown();  // only threads known to the layer can be terminated
    while (cs->word.exchange(2, std::memory_order_acquire) != 0) {
        if (self == nullptr) {
            FutexWait(&cs->word, 2);
            continue;
        }
        if (!BeginBlocking(self)) {
            EndThreadForTermination(self);  // returns only while already ending: then just block
            FutexWait(&cs->word, 2);
            continue;
        }
        self->blockedOn.store(&cs->word, std::memory_order_release);
        if (!TerminationRequested(self)) FutexWait(&cs->word, 2);
        self->blockedOn.store(nullptr, std::memory_order_relaxed);
        EndBlocking(self);
        if (TerminationRequested(self)) EndThreadForTermination(self);
    }
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    cs->word.store(0, std::memory_order_relaxed);
    cs->owner.store(0, std::memory_order_relaxed);
    cs->recursion = 0;
    cs->deferredWake = nullptr;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (cs->deferredWake != nullptr) FutexWake(cs->deferredWake, 1);
    cs->deferredWake = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    const std::uintptr_t me = Self();
    if (cs->owner.load(std::memory_order_relaxed) == me) {
        ++cs->recursion;
        return;
    }
    std::uint32_t expected = 0;
    if (!cs->word.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        EnterSlow(cs);
    }
    cs->owner.store(me, std::memory_order_relaxed);
    cs->recursion = 1;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    const std::uintptr_t me = Self();
    if (cs->owner.load(std::memory_order_relaxed) == me) {
        ++cs->recursion;
        return TRUE;
    }
    std::uint32_t expected = 0;
    if (!cs->word.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return FALSE;
    }
    cs->owner.store(me, std::memory_order_relaxed);
    cs->recursion = 1;
    return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (cs->owner.load(std::memory_order_relaxed) != Self()) return;
    if (--cs->recursion != 0) return;
    NoSuspendScope whole;  // a waiter that may sleep on the word is always woken
    const std::atomic<std::uint32_t>* postponed = cs->deferredWake;
    cs->deferredWake = nullptr;
    cs->owner.store(0, std::memory_order_relaxed);
    // After the exchange the section may be freed by its next holder; only
    // addresses are used below.
    if (cs->word.exchange(0, std::memory_order_release) == 2) FutexWake(&cs->word, 1);
    if (postponed != nullptr) FutexWake(postponed, 1);
}

}  // namespace rvsys::platform
