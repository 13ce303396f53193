// Semaphore: a named system semaphore used as a lock shared between objects,
// threads and processes, with clean-up at a signal and error reporting.
#ifndef RVSYSUTILS_SEMAPHORE_H
#define RVSYSUTILS_SEMAPHORE_H

#include <list>
#include <string>
#include <utility>

#include "export.h"

// One named counting semaphore (one unit, at most 65535), shared by every
// object in any process that names it with the same base name and number.
//
// Threads: Lock, TryLock, Unlock and ResetSemaphore may be called from any
// thread, but one object's calls must not overlap (its members are plain
// fields); use one object per thread to share a name between threads.
// Objects may be constructed and destroyed on several threads at once.
//
// Names: the base name followed by the number in decimal ("Queue" and 3 give
// "Queue3"; "" and 7 give "7"; "S" and -1 give "S-1"). The name lives while any
// process holds an object (a handle) for it, also when holders die by SIGKILL;
// a name created after the last holder is gone starts again with one unit.
// Units taken by a process that dies stay taken while others hold the name. On
// Linux names of 260 characters or more fail with error 206 and a backslash
// with error 3 (outside a leading "Local\" or "Global\"); the objects are files
// of mode 0600 under /dev/shm, so names are shared between processes of one
// user only. A file under the name that another user owns, or with any group
// or other permission bit, is refused: the object is invalid and the report
// says access is denied (error 5); the file is neither used nor changed.
//
// Signals: the first object constructed successfully in the process installs
// SemaphoreCleaner for SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, SIGQUIT
// (which stands for Windows' SIGBREAK) and SIGINT, keeping the handlers they
// replace. On one of them it runs Cleanup for every registered valid object in
// order of construction (a unit held with Lock(true) or TryLock(true) is given
// back, the handle closed), puts the previous handler back and raises the
// signal again, so that handler, or the default action, deals with it (the
// previous one runs once the clean-up handler has returned). A signal arriving
// on another thread during a clean-up waits for that clean-up to end. The
// handler is async-signal-safe:
// - done at once: giving units back (an atomic and a futex wake-up), marking
//   handles closed, and for a last handle in the process the file work (the
//   liveness probe, removing the name when no process holds it any more,
//   closing the descriptor);
// - deferred to the next semaphore opened outside a handler, or left to the
//   kernel when the process dies of the signal: unmapping the shared page and
//   returning the handle slot and the object record to their pools;
// - a failure inside it (Unlock or the close) is written to standard error
//   with write(2) when it is open, not stored for GetLastError and not sent to
//   syslog.
// The sweep sees each object's unit and the shared count change as one step,
// so the count afterwards is exact:
// - on Linux a signal arriving on a thread inside Lock, TryLock, Unlock,
//   ResetSemaphore or the destructor's clean-up is handled as that call ends
//   (a Lock blocked waiting has taken nothing and is interrupted at once);
//   SIGSEGV, SIGILL and SIGFPE are handled at once all the same;
// - a sweep waits for those calls under way on other threads (at most 2 s,
//   then it goes on), and while it runs they take and give back nothing: a
//   Lock, TryLock, Unlock or ResetSemaphore then returns false, and a Lock
//   blocked on an object the sweep closed fails (false, no report);
// - a signal on another thread while a sweep runs waits for it (at most 2 s;
//   past that it passes the signal on without a sweep of its own).
// A name whose last handle in the process the sweep closes goes with it, also
// while a thread is blocked in Lock on it. After the sweep, an object that
// still holds its unit with Lock(false) keeps it taken. On Windows the runtime
// calls handlers as ordinary code (SIGINT on a thread of its own), and calls
// under way on other threads are not waited for.
//
// Lifetime: on Linux the shared library stays loaded once loaded (it is linked
// with -z nodelete), since the handlers it installs run its code: a plugin
// that used Semaphore may be unloaded with dlclose, and a later signal still
// runs the clean-up and then the handler it replaced. The registry and the
// kept message live until the process ends: an object with static storage
// destroyed after the library's own statics is cleaned up as any other.
//
// Errors: a failed system call is turned into the message "<operation> error :
// <system text>" (the text of the system's error code, "Unknown error N" when
// the system has none), kept for GetLastError and, when it differs from the
// kept one, shown: on standard error (an empty line, the message, a line end)
// when the process has a console (on Linux: standard error is open), otherwise
// in a message box captioned "Semaphore Error in module" with the executable's
// file name in double quotes (on Linux: syslog, with that caption as
// identity). A message box waits until the user closes it. Reports from
// several threads are serialised.
class RVSYS_API Semaphore {
public:
    // Opens the semaphore named base name and number, or creates it with one
    // unit (a semaphore created here is reset to exactly one unit; an existing
    // one keeps its count). `name` must be a valid string, it may be empty. On
    // success the object is valid and registered for the signal clean-up; on
    // failure (reported as "Getting semaphore" or "Create semaphore") it is
    // invalid: operator bool is false and every operation returns false at once.
    Semaphore(int number, const char* name);

