// The library's internal Win32-shaped platform API.
//
// Library code (threads/, semaphores/, timers/) includes only this header. Every
// name here is the Windows name with the Windows meaning and result:
//   - on Windows the namespace re-exports the real declarations (win32/);
//   - on Linux each call is our own emulation of exactly the behaviour the
//     library relies on (linux/), documented at the top of each file there; each
//     section below names the file that emulates it.
// A call is added here only when library code needs it.
//
// Library sources say `using namespace rvsys::platform;` and write constants
// unqualified (INFINITE, WAIT_TIMEOUT, ERROR_...): on Windows they are macros.
// Functions may be qualified (`platform::SetEvent`) where a library name hides
// them.
//
// A few names have no Windows counterpart and are plain forwarders there: the
// clock seam (tests replace the tick count and the wall clock), signalling
// under a lock, and the signal-handler context.
#ifndef RVSYS_PLATFORM_PLATFORM_H
#define RVSYS_PLATFORM_PLATFORM_H

#include <rvsysutils/export.h>

#if defined(_WIN32)
#include "win32/platform_win32.h"
#else

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The critical section is the one layer type visible in the public API (as a
// pointer); public headers forward-declare it as this global struct. Here it is
// a futex lock word with an owner and a recursion count (linux/critical_section.cpp).
struct _RTL_CRITICAL_SECTION {
    std::atomic<std::uint32_t> word;    // 0 free, 1 held, 2 held and a thread may sleep on it
    std::atomic<std::uintptr_t> owner;  // the holder's thread pointer, 0 when free
    std::uint32_t recursion;            // levels held; written by the holder only
    // A waiter released while the holder signalled under this lock, woken when
    // the lock is left (SetEventUnderLock); written by the holder only.
    const std::atomic<std::uint32_t>* deferredWake;
};

namespace rvsys::platform {

// ---- Types -----------------------------------------------------------------
using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPCSTR = const char*;
using LPSTR = char*;
using LPLONG = LONG*;
using LPCVOID = const void*;
using HLOCAL = void*;
using HMODULE = void*;
using HWND = void*;
using LPHANDLE = HANDLE*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using CRITICAL_SECTION = ::_RTL_CRITICAL_SECTION;
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using PAPCFUNC = void (*)(ULONG_PTR);
using PTIMERAPCROUTINE = void (*)(LPVOID argument, DWORD timerLowValue, DWORD timerHighValue);
// The runtime library's thread routine (_beginthreadex), and the same routine
// returning the wider unsigned long of the public API (its low 32 bits count).
using BeginThreadRoutine = unsigned (*)(void*);
using BeginThreadRoutineWide = unsigned long (*)(void*);

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    std::int64_t QuadPart;
};

// ---- Constants -------------------------------------------------------------
inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD CREATE_SUSPENDED = 0x4;
inline constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;
inline constexpr DWORD MAXIMUM_SUSPEND_COUNT = 127;

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr int THREAD_MODE_BACKGROUND_BEGIN = 0x00010000;
inline constexpr int THREAD_MODE_BACKGROUND_END = 0x00020000;
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

inline constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x1F0003;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD LANG_USER_DEFAULT = 0x400;  // neutral language, default sublanguage

inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_TASKMODAL = 0x2000;
inline constexpr int IDOK = 1;

inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// Last-error values (Windows numbering).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_SIGNAL_REFUSED = 156;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_TOO_MANY_POSTS = 298;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_PROCESS_MODE_ALREADY_BACKGROUND = 402;
inline constexpr DWORD ERROR_PROCESS_MODE_NOT_BACKGROUND = 403;

// ---- Last error (linux/handles.cpp) ----------------------------------------
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Handles (linux/handles.cpp; DuplicateHandle: linux/threads.cpp) -------
BOOL CloseHandle(HANDLE handle);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target, DWORD access,
                     BOOL inherit, DWORD options);
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();

// ---- Critical sections (linux/critical_section.cpp) ------------------------
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// ---- Events and waits (linux/waits.cpp, waitable.cpp, blocking.cpp) -------
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD SleepEx(DWORD milliseconds, BOOL alertable);
void Sleep(DWORD milliseconds);
DWORD QueueUserAPC(PAPCFUNC function, HANDLE thread, ULONG_PTR data);

