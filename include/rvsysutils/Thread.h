// The Thread functions over raw thread handles, and the 64-bit uptime clock.
#ifndef RVSYSUTILS_THREAD_H
#define RVSYSUTILS_THREAD_H

#include "export.h"

// Thin functions over the system's thread calls, for callers that manage raw
// thread handles. All may be called from any thread. Functions taking a handle
// do not test it: an invalid, closed or forged handle gives the failure result
// of the system call (on Linux never a crash), with the thread's last error set
// to 6 (invalid handle).
//
// Handle rule: a handle from BeginThread belongs to the caller until the thread
// is gone. WaitForThread closes it when its wait finds the thread ended, and
// TerminateThread when it has terminated the thread; the caller must not use
// the handle after either. A wait that times out or fails, and a termination
// that fails, leave the handle open.
namespace Thread {

// Starts `routine(argument)` on a new thread through the runtime library.
// `creationFlags` 0 runs it at once; 4 (CREATE_SUSPENDED) holds it before its
// routine until ResumeThread. Returns the thread's handle (the caller owns it),
// or null on failure. The routine's result is the thread's 32-bit exit code.
RVSYS_API void* BeginThread(unsigned int(RVSYS_WINAPI* routine)(void*), void* argument,
                            unsigned long creationFlags);
RVSYS_API void* BeginThread(unsigned long(RVSYS_WINAPI* routine)(void*), void* argument,
                            unsigned long creationFlags);

// Terminates the thread with `exitCode` and, on success, closes the handle.
// False when the system refuses (the handle stays open).
// On Linux a thread cannot be stopped at an arbitrary instruction: it ends at
// its next blocking call of this library (waits, sleeps, blocked lock
// acquisitions, its start gate) or when its routine returns, whichever comes
// first, and its exit code becomes `exitCode`. A thread blocked in such a call
// ends promptly; its stack is unwound, so C++ destructors on it run (Windows
// runs none). A thread terminated before its routine began never runs it.
RVSYS_API bool TerminateThread(void* handle, unsigned long exitCode);

// Waits at most `timeout` ms (0xFFFFFFFF: no limit) for the thread to end and
// returns the wait result: 0 ended, 258 still running, 0xFFFFFFFF failed. When
// `exitCode` is non-null, stores the exit code whatever the wait returned (259
// while the thread runs; unchanged when the handle is invalid). Closes the
// handle when the result is 0.
RVSYS_API unsigned long WaitForThread(void* handle, unsigned long timeout, unsigned long* exitCode);

// Suspend / resume: return the previous suspend count, 0xFFFFFFFF on failure.
// A thread's count is capped at 127 (the 128th suspend fails with error 156).
// On Linux SuspendThread returns once the thread has stopped: it is stopped by
// a real-time signal, SIGRTMIN+7, whose handler waits until resumed (a thread
// asleep in one of this library's blocking calls counts as stopped at once).
// A thread suspended in the middle of one of this library's internal steps
// stops when that step is done. As on Windows, suspending a thread that holds a lock
// other threads need can deadlock them.
RVSYS_API unsigned long SuspendThread(void* handle);
RVSYS_API unsigned long ResumeThread(void* handle);

// Sets the thread's priority level: -15 idle, -2 lowest, -1 below normal,
// 0 normal, 1 above normal, 2 highest, 15 time-critical; also 0x10000 / 0x20000
// (background mode begin / end) for the calling thread. Other values fail with
// error 87. True when set. On Linux the level is stored (GetThreadPriority
// returns it) and applied as the thread's nice value (19, 10, 5, 0, -5, -10,
// -20); a raise the kernel refuses still succeeds, as on Windows.
RVSYS_API bool SetThreadPriority(void* handle, int priority);

// The thread's priority level, or 0x7FFFFFFF on failure.
RVSYS_API int GetThreadPriority(void* handle);

// duplicate == false: the pseudo-handle of "the calling thread" (the same value
// on every thread; needs no closing). duplicate == true: a new real handle to
// the calling thread that other threads may use; the caller closes it. Null
// when duplication fails.
RVSYS_API void* GetCurrentThread(bool duplicate);

// The calling thread's id (never 0). The argument has no effect.
RVSYS_API unsigned long GetCurrentThreadID(bool unused);

// Sleeps for `milliseconds` (0 yields; 0xFFFFFFFF forever). Never returns early.
RVSYS_API void Sleep(unsigned long milliseconds);

}  // namespace Thread

// Milliseconds since the system started (including time suspended), as a
// 64-bit value extended past the wrap of the 32-bit tick count. Any thread may
// call it at any time: the last tick count and the wrap count are updated
// together in one atomic step, so concurrent calls never count a false wrap,
// and results never decrease while the function is called at least once in
// every 2^32 ms (about 49.7 days). Wraps before the first call are not counted.
RVSYS_API unsigned long long GetSystemUptime();

#endif  // RVSYSUTILS_THREAD_H
