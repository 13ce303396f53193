// Events, and the wait calls of the Linux emulation: WaitForSingleObject(Ex)
// sends each kind of object to its own wait (blocking.cpp, semaphores.cpp).
//
// Data structure: an event is a bare waitable object (waitable.h) from its
// pool; the wait calls keep no state of their own.
//
// Lock order: none taken here.
//
// Windows behaviours reproduced:
// - CreateEventA sets the last error to 0; SetEvent, ResetEvent and a wait on
//   a signalled event touch only the event's state word.
// - Waiting on the pseudo-handles of the current process or thread times out.
// - WaitLeavingLock leaves the lock, waits, and takes it again, also when the
//   wait ends by a queued call.
// Deliberate gaps: no named events, no PulseEvent, no multiple-object waits.
#include "handles.h"
#include "semaphores.h"
#include "threads.h"
#include "waitable.h"

namespace rvsys::platform::posix {

namespace {

struct EventObj : Waitable {
    static constexpr Kind kKind = Kind::Event;
    static const KindOps kOps;

    EventObj() : Waitable(kKind) {}
};

const KindOps EventObj::kOps = {ReturnToPool<EventObj>, nullptr, nullptr};

// A wait on something that is never signalled while we wait (pseudo-handles).
DWORD WaitNever(DWORD milliseconds, bool alertable) {
    return SleepEx(milliseconds, alertable) == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : WAIT_TIMEOUT;
}

}  // namespace

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    return CreateUnnamed<EventObj>(
        name, [&](EventObj* event) { event->ResetWaitable(manualReset == FALSE, initialState != FALSE); });
}

BOOL SetEvent(HANDLE handle) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    SignalWaitable(event);
    return TRUE;
}

BOOL SetEventUnderLock(HANDLE handle, LPCRITICAL_SECTION lock) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    SignalWaitable(event, lock);
    return TRUE;
}

DWORD WaitLeavingLock(HANDLE handle, DWORD milliseconds, BOOL alertable, LPCRITICAL_SECTION lock) {
    ThreadObj* self = CurrentThread();
    // Restored also when the wait unwinds, and nested waits (in queued calls)
    // put back the outer one's lock.
    struct Retaking {
        ThreadObj* self;
        const CRITICAL_SECTION* previous;
        ~Retaking() {
            if (self != nullptr) self->waitBlock.retakes.store(previous, std::memory_order_relaxed);
        }
    } retaking{self, self != nullptr ? self->waitBlock.retakes.exchange(lock, std::memory_order_relaxed) : nullptr};
    LeaveCriticalSection(lock);
    const DWORD result = WaitForSingleObjectEx(handle, milliseconds, alertable);
    EnterCriticalSection(lock);
    return result;
}

BOOL ResetEvent(HANDLE handle) {
    auto* event = Peek<EventObj>(handle, Kind::Event);
    if (event == nullptr) return FALSE;
    // Nobody queues on a signalled event, so clearing needs no lock.
    if ((event->state.load(std::memory_order_relaxed) & Waitable::kSignaled) != 0) {
        event->state.fetch_and(~Waitable::kSignaled, std::memory_order_relaxed);
    }
    return TRUE;
}

namespace {

// WaitForSingleObjectEx past its fast path: kept out of line so that the fast
// path stays a few instructions where it is inlined.
[[gnu::noinline]] DWORD WaitResolving(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    if (handle == kCurrentProcess || handle == kCurrentThread) return WaitNever(milliseconds, alertable != FALSE);
    KObject* object = PeekHandle(handle);
    if (object == nullptr) return WAIT_FAILED;
    switch (object->kind) {
        case Kind::Event:
        case Kind::Thread:
        case Kind::Timer: {
            // The common case, a signalled object, needs no reference.
            if (TryConsume(static_cast<Waitable*>(object))) return WAIT_OBJECT_0;
            Ref<KObject> held(AcquireHandle(handle));
            if (!held) return WAIT_FAILED;
            return WaitOnWaitable(static_cast<Waitable*>(held.get()), milliseconds, alertable != FALSE);
        }
        case Kind::Semaphore: {
            SemObj* semaphore = ResolveSemaphore(handle);  // remembered for the next call
            if (semaphore != nullptr && TryTakeSemaphore(semaphore)) return WAIT_OBJECT_0;
            Ref<KObject> held(AcquireHandle(handle));
            if (!held) return WAIT_FAILED;
            return WaitForSemaphore(static_cast<SemObj*>(held.get()), milliseconds, alertable != FALSE);
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

}  // namespace

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    // The Lock/Unlock pair of a semaphore in use: no table walk.
    if (SemObj* semaphore = CachedSemaphore(handle); semaphore != nullptr && TryTakeSemaphore(semaphore)) {
        return WAIT_OBJECT_0;
    }
    return WaitResolving(handle, milliseconds, alertable);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForSingleObjectEx(handle, milliseconds, FALSE);
}

}  // namespace rvsys::platform