// ---- Threads (linux/threads.cpp, suspension.cpp, termination.cpp) ---------
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, BeginThreadRoutine routine, void* argument,
                              unsigned initFlags, unsigned* threadId);
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, BeginThreadRoutineWide routine, void* argument,
                              unsigned initFlags, unsigned* threadId);
[[noreturn]] void ExitThread(DWORD exitCode);
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD SuspendThread(HANDLE thread);
DWORD ResumeThread(HANDLE thread);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
DWORD GetCurrentThreadId();
DWORD GetThreadId(HANDLE thread);

// ---- Waitable timers (linux/timers.cpp, timer_service.cpp) ----------------
HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCSTR name);
BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completionRoutine,
                      LPVOID argument, BOOL resume);
BOOL CancelWaitableTimer(HANDLE timer);

// ---- Time (linux/clock.cpp, timers.cpp) -----------------------------------
DWORD GetTickCount();
void GetSystemTimeAsFileTime(FILETIME* systemTime);
// Not a Windows call: now on the clock a relative (negative) due time of
// SetWaitableTimer counts on, in 100 ns units from an arbitrary origin
// (CLOCK_MONOTONIC), so a caller can arm what remains of a due time that began
// earlier. Not routed through the clock seam.
std::int64_t GetRelativeTimerClock();

// ---- Named semaphores (linux/semaphores.cpp, files: semaphore_files.cpp) -------
// Shared between processes by name, alive while any process holds a handle
// (killed holders included). ReleaseSemaphore and, inside a handler installed
// with signal() below, CloseHandle on a semaphore handle are async-signal-safe.
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCSTR name);
HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);
// A wait of 0 for a caller's fast path: true when `semaphore` is the semaphore
// handle this thread used last and a unit was free (it is taken); false, with
// nothing changed and no error set, otherwise (the caller then waits as usual).
// No system call, no lock.
bool TryTakeRecentSemaphore(HANDLE semaphore);
// ReleaseSemaphore(semaphore, 1, nullptr) for a fast path: true when it is
// the semaphore handle this thread used last and the unit went back (waiters
// woken); false, with nothing changed and no error set, otherwise.
bool ReleaseRecentSemaphore(HANDLE semaphore);
// ReleaseRecentSemaphore for a caller inside a section it entered with
// TryEnterSignalSection (`outer` as that returned), ending that section in
// every case, so that this is the caller's last call. When the unit went back,
// `held` is cleared (release order) in the same section and the result is
// true; otherwise nothing is changed and the result is otherwise(context),
// called after the section ended.
bool ReleaseRecentSemaphoreLeaving(HANDLE semaphore, bool& held, std::uint32_t outer, bool (*otherwise)(void*),
                                   void* context);

// ---- Process facts (linux/process.cpp; error texts: linux/errors.cpp) ------
// FROM_SYSTEM text of an error code: strerror of the matching errno, without the
// CR LF that ends Windows' texts; an unknown code fails with 317. With
// ALLOCATE_BUFFER `buffer` receives a LocalFree'd pointer, otherwise the text.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);
// "Has a console" is "standard error is open"; the title is then the
// executable's path. 0 with error 6 when standard error is closed.
DWORD GetConsoleTitleA(LPSTR title, DWORD size);
// The executable's path (module must be null), with the Vista truncation rule.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
// Linux has no window to show: the text goes to syslog, the caption being the
// identity; returns IDOK at once.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// The command line rebuilt once from /proc/self/cmdline (see process.cpp); the
// pointer stays valid for the life of the process.
LPSTR GetCommandLineA();
// Standard error only (deliberate gap): write(2) on descriptor 2.
HANDLE GetStdHandle(DWORD which);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, void* overlapped);

