// Semaphores of the Linux emulation: counting, waits and releases, on the page
// that semaphore_files.cpp shares between processes (where names, files and
// their lifetime are described).
//
// Counting: a release is a compare-and-swap loop that fails with 298, changing
// nothing, when the maximum would be passed, then a shared FUTEX_WAKE if the
// waiter hint is set; a wait takes a unit with a compare-and-swap and otherwise
// counts itself in the hint and sleeps with futex_waitv on both the shared
// count and its own thread's wake word, so queued calls and TerminateThread
// reach it too (a terminated waiter uncounts itself and takes no unit;
// alertable waits run queued calls). All accesses to count and hint are sequentially consistent: a
// waiter counts itself before re-testing the count, a releaser changes the
// count before reading the hint. A wait made inside a signal section
// (platform.h) leaves the section while it sleeps, takes nothing while a
// handler stops sections, and fails with 6 once every handle of its object is
// closed (a swept caller could not give the unit back).
//
// Memory: a SemObj keeps the address of its page for good. When its last
// reference goes, the file is replaced by an anonymous zero page at the same
// address instead of being unmapped, so a release or wait racing with a close
// of the same handle (a caller error) touches harmless memory, never an
// unmapped address. That also lets ReleaseSemaphore and the fast path of a wait
// resolve the handle with plain loads (async-signal-safe), through a one-entry
// cache per thread of the last semaphore handle, checked again with one load
// of its slot's word. The cache also keeps the page, so the hot Lock/Unlock
// pair goes from handle to shared count with one compare and that check. Only
// code outside signal handlers fills it, publishing the handle last, so a
// handler that interrupts a fill finds no match.
//
// Signal handlers: ReleaseSemaphore is an atomic and a futex wake. CloseHandle
// inside a handler (handles.cpp) closes the slot without a lock and, for a last
// reference, gives up the name and file (FinishFiles: exclusive probe, unlink,
// close, single system calls with no user-space state); replacing the mapping and recycling
// the SemObj wait for the next handle opened outside a handler, or for the
// kernel at process death.
//
// Deliberate gaps: no security attributes or access masks (SEMAPHORE_ALL_ACCESS
// is implied); objects are 0600, so Global names are not shared between users;
// waiters are woken in no particular order (Windows promises none either); a
// waiter killed at the very moment a release wakes it can take that wake-up
// with it, leaving a free unit until the next release or time-out; units taken
// by a process that dies stay taken (as on Windows).
//
// Testing: SetSemaphoreRaceDelay installs a function called at the points where
// the races of this design interleave (after open, before the shared lock,
// before linkat, before a last closer's unlink, inside release); the tests make
// it sleep at random there. Without such delays some of these races never
// showed on a 2-CPU machine.
#include "semaphores.h"
#include "errors.h"
#include "handles.h"
#include "semaphore_files.h"
#include "threads.h"

