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
// or null on failure (also for a null routine). The routine's result is the thread's 32-bit exit code.
RVSYS_API void* BeginThread(unsigned int(RVSYS_WINAPI* routine)(void*), void* argument, unsigned long creationFlags);
RVSYS_API void* BeginThread(unsigned long(RVSYS_WINAPI* routine)(void*), void* argument, unsigned long creationFlags);

// Terminates the thread with `exitCode` and, on success, closes the handle.
// False when the system refuses (the handle stays open). The thread stops
// where it stands, whatever it is doing (its own code, a system call, a wait,
// a signal handler, suspended, not yet started): nothing of its routine or of
// destructors of its frames runs again, and its exit code is `exitCode`. Wait
// on another handle of it to know it has ended.
// Hazards, as on Windows: locks the thread held stay held, memory its frames
// owned is never freed, and a thread terminated inside the allocator or the C
// library can leave their locks held for the whole process. Terminate only
// threads whose state you control.
// On Linux the call returns once the thread has stopped; it is stopped by the
// signal SIGRTMIN+7 (a thread that blocks that signal stops only at this
// library's waits and sleeps). Its C++ thread_local and pthread key
// destructors still run as it leaves (Windows runs none). A thread this
// library did not start (the main thread, a std::thread) stops for good
// without running anything; if it was the process's last thread the process
// ends with `exitCode`.
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

// Copies a chosen part of the process's command line into `buffer` (`size`
// bytes, the terminating zero included) and returns how many arguments the
// copied text holds, or -1. The line is expected to start with the program's
// path between double quotes; the separator is the first space after the
// closing quote, and the argument count is 1 plus the spaces that follow it
// (every space counts, doubled and trailing ones too). Only '"' and ' ' are
// looked for: tabs and later quotes are ordinary characters.
//   includeProgramName, programNameOnly:    the path without quotes; 0.
//   includeProgramName, firstArgumentOnly:  the quoted path, the separator and
//     the first argument (without an argument: the path without quotes); 1.
//   includeProgramName alone:               the whole line and the count
//     (without an argument: the path without quotes, and 0).
//   !includeProgramName, firstArgumentOnly: the first argument; 1.
//   !includeProgramName:                    everything after the separator and
//     the count. With no argument text (no separator, or the line ends with
//     it) it returns 0 and leaves the buffer untouched whatever `size` is.
// Results: -1, with the buffer untouched, when the line holds fewer than two
// double quotes or the text with its terminator does not fit in `size` bytes
// (so `size` 0 fails whenever something would be copied; a null `buffer`
// counts as `size` 0), and when memory for the working copy runs out. Sets no error code.
// Any thread may call it at any time; the process's line is never changed. On
// Linux the line is rebuilt from the process's arguments: the program as
// started (argv[0]) in double quotes, then each argument after one space,
// itself quoted by the Windows rules only when it is empty or holds a space,
// tab or double quote.
RVSYS_API int GetCommandLineA(char* buffer, unsigned int size, bool includeProgramName, bool firstArgumentOnly,
                              bool programNameOnly);

}  // namespace Thread

// Milliseconds since the system started (including time suspended), as a
// 64-bit value extended past the wrap of the 32-bit tick count. Any thread may
// call it at any time: the last tick count and the wrap count are updated
// together in one atomic step, so concurrent calls never count a false wrap,
// and results never decrease while the function is called at least once in
// every 2^32 ms (about 49.7 days). Wraps before the first call are not counted.
RVSYS_API unsigned long long GetSystemUptime();

#endif  // RVSYSUTILS_THREAD_H