// ---- The runtime library's signals (linux/signals.cpp) ---------------------
// Linux numbers: SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM and SIGABRT are
// <csignal>'s; SIGQUIT (Ctrl+\) stands for Windows' SIGBREAK (Ctrl+Break).
// Windows' own numbers are never passed through (21 and 22 are other signals).
inline constexpr int SIGBREAK = SIGQUIT;
using SignalHandler = void (*)(int);
// Like the runtime's signal(): returns the previous handler or SIG_ERR (error
// 87). A handler installed here runs with every signal blocked and the layer
// knowing it is in a handler (InSignalHandler), with the thread's last error
// and errno kept. A foreign previous disposition (one installed with
// sigaction, SA_SIGINFO and all) comes back exactly when its returned pointer
// is installed again.
SignalHandler signal(int number, SignalHandler handler);
int raise(int number);

// ---- Sections a signal sees whole (linux/signals.cpp; no-ops on Windows) ------
// A handler installed with signal() must see a shared count and the caller's
// own record of it change as one step. Code that changes both brackets the
// change with EnterSignalSection/LeaveSignalSection (never blocking in
// between, except in a semaphore wait, which lifts the section while it sleeps,
// with nothing taken):
// - a signal arriving on the same thread inside the section is deferred and
//   handled at LeaveSignalSection, as if it had arrived just then (the fault
//   signals SIGSEGV, SIGILL and SIGFPE are not deferred: returning would fault
//   again);
// - a handler on another thread calls StopSignalSections first: sections then
//   fail to start (EnterSignalSection returns false and the caller must change
//   nothing), semaphore waits inside a section take no unit, and it waits (at
//   most `milliseconds`) for sections under way on other threads to end. Then
//   ResumeSignalSections (StopSignalSections returns false when the wait
//   ran out; the caller goes on all the same).
// A semaphore wait inside a section whose handles have all been closed fails
// with error 6: its caller could not give back what it took. Enter and Leave
// cost a few plain loads and stores; Stop pays for the ordering with one
// process-wide memory barrier. A handler may use a section while the code it
// interrupted is inside one (Leave puts the outer state back); the thread
// that stops sections does not enter one until it resumes them.
struct SignalSectionState {
    std::atomic<std::uint32_t> state;     // kSectionIdle, kSectionBusy or kSectionSleeping
    std::atomic<std::uint64_t> deferred;  // bit n: signal n arrived while busy
};
inline constexpr std::uint32_t kSectionIdle = 0;
inline constexpr std::uint32_t kSectionBusy = 1;
inline constexpr std::uint32_t kSectionSleeping = 2;
extern __thread SignalSectionState* tlsSignalSection __attribute__((tls_model("initial-exec")));
// Both process-wide section flags in one word, so that an entry tests one load.
inline constexpr std::uint8_t kSectionsStopped = 1;       // a clean-up is stopping sections
inline constexpr std::uint8_t kSectionsNeedFence = 2;     // no membarrier: each entry fences
inline constexpr std::uint8_t kSectionsFastPathsOff = 4;  // testing: TryEnterSignalSection declines
extern std::atomic<std::uint8_t> gSignalSectionFlags;
SignalSectionState* AdoptSignalSection();  // null when out of memory
void RunDeferredSignals();
bool StopSignalSections(DWORD milliseconds);
void ResumeSignalSections();

