// Helpers shared by the test programs: time slack, blocking detection, helper
// processes and allocation-failure injection.
#ifndef RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H
#define RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace rvsys::test {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Multiplier for generous upper time bounds (RVSYS_TEST_TIME_SCALE, default 1):
// raised for sanitizer runs. Lower bounds are never scaled.
int TimeScale();
inline Ms Slack(int milliseconds) { return Ms(milliseconds * TimeScale()); }

inline std::int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<Ms>(Clock::now() - since).count();
}

// The calling thread's kernel id, for BlockedInKernel.
long KernelThreadId();

// Waits until the thread with kernel id `tid` sleeps in the kernel (a futex
// wait), polling; false if it does not within `limit`.
bool WaitUntilBlocked(long tid, Ms limit = Ms(5000));

// Polls `condition` until it holds or `limit` passes.
bool Eventually(const std::function<bool()>& condition, Ms limit = Ms(5000));

// Helper processes: a test re-runs its own binary to run `name` there and
// returns the child's exit status (exit code, or 128 + signal number). The
// child's standard output and error are captured into `output` when non-null.
int RunHelper(const std::string& name, std::string* output = nullptr);

// Registers a helper body; run when the binary is started with --rvsys-helper=name.
struct HelperRegistration {
    HelperRegistration(const char* name, int (*body)());
};
#define RVSYS_HELPER(name)                                                                \
    static int name##_helper();                                                           \
    static const ::rvsys::test::HelperRegistration name##_registration(#name, name##_helper); \
    static int name##_helper()

// Makes non-throwing allocations of this thread (operator new(size_t,
// nothrow_t)) fail: after `skip` more succeed, the next `count` fail. Reset
// with FailNothrowAllocations(0).
void FailNothrowAllocations(int count, int skip = 0);

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_SUPPORT_TEST_SUPPORT_H
