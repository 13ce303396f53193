// Helpers shared by the test programs: time slack, blocking detection, helper
// processes, the few process facts tests need, and allocation-failure
// injection. One interface; test_support_posix.cpp and test_support_win32.cpp
// hold what each system does differently.
#ifndef RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H
#define RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace rvsys::test {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Multiplier for generous upper time bounds (RVSYS_TEST_TIME_SCALE, default 1):
// raised for sanitizer and Wine runs. Lower bounds are never scaled.
int TimeScale();
inline Ms Slack(int milliseconds) { return Ms(milliseconds * TimeScale()); }

inline std::int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<Ms>(Clock::now() - since).count();
}

// The calling thread's id as the system's scheduler knows it, for WaitUntilBlocked.
long KernelThreadId();

// Waits until the thread with that id sleeps in the kernel, polling; false if
// it does not within `limit`. Windows waits a fixed moment instead and returns
// true.
bool WaitUntilBlocked(long tid, Ms limit = Ms(5000));

// Polls `condition` until it holds or `limit` passes.
bool Eventually(const std::function<bool()>& condition, Ms limit = Ms(5000));

// How far the expiries at `times` of a periodic timer have slid off their grid
// origin + k * period, in ms: the least phase (time since `origin`, modulo the
// period) among the last `window` expiries minus the least among the first
// `window`. A busy machine delays single expiries, which leaves the minima on
// the grid; a timer re-armed from when it ran slides by every expiry's delay.
double GridDriftMs(const std::vector<Clock::time_point>& times, Clock::time_point origin, Ms period,
                   std::size_t window);

// True when the Windows build runs under Wine (ntdll exports wine_get_version).
bool IsWine();

// Ends the test as skipped when it runs under Wine, naming the behaviour in
// which Wine differs from Windows. The assertions stay as Windows documents them.
#define RVSYS_SKIP_ON_WINE(behaviour)                                                              \
    do {                                                                                           \
        if (::rvsys::test::IsWine()) GTEST_SKIP() << "Wine differs from Windows: " << (behaviour); \
    } while (false)

// ---- Helper processes -----------------------------------------------------------
// A test re-runs its own binary to run `name` there and returns the child's exit
// status (see SignalExitStatus for abnormal ends). Standard
// output and error are captured into `output` when non-null. `arguments` follow
// the helper flag; `programName` is the child's first argument.
// On Windows the helper has a console of its own (without a window), titled
// "rvsys test helper", so that console-dependent code behaves the same whether
// or not the test itself runs with a console.
int RunHelper(const std::string& name, std::string* output = nullptr, const std::vector<std::string>& arguments = {},
              const std::string& programName = "rvsys-helper");

// Registers a helper body; run when the binary is started with --rvsys-helper=name.
struct HelperRegistration {
    HelperRegistration(const char* name, int (*body)());
};
#define RVSYS_HELPER(name)                                                                    \
    static int name##_helper();                                                               \
    static const ::rvsys::test::HelperRegistration name##_registration(#name, name##_helper); \
    static int name##_helper()

// ---- Named semaphores ---------------------------------------------------------------
// A name no other test or process uses: "rvsys-<pid>-<tag>-<n>-".
std::string UniqueName(const std::string& tag);
// A semaphore's count, read as the library reads it: release one, take it
// back. -1 when the release fails (the count is at the maximum).
long CountOf(void* semaphore);
#if !defined(_WIN32)
// Whether the Linux layer's backing file for the name exists.
bool SemaphoreFileExists(const std::string& name);
#endif

// ---- Process facts -------------------------------------------------------------------
int ProcessId();
// Sets a variable of this process's environment, which helpers inherit.
void SetEnvironment(const char* name, const std::string& value);
// Writes straight to standard output, unbuffered: the text is out even if a
// signal ends the process next. Allocates nothing, so a signal handler may call it.
void WriteOut(std::string_view text);
// From here on the process has no console (Linux: standard error is closed;
// Windows: the process leaves its console).
void LoseConsole();

// From here on a thread of this process closes every message box the process
// shows (as if OK were pressed) and logs it as "[caption] text\n". Linux shows
// no message boxes: the log stays empty.
void CloseMessageBoxes();
std::string ClosedMessageBoxes();

// The signal delivered to this process as from outside (Linux: kill; Windows:
// raise, the runtime's only way to deliver one).
void RaiseInProcess(int signal);
// A helper's exit status when `signal` with its default action ended it (Linux
// 128 + number; Windows: the runtime's exit code 3).
int SignalExitStatus(int signal);

// Makes non-throwing allocations of this thread (operator new(size_t,
// nothrow_t)) fail: after `skip` more succeed, the next `count` fail. Reset
// with FailNothrowAllocations(0).
void FailNothrowAllocations(int count, int skip = 0);

// ---- For the per-system files ----------------------------------------------------
// Runs the helper named by --rvsys-helper=name; -1 when no such flag is given.
int RunHelperIfAsked(int argc, char** argv);
// What every test process, helpers included, sets up first.
void PrepareProcess();

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H