// Marks the section busy; false when a clean-up is stopping sections (the
// mark then stays: the caller puts back what it had). Against a stopping
// thread: either it sees us busy, or we see it stopping (its process-wide
// barrier orders our store before our load).
inline bool MarkSectionBusy(SignalSectionState* section) {
    section->state.store(kSectionBusy, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::uint8_t flags = gSignalSectionFlags.load(std::memory_order_acquire);
    if (flags == 0) return true;
    if ((flags & kSectionsNeedFence) != 0) {
#if defined(RVSYS_SANITIZER_THREAD)
        // TSan does not model fences: a sequentially consistent exchange orders the same.
        section->state.exchange(kSectionBusy, std::memory_order_seq_cst);
#else
        std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
        flags = gSignalSectionFlags.load(std::memory_order_acquire);
    }
    return (flags & kSectionsStopped) == 0;
}

// `outer` is what Enter found (a handler may use a section while the code it
// interrupted is inside one): Leave puts it back.
// EndSignalSection leaves the running of deferred signals to its caller (true
// when some wait), so that a fast path can make that call a tail call.
[[gnu::always_inline]] inline bool EndSignalSection(std::uint32_t outer) {
    SignalSectionState* section = tlsSignalSection;
    if (section == nullptr) return false;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    section->state.store(outer, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return outer == kSectionIdle && section->deferred.load(std::memory_order_relaxed) != 0;
}

inline void LeaveSignalSection(std::uint32_t outer) {
    if (EndSignalSection(outer)) RunDeferredSignals();
}

// RunDeferredSignals, then true: the tail of LeaveSignalSectionSucceeding.
bool RunDeferredSignalsSucceeding();

// LeaveSignalSection as a fast path's last step, inline and with any call a
// tail call; always true (the fast path's result).
[[gnu::always_inline]] inline bool LeaveSignalSectionSucceeding(std::uint32_t outer) {
    if (EndSignalSection(outer)) return RunDeferredSignalsSucceeding();
    return true;
}

inline bool EnterSignalSection(std::uint32_t& outer) {
    SignalSectionState* section = tlsSignalSection;
    outer = kSectionIdle;
    if (section == nullptr && (section = AdoptSignalSection()) == nullptr) return true;  // best effort
    outer = section->state.load(std::memory_order_relaxed);
    if (!MarkSectionBusy(section)) {
        LeaveSignalSection(outer);
        return false;
    }
    return true;
}

// EnterSignalSection for a fast path that must make no call. False, with no
// section entered, before the thread's first section or when any section flag
// is set (sections stopped, entries that must fence, fast paths off); the
// caller must then take its ordinary path through
// EnterSignalSection/LeaveSignalSection, whose Leave runs any signal deferred
// during this attempt. Ordered against a stopping thread as MarkSectionBusy.
inline bool TryEnterSignalSection(std::uint32_t& outer) {
    SignalSectionState* section = tlsSignalSection;
    if (section == nullptr) return false;
    outer = section->state.load(std::memory_order_relaxed);
    section->state.store(kSectionBusy, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (gSignalSectionFlags.load(std::memory_order_acquire) == 0) return true;
    section->state.store(outer, std::memory_order_relaxed);
    return false;
}

}  // namespace rvsys::platform

#endif  // !_WIN32

namespace rvsys::platform {

// ---- Clock seam (both systems: clock.cpp) ----------------------------------
// GetTickCount and GetSystemTimeAsFileTime read through these two replaceable
// functions. Tests install a scripted clock to make wraps and jumps happen on
// demand; null restores the system's clock. Returns the previous source.
struct ClockSource {
    DWORD (*tickCount)();
    void (*systemTime)(FILETIME* systemTime);
};
const ClockSource* SetClockSource(const ClockSource* source);

// FILETIME counts 100 ns units from 1601-01-01; this many of them lie before
// 1970-01-01, the start of Unix time.
inline constexpr std::uint64_t kFileTimeOfUnixEpoch = 116444736000000000ull;

// ---- Signalling under a lock (linux/waits.cpp; plain SetEvent on Windows) ---
// SetEvent for a caller that may hold `lock`: the signal is handed over at
// once, but when the calling thread holds `lock` and the released waiter will
// take `lock` again when it wakes (it waits through WaitLeavingLock), it is
// woken only as `lock` is left, so it does not wake just to block on it.
BOOL SetEventUnderLock(HANDLE event, LPCRITICAL_SECTION lock);
// For a caller that holds `lock` (entered once): leaves it, waits as
// WaitForSingleObjectEx, and takes it again whatever the result. Only such a
// waiter is woken late by a SetEventUnderLock under that same lock; any other
// waiter is woken at once, as on Windows.
DWORD WaitLeavingLock(HANDLE handle, DWORD milliseconds, BOOL alertable, LPCRITICAL_SECTION lock);

// ---- Signal-handler context (linux/sys.cpp) -----------------------------------
// True while the calling thread runs a handler installed with signal() above.
// Library code then does only async-signal-safe work: no allocation, no lock
// another thread or the interrupted code could hold, no iostreams.
bool InSignalHandler();

}  // namespace rvsys::platform

#endif  // RVSYS_PLATFORM_PLATFORM_H