namespace rvsys::platform::posix {

std::atomic<void (*)()> gSemaphoreRaceDelay{nullptr};

namespace {

void SharedWake(const std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Sleeps until the shared count may have changed from 0, the thread's wake
// word from `wake`, or the deadline passes.
void SleepOnCountAndWake(const std::atomic<std::uint32_t>* count, const std::atomic<std::uint32_t>* wakeWord,
                         std::uint32_t wake, const Deadline& deadline) {
    static std::atomic<bool> noWaitv{false};
    if (!noWaitv.load(std::memory_order_relaxed)) {
        futex_waitv waiters[2] = {};
        waiters[0].val = 0;
        waiters[0].uaddr = reinterpret_cast<std::uintptr_t>(count);
        waiters[0].flags = FUTEX_32;
        waiters[1].val = wake;
        waiters[1].uaddr = reinterpret_cast<std::uintptr_t>(wakeWord);
        waiters[1].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
        if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline.Abs(), CLOCK_MONOTONIC) == 0 || errno != ENOSYS) return;
        noWaitv.store(true, std::memory_order_relaxed);
    }
    // Kernels before 5.16: sleep on the count alone and look at the wake word
    // every 10 ms.
    Deadline slice(10);
    const timespec* until =
        deadline.Infinite() || NotBefore(*deadline.Abs(), *slice.Abs()) ? slice.Abs() : deadline.Abs();
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(count), FUTEX_WAIT_BITSET, 0, until, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

// A section's wait is about to sleep with nothing taken: a signal may run now,
// deferred ones included.
void LiftSection(SignalSectionState* section) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    section->state.store(kSectionSleeping, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (section->deferred.load(std::memory_order_relaxed) != 0) RunDeferredSignals();
}

// Back in the section before the next attempt to take; while a clean-up stops
// sections, sleeps in steps of 1 ms instead (the count may be free already).
void RestoreSection(SignalSectionState* section) {
    while (!MarkSectionBusy(section)) {
        LiftSection(section);
        const timespec step{0, 1000000};
        nanosleep(&step, nullptr);
    }
}

bool TryTake(SharedSemaphore* shared) {
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    while (count != 0) {
        if (shared->count.compare_exchange_weak(count, count - 1, std::memory_order_seq_cst)) return true;
    }
    return false;
}

// The last semaphore handle the thread resolved, valid while its slot's word
// still holds `value`. A signal handler only reads it: it could interrupt an
// update half way, which is why `handle` is cleared first and set last.
struct ResolvedSemaphore {
    HANDLE handle;
    SemObj* object;
    SharedSemaphore* page;  // object->page, fixed for the object's life
    const std::atomic<std::uint64_t>* word;
    std::uint64_t value;
};
thread_local ResolvedSemaphore tlsResolved [[gnu::tls_model("initial-exec")]] = {};

// The cached entry if it is `handle`'s and the handle is still open; null
// otherwise. A set handle implies a complete entry.
[[gnu::always_inline]] inline const ResolvedSemaphore* CachedEntry(HANDLE handle) {
    if (handle == nullptr || handle != tlsResolved.handle) return nullptr;
    if (tlsResolved.word->load(std::memory_order_acquire) != tlsResolved.value) return nullptr;  // closed since
    return &tlsResolved;
}

// A new handle for a filled-in object, or null with `error`; on success the
// last error becomes `success` (0, or 183 for an existing object).
HANDLE Publish(SemObj* semaphore, DWORD error, DWORD success) {
    if (error != ERROR_SUCCESS) {
        Release(semaphore);
        SetLastError(error);
        return nullptr;
    }
    return PublishObject(semaphore, success);
}

SemObj* NewSemObj() {
    SemObj* semaphore = Pool<SemObj>::Of().Alloc();
    if (semaphore == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    semaphore->fd.store(-1, std::memory_order_relaxed);
    semaphore->handles.store(0, std::memory_order_relaxed);
    semaphore->owner = getpid();
    semaphore->path[0] = '\0';
    return semaphore;
}
}  // namespace

namespace {

void HandleOpened(KObject* object) { static_cast<SemObj*>(object)->handles.fetch_add(1, std::memory_order_relaxed); }

void HandleClosed(KObject* object) {
    auto* semaphore = static_cast<SemObj*>(object);
    if (semaphore->handles.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // The last handle: the name goes now even if a wait still holds the object,
    // and waiters in sections are woken to see that their handles are gone.
    FinishFiles(semaphore);
    SharedSemaphore* page = semaphore->page;
    if (page != nullptr && page->waiters.load(std::memory_order_seq_cst) != 0) SharedWake(&page->count, INT32_MAX);
}

void Recycle(KObject* object) {
    auto* semaphore = static_cast<SemObj*>(object);
    FinishFiles(semaphore);
    ParkPage(semaphore);
    Pool<SemObj>::Of().Free(semaphore);
}

}  // namespace

const KindOps SemObj::kOps = {Recycle, HandleOpened, HandleClosed};

bool TryTakeSemaphore(SemObj* semaphore) { return TryTake(semaphore->page); }

SemObj* CachedSemaphore(HANDLE handle) {
    const ResolvedSemaphore* entry = CachedEntry(handle);
    return entry != nullptr ? entry->object : nullptr;
}

SemObj* ResolveSemaphore(HANDLE handle) {
    if (SemObj* cached = CachedSemaphore(handle)) return cached;
    const std::atomic<std::uint64_t>* word = nullptr;
    std::uint64_t value = 0;
    KObject* object = PeekHandleSlot(handle, &word, &value);
    if (object == nullptr) return nullptr;
    if (object->kind != Kind::Semaphore) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* semaphore = static_cast<SemObj*>(object);
    if (!InSignalHandler()) {
        tlsResolved.handle = nullptr;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsResolved = {nullptr, semaphore, semaphore->page, word, value};
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsResolved.handle = handle;
    }
    return semaphore;
}

DWORD WaitForSemaphore(SemObj* semaphore, DWORD milliseconds, bool alertable) {
    SharedSemaphore* shared = semaphore->page;
    if (TryTake(shared)) return WAIT_OBJECT_0;
    ThreadObj* self;
    DWORD early;
    if (!PrepareToBlock(semaphore, milliseconds, alertable, &self, &early)) return early;
    WaitHold hold{self};
    const Deadline deadline(milliseconds);
    // Inside a section the caller records what this wait takes: the section is
    // lifted while we sleep (a signal then finds nothing taken) and restored
    // before each attempt to take, once no clean-up is stopping sections.
    SignalSectionState* section = tlsSignalSection;
    if (section != nullptr && section->state.load(std::memory_order_relaxed) != kSectionBusy) section = nullptr;
    bool closed = false;
    shared->waiters.fetch_add(1, std::memory_order_seq_cst);
    WakeReason reason;
    for (;;) {
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        // Every handle closed (a clean-up swept the caller's object): nothing
        // may be taken for a caller that can no longer give it back.
        if (section != nullptr && semaphore->handles.load(std::memory_order_acquire) == 0) {
            closed = true;
            reason = WakeReason::Timeout;
            break;
        }
        if (TryTake(shared)) {
            reason = WakeReason::Granted;
            break;
        }
        if (MustLeaveWait(self, alertable, &reason)) break;
        if (deadline.Expired()) {
            reason = WakeReason::Timeout;
            break;
        }
        if (section != nullptr) LiftSection(section);
        // (A deferred signal run by LiftSection may have closed the handles.)
        if (section == nullptr || semaphore->handles.load(std::memory_order_acquire) != 0) {
            SleepOnCountAndWake(&shared->count, &self->wake, wake, deadline);
        }
        if (section != nullptr) RestoreSection(section);
    }
    shared->waiters.fetch_sub(1, std::memory_order_seq_cst);
    // A release may have woken us just as we left for another reason: pass the
    // wake-up on so that a free unit does not sit beside a sleeping waiter.
    if (reason != WakeReason::Granted && shared->count.load(std::memory_order_seq_cst) != 0 &&
        shared->waiters.load(std::memory_order_seq_cst) != 0) {
        SharedWake(&shared->count, 1);
    }
    EndBlocking(self);
    if (closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitResult(self, reason);
}

namespace {

// ReleaseSemaphore on a resolved handle, for any count.
BOOL ReleaseUnits(SemObj* semaphore, LONG releaseCount, LPLONG previousCount) {
    SharedSemaphore* shared = semaphore->page;
    const auto maximum = static_cast<std::uint32_t>(shared->maximum);
    const auto add = static_cast<std::uint32_t>(releaseCount);
    NoSuspendScope whole;  // released units always wake their waiters
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    do {
        if (count > maximum || maximum - count < add) {
            SetLastError(ERROR_TOO_MANY_POSTS);  // nothing changed, *previousCount not written
            return FALSE;
        }
        RaceDelay();
    } while (!shared->count.compare_exchange_weak(count, count + add, std::memory_order_seq_cst));
    if (previousCount != nullptr) *previousCount = static_cast<LONG>(count);
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) SharedWake(&shared->count, releaseCount);
    return TRUE;
}

// The fast release's wake-up, and the end of its no-suspension step.
[[gnu::noinline]] bool WakeOneLeaving(SharedSemaphore* shared) {
    SharedWake(&shared->count, 1);
    LeaveNoSuspend();
    return true;
}

// The fast release's slow endings: each ends the caller's section too.
[[gnu::noinline]] bool WakeOneLeavingSection(SharedSemaphore* shared, std::uint32_t outer) {
    WakeOneLeaving(shared);
    LeaveSignalSection(outer);
    return true;
}

[[gnu::noinline]] bool SuspendLeavingSection(std::uint32_t outer) {
    RunDeferredStop();
    LeaveSignalSection(outer);
    return true;
}

[[gnu::noinline]] bool DeclineLeaving(std::uint32_t outer, bool (*otherwise)(void*), void* context) {
    LeaveSignalSection(outer);
    return otherwise(context);
}

[[gnu::noinline]] bool DeclineSuspendedLeaving(std::uint32_t outer, bool (*otherwise)(void*), void* context) {
    LeaveNoSuspend();
    return DeclineLeaving(outer, otherwise, context);
}

}  // namespace

void SetSemaphoreRaceDelay(void (*delay)()) {
    gSemaphoreRaceDelay.store(delay, std::memory_order_relaxed);
    // The fast paths take no delay: with one installed, callers take the
    // ordinary paths, where the races interleave.
    if (delay != nullptr) {
        gSignalSectionFlags.fetch_or(kSectionsFastPathsOff, std::memory_order_seq_cst);
    } else {
        gSignalSectionFlags.fetch_and(static_cast<std::uint8_t>(~kSectionsFastPathsOff), std::memory_order_seq_cst);
    }
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR name) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SemObj* semaphore = NewSemObj();
    if (semaphore == nullptr) return nullptr;
    if (name == nullptr || *name == '\0') {
        // Unnamed: private to this process (and its fork children), no file.
        const bool made = MakeUnnamedPage(semaphore, initialCount, maximumCount);
        return Publish(semaphore, made ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY, ERROR_SUCCESS);
    }
    bool existed = false;
    const DWORD error = OpenNamed(semaphore, name, true, initialCount, maximumCount, existed);
    return Publish(semaphore, error, existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SemObj* semaphore = NewSemObj();
    if (semaphore == nullptr) return nullptr;
    bool existed = false;
    const DWORD error = OpenNamed(semaphore, name, false, 0, 0, existed);
    return Publish(semaphore, error, ERROR_SUCCESS);
}

bool TryTakeRecentSemaphore(HANDLE semaphore) {
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    return entry != nullptr && TryTake(entry->page);
}

bool ReleaseRecentSemaphore(HANDLE semaphore) {
    // Kept short, with its one call in a tail position, so that nothing is
    // saved to the stack ahead of the compare-and-swap.
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    if (entry == nullptr || gSemaphoreRaceDelay.load(std::memory_order_relaxed) != nullptr) return false;
    SharedSemaphore* shared = entry->page;
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    if (count >= static_cast<std::uint32_t>(shared->maximum)) return false;
    EnterNoSuspend();  // released units always wake their waiters
    if (!shared->count.compare_exchange_strong(count, count + 1, std::memory_order_seq_cst)) {
        LeaveNoSuspend();
        return false;
    }
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) return WakeOneLeaving(shared);
    LeaveNoSuspend();
    return true;
}

bool ReleaseRecentSemaphoreLeaving(HANDLE semaphore, bool& held, std::uint32_t outer, bool (*otherwise)(void*),
                                   void* context) {
    // As ReleaseRecentSemaphore, with every call a tail call, so that nothing
    // is saved to the stack ahead of the compare-and-swap. (The caller's fast
    // entry already declined while a race delay is installed.)
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    if (entry == nullptr) return DeclineLeaving(outer, otherwise, context);
    SharedSemaphore* shared = entry->page;
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    if (count >= static_cast<std::uint32_t>(shared->maximum)) return DeclineLeaving(outer, otherwise, context);
    EnterNoSuspend();  // released units always wake their waiters
    if (!shared->count.compare_exchange_strong(count, count + 1, std::memory_order_seq_cst)) {
        return DeclineSuspendedLeaving(outer, otherwise, context);
    }
    std::atomic_ref<bool>(held).store(false, std::memory_order_release);
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) return WakeOneLeavingSection(shared, outer);
    if (EndNoSuspend()) return SuspendLeavingSection(outer);
    return LeaveSignalSectionSucceeding(outer);
}

BOOL ReleaseSemaphore(HANDLE handle, LONG releaseCount, LPLONG previousCount) {
    if (releaseCount == 1 && previousCount == nullptr && ReleaseRecentSemaphore(handle)) return TRUE;
    if (releaseCount < 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SemObj* semaphore = ResolveSemaphore(handle);
    if (semaphore == nullptr) return FALSE;
    return ReleaseUnits(semaphore, releaseCount, previousCount);
}

}  // namespace rvsys::platform
