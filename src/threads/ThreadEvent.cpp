#include <rvsysutils/ThreadEvent.h>

#include <new>

#include "../platform/platform.h"
#include "timeout.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;

namespace {

// The cell that mEventHandle points to: only the handle, so the cell's address
// is a valid void** for callers.
struct EventCell {
    HANDLE handle;
};

EventCell* CellOf(void** eventHandle) { return reinterpret_cast<EventCell*>(eventHandle); }

// A copy marks itself in mManualReset (which Create normalises to 0 or 1, and
// nothing reads afterwards) rather than in the shared cell: the owner may have
// freed the cell by the time a copy is destroyed, so a copy must never read it.
constexpr long kSharedCopy = 2;
constexpr long kManualBit = 1;

}  // namespace

ThreadEvent::ThreadEvent() : mHasLock(0), mManualReset(0), mEventHandle(nullptr), mCriticalSection(nullptr) {}

ThreadEvent::~ThreadEvent() { Destroy(); }

ThreadEvent::ThreadEvent(const ThreadEvent& other)
    : mHasLock(other.mHasLock),
      mManualReset(other.mEventHandle != nullptr ? other.mManualReset | kSharedCopy : other.mManualReset),
      mEventHandle(other.mEventHandle),
      mCriticalSection(other.mCriticalSection) {}

ThreadEvent& ThreadEvent::operator=(const ThreadEvent& other) {
    // Sharing what this object already refers to changes nothing, and keeps an
    // owner the owner.
    if (this == &other || (mEventHandle != nullptr && mEventHandle == other.mEventHandle)) return *this;
    if (mEventHandle != nullptr) Destroy();
    mHasLock = other.mHasLock;
    mManualReset = other.mEventHandle != nullptr ? other.mManualReset | kSharedCopy : other.mManualReset;
    mEventHandle = other.mEventHandle;
    mCriticalSection = other.mCriticalSection;
    return *this;
}

long ThreadEvent::Create(long withLock, long manualReset) {
    if (mEventHandle != nullptr) return 0;
    if (withLock != 0 && mCriticalSection != nullptr) return 0;
    mHasLock = withLock;
    mManualReset = manualReset != 0 ? kManualBit : 0;
    auto* cell = new (std::nothrow) EventCell{nullptr};
    if (cell == nullptr) return 0;
    mEventHandle = &cell->handle;
    if (mHasLock != 0) {
        auto* cs = new (std::nothrow) CRITICAL_SECTION;
        if (cs == nullptr) {
            delete cell;
            mEventHandle = nullptr;
            return 0;
        }
        platform::InitializeCriticalSection(cs);
        mCriticalSection = cs;
    }
    cell->handle = platform::CreateEventA(nullptr, mManualReset != 0 ? TRUE : FALSE, FALSE, nullptr);
    return cell->handle != nullptr ? 1 : 0;
}

long ThreadEvent::Destroy() {
    if (mEventHandle == nullptr) return 0;
    if (mHasLock != 0 && mCriticalSection == nullptr) return 0;
    if ((mManualReset & kSharedCopy) == 0) {
        EventCell* cell = CellOf(mEventHandle);
        if (mHasLock != 0) platform::DeleteCriticalSection(mCriticalSection);
        if (cell->handle != nullptr) platform::CloseHandle(cell->handle);
        if (mHasLock != 0) delete mCriticalSection;
        delete cell;
    }
    mManualReset &= kManualBit;
    if (mHasLock != 0) mCriticalSection = nullptr;
    mEventHandle = nullptr;
    return 1;
}

long ThreadEvent::Lock() {
    if (mHasLock == 0) return 1;
    if (mCriticalSection == nullptr) return 0;
    platform::EnterCriticalSection(mCriticalSection);
    return 1;
}

long ThreadEvent::Unlock() {
    if (mHasLock == 0) return 1;
    if (mCriticalSection == nullptr) return 0;
    platform::LeaveCriticalSection(mCriticalSection);
    return 1;
}

long ThreadEvent::SetEvent() {
    if (mEventHandle == nullptr) return 0;
    // Waiters take the event's own lock again when they wake: a signaller that
    // holds it lets them sleep on until it lets go.
    return platform::SetEventUnderLock(*mEventHandle, mHasLock != 0 ? mCriticalSection : nullptr) == 1 ? 1 : 0;
}

long ThreadEvent::SetEventAll() { return SetEvent(); }

long ThreadEvent::ResetEvent() {
    if (mEventHandle == nullptr) return 0;
    return platform::ResetEvent(*mEventHandle) == 1 ? 1 : 0;
}

unsigned long ThreadEvent::WaitForEvent(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection) {
    return Wait(timeout, criticalSection, false);
}

unsigned long ThreadEvent::WaitForEvent(_RTL_CRITICAL_SECTION* criticalSection) {
    return Wait(INFINITE, criticalSection, false);
}

unsigned long ThreadEvent::WaitForEventEx(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection) {
    return Wait(timeout, criticalSection, true);
}

void** ThreadEvent::GetHandle() { return mEventHandle; }

unsigned long ThreadEvent::Wait(unsigned long timeout, _RTL_CRITICAL_SECTION* criticalSection, bool alertable) {
    if (mEventHandle == nullptr) return WAIT_FAILED;
    // Read everything the wait needs while the caller still holds the lock.
    const HANDLE handle = *mEventHandle;
    const bool hasLock = mHasLock != 0;
    LPCRITICAL_SECTION lock = criticalSection != nullptr ? criticalSection : mCriticalSection;
    if (hasLock && lock == nullptr) return WAIT_FAILED;
    const DWORD ms = rvsys::detail::ToTimeout(timeout);
    const BOOL queuedCalls = alertable ? TRUE : FALSE;
    const DWORD result = hasLock ? platform::WaitLeavingLock(handle, ms, queuedCalls, lock)
                                 : platform::WaitForSingleObjectEx(handle, ms, queuedCalls);
    return result == WAIT_ABANDONED ? WAIT_FAILED : result;
}
