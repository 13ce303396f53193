// The Windows side of the platform layer: the real API, re-exported into
// rvsys::platform. No policy lives here: every name is a using-declaration of
// the system's own, or a one-line forwarder where a name has no Windows
// counterpart. Included only through platform.h.
//
// Constants (INFINITE, WAIT_TIMEOUT, ERROR_...) are the system's macros, so
// library code writes them unqualified. GetTickCount and
// GetSystemTimeAsFileTime are the one exception to re-exporting: they read
// through the clock seam (win32/clock.cpp) so that tests can script them on
// Windows too; callers therefore qualify them (platform::GetTickCount).
#ifndef RVSYS_PLATFORM_WIN32_PLATFORM_WIN32_H
#define RVSYS_PLATFORM_WIN32_PLATFORM_WIN32_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <process.h>

#include <csignal>
#include <cstdarg>
#include <cstdint>

namespace rvsys::platform {

// ---- Types -----------------------------------------------------------------
using ::BOOL;
using ::CRITICAL_SECTION;
using ::DWORD;
using ::FILETIME;
using ::HANDLE;
using ::HLOCAL;
using ::HMODULE;
using ::HWND;
using ::LARGE_INTEGER;
using ::LONG;
using ::LPCRITICAL_SECTION;
using ::LPCSTR;
using ::LPCVOID;
using ::LPDWORD;
using ::LPHANDLE;
using ::LPLONG;
using ::LPSECURITY_ATTRIBUTES;
using ::LPSTR;
using ::LPTHREAD_START_ROUTINE;
using ::LPVOID;
using ::PAPCFUNC;
using ::PTIMERAPCROUTINE;
using ::SECURITY_ATTRIBUTES;
using ::SIZE_T;
using ::UINT;
using ::ULONG_PTR;
// The runtime library's thread routine (_beginthreadex), and the same routine
// returning the public API's unsigned long, which is 32 bits here too.
using BeginThreadRoutine = unsigned(__stdcall*)(void*);
using BeginThreadRoutineWide = unsigned long(__stdcall*)(void*);
using SignalHandler = void(__cdecl*)(int);

// ---- Last error, handles ---------------------------------------------------
using ::CloseHandle;
using ::DuplicateHandle;
using ::GetCurrentProcess;
using ::GetCurrentThread;
using ::GetLastError;
using ::SetLastError;

// ---- Critical sections -----------------------------------------------------
using ::DeleteCriticalSection;
using ::EnterCriticalSection;
using ::InitializeCriticalSection;
using ::LeaveCriticalSection;
using ::TryEnterCriticalSection;

// ---- Events and waits ------------------------------------------------------
using ::CreateEventA;
using ::QueueUserAPC;
using ::ResetEvent;
using ::SetEvent;
using ::Sleep;
using ::SleepEx;
using ::WaitForSingleObject;
using ::WaitForSingleObjectEx;

// ---- Threads ---------------------------------------------------------------
using ::_beginthreadex;
inline std::uintptr_t _beginthreadex(void* security, unsigned stackSize, BeginThreadRoutineWide routine,
                                     void* argument, unsigned initFlags, unsigned* threadId) {
    return ::_beginthreadex(security, stackSize, reinterpret_cast<BeginThreadRoutine>(routine), argument, initFlags,
                            threadId);
}
using ::CreateThread;
using ::ExitThread;
using ::GetCurrentThreadId;
using ::GetExitCodeThread;
using ::GetThreadId;
using ::GetThreadPriority;
using ::ResumeThread;
using ::SetThreadPriority;
using ::SuspendThread;
using ::TerminateThread;

// ---- Waitable timers -------------------------------------------------------
using ::CancelWaitableTimer;
using ::CreateWaitableTimerA;
using ::SetWaitableTimer;

// ---- Time (through the clock seam, win32/clock.cpp) -------------------------
DWORD GetTickCount();
void GetSystemTimeAsFileTime(FILETIME* systemTime);
// Not a Windows call (win32/clock.cpp): the performance counter in 100 ns
// units, a precise monotonic clock beside which relative timer due times run
// (the interrupt time that windows reads is only as fine as its tick).
std::int64_t GetRelativeTimerClock();

// ---- Named semaphores ------------------------------------------------------
using ::CreateSemaphoreA;
using ::OpenSemaphoreA;
using ::ReleaseSemaphore;

// ---- Process facts ---------------------------------------------------------
using ::FormatMessageA;
using ::GetCommandLineA;
using ::GetConsoleTitleA;
using ::GetModuleFileNameA;
using ::GetStdHandle;
using ::LocalFree;
using ::MessageBoxA;
using ::WriteFile;

// ---- The runtime library's signals (Windows numbers, SIGBREAK included) ------
using ::raise;
using ::signal;

// ---- Calls with no Windows counterpart (declared in platform.h) ---------------
// A waiter released by SetEvent wakes when the system schedules it.
inline BOOL SetEventUnderLock(HANDLE event, LPCRITICAL_SECTION) { return ::SetEvent(event); }
inline DWORD WaitLeavingLock(HANDLE handle, DWORD milliseconds, BOOL alertable, LPCRITICAL_SECTION lock) {
    ::LeaveCriticalSection(lock);
    const DWORD result = ::WaitForSingleObjectEx(handle, milliseconds, alertable);
    ::EnterCriticalSection(lock);
    return result;
}
// The runtime runs a handler as ordinary code, never inside an interrupted
// call: nothing to defer.
// No per-thread cache of the last semaphore here: callers take their usual path.
inline bool TryTakeRecentSemaphore(HANDLE) { return false; }
inline bool ReleaseRecentSemaphore(HANDLE) { return false; }
inline bool ReleaseRecentSemaphoreLeaving(HANDLE, bool&, std::uint32_t, bool (*otherwise)(void*), void* context) {
    return otherwise(context);
}
inline bool EnterSignalSection(std::uint32_t&) { return true; }
inline bool TryEnterSignalSection(std::uint32_t&) { return true; }
inline void LeaveSignalSection(std::uint32_t) {}
inline bool LeaveSignalSectionSucceeding(std::uint32_t) { return true; }
inline bool StopSignalSections(DWORD) { return true; }
inline void ResumeSignalSections() {}
// A handler runs as ordinary code here (inside raise(), or on the console's
// control thread for SIGINT and SIGBREAK), so nothing needs to be restricted.
inline bool InSignalHandler() { return false; }

}  // namespace rvsys::platform

#endif  // RVSYS_PLATFORM_WIN32_PLATFORM_WIN32_H