    // A copy holds its own handle to the same semaphore (a duplicate) and its
    // own registry entry, and copies the two flags, so both objects count as
    // holding a unit the source held. An invalid source gives an invalid copy.
    Semaphore(const Semaphore& other);

    // Leaves the registry, then, when valid, runs Cleanup: a unit held with
    // Lock(true) or TryLock(true) is given back; one held with Lock(false)
    // stays taken. The handle is closed ("Remove semaphore" on failure).
    ~Semaphore();

    // First gives up this object's handle and registry entry as the destructor
    // would (its unit goes back if held with Lock(true)), then holds a
    // duplicate of `other`'s handle with a registry entry of its own and copies
    // the two flags, so no handle is ever closed twice. Assigning an invalid
    // object makes this one invalid. Returns this object.
    Semaphore& operator=(const Semaphore& other);

    // Waits without a time limit for a unit and takes it. True when taken; the
    // argument says whether Cleanup gives the unit back. False on failure
    // ("Lock semaphore" reported; nothing changed). A thread terminated while
    // it waits takes no unit.
    bool Lock(bool unlockOnCleanup);

    // Takes a unit only if one is free at once. True when taken; false, with no
    // report, when none is free or the wait fails.
    bool TryLock(bool unlockOnCleanup);

    // Gives one unit back, whether or not this object took one (so it can also
    // raise the count). False, with "Unlock semaphore" reported and the flag
    // unchanged, when the system refuses (the count would pass 65535).
    // Async-signal-safe apart from the report.
    bool Unlock();

    // Forces the count to exactly one unit by probing (a release reporting the
    // previous count, then a wait of 0 taking the unit back) and taking the
    // surplus. True when the count is 1 afterwards; false when a probe fails
    // (the count was 65535, or another holder took the probing unit), with no
    // report. From 0 it gives one unit back and clears the held flag. Other
    // holders' calls during the reset make the result approximate.
    bool ResetSemaphore();

    // True while the object holds a handle.
    operator bool() const;

    // The last error message of the process ("No errors" until the first one).
    // The reference stays valid until the process ends; its content
    // changes with every new report on any thread, so read it while no other
    // thread reports.
    static const std::string& GetLastError();

private:
    // Gives back a unit held for clean-up, closes the handle, sets it to null.
    // Called only on a valid object.
    void Cleanup();

    // The handler for the seven signals (see above); other signals are ignored.
    static void SemaphoreCleaner(int signal);

    // Builds the message for the calling thread's last system error; true when
    // it differs from the kept one (which it replaces), false when equal.
    bool FormatErrorMessageEx(const char* operation);

    // Shows the kept message on standard error or in a message box.
    void ShowError() const;

    // FormatErrorMessageEx, then ShowError when the message is new.
    void ErrorEx(const char* operation);

    void* mHandle;
    bool mIsLocked;
    bool mUnlockOnCleanup;

    // Kept for the class's layout and symbols: the registry in use (the
    // objects in order of construction) and the kept message are
    // process-lifetime objects of the library, never destroyed.
    static std::list<std::pair<void*, Semaphore*>> mHandleMap;
    // Set once the signal handler has been installed; never cleared.
    static bool mIsRegistered;
    static std::string mErrorMessage;
};

#endif  // RVSYSUTILS_SEMAPHORE_H
