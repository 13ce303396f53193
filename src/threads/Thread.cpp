#include <rvsysutils/Thread.h>

#include <atomic>
#include <cstdint>

#include "../platform/platform.h"
#include "timeout.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;

namespace Thread {

void* BeginThread(unsigned int(RVSYS_WINAPI* routine)(void*), void* argument, unsigned long creationFlags) {
    if (routine == nullptr) return nullptr;  // the runtime refuses it too (EINVAL)
    return reinterpret_cast<void*>(
        platform::_beginthreadex(nullptr, 0, routine, argument, static_cast<unsigned>(creationFlags), nullptr));
}

void* BeginThread(unsigned long(RVSYS_WINAPI* routine)(void*), void* argument, unsigned long creationFlags) {
    if (routine == nullptr) return nullptr;
    return reinterpret_cast<void*>(
        platform::_beginthreadex(nullptr, 0, routine, argument, static_cast<unsigned>(creationFlags), nullptr));
}

bool TerminateThread(void* handle, unsigned long exitCode) {
    if (platform::TerminateThread(handle, static_cast<DWORD>(exitCode)) == FALSE) return false;
    platform::CloseHandle(handle);
    return true;
}

unsigned long WaitForThread(void* handle, unsigned long timeout, unsigned long* exitCode) {
    const DWORD result = platform::WaitForSingleObject(handle, rvsys::detail::ToTimeout(timeout));
    if (exitCode != nullptr) {
        DWORD code = static_cast<DWORD>(*exitCode);  // left as it was if the handle is refused
        if (platform::GetExitCodeThread(handle, &code) != FALSE) *exitCode = code;
    }
    if (result == WAIT_OBJECT_0) platform::CloseHandle(handle);
    return result;
}

unsigned long SuspendThread(void* handle) { return platform::SuspendThread(handle); }

unsigned long ResumeThread(void* handle) { return platform::ResumeThread(handle); }

bool SetThreadPriority(void* handle, int priority) { return platform::SetThreadPriority(handle, priority) == 1; }

int GetThreadPriority(void* handle) { return platform::GetThreadPriority(handle); }

void* GetCurrentThread(bool duplicate) {
    if (!duplicate) return platform::GetCurrentThread();
    HANDLE real = nullptr;
    if (platform::DuplicateHandle(platform::GetCurrentProcess(), platform::GetCurrentThread(),
                                  platform::GetCurrentProcess(), &real, 0, FALSE, DUPLICATE_SAME_ACCESS) == FALSE) {
        return nullptr;
    }
    return real;
}

unsigned long GetCurrentThreadID(bool) { return platform::GetCurrentThreadId(); }

void Sleep(unsigned long milliseconds) { platform::Sleep(rvsys::detail::ToTimeout(milliseconds)); }

}  // namespace Thread

namespace {

// The last tick count (low half) and the wrap count (high half), updated together
// by compare-and-swap so that concurrent callers never count a false wrap.
std::atomic<std::uint64_t> gUptimeState{0};

}  // namespace

unsigned long long GetSystemUptime() {
    std::uint64_t state = gUptimeState.load(std::memory_order_acquire);
    for (;;) {
        // Read after the state: a tick stored by another thread was read before
        // ours, so ours is not older unless the counter really wrapped.
        const DWORD tick = platform::GetTickCount();
        const auto last = static_cast<DWORD>(state);
        auto wraps = static_cast<std::uint32_t>(state >> 32);
        if (tick < last) ++wraps;
        const std::uint64_t next = std::uint64_t{wraps} << 32 | tick;
        if (next == state ||
            gUptimeState.compare_exchange_weak(state, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return next;
        }
    }
}
