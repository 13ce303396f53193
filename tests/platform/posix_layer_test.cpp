// Behaviours of the Linux emulation that Windows does not share or that only
// Linux can observe: the clock seam, cooperative termination, real suspension.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/objects.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

std::uint64_t Now(clockid_t clock, std::uint64_t unitNs) {
    timespec ts;
    clock_gettime(clock, &ts);
    return (static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec)) / unitNs;
}

}  // namespace

// Which Linux clocks stand behind the seam (the Windows side reads Windows' own).
TEST(ClockSeam, SystemClocksAreBootTimeAndFileTimeOfTheWallClock) {
    const std::uint64_t before = Now(CLOCK_BOOTTIME, 1000000);
    const DWORD tick = pf::GetTickCount();
    const std::uint64_t after = Now(CLOCK_BOOTTIME, 1000000);
    EXPECT_GE(tick, static_cast<DWORD>(before));
    EXPECT_LE(tick, static_cast<DWORD>(after));

    constexpr std::uint64_t kUnitsFrom1601To1970 = 116444736000000000ull;
    const std::uint64_t realBefore = Now(CLOCK_REALTIME, 100) + kUnitsFrom1601To1970;
    FILETIME file;
    pf::GetSystemTimeAsFileTime(&file);
    const std::uint64_t realAfter = Now(CLOCK_REALTIME, 100) + kUnitsFrom1601To1970;
    const std::uint64_t units = std::uint64_t{file.dwHighDateTime} << 32 | file.dwLowDateTime;
    EXPECT_GE(units, realBefore);
    EXPECT_LE(units, realAfter);
}

// Windows hands a closed handle's value to the next object at once; the Linux
// layer's handles carry a generation, so a stale value keeps failing.
TEST(Handles, ANewObjectDoesNotAnswerToAClosedValue) {
    HANDLE closed = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(pf::CloseHandle(closed), TRUE);
    HANDLE fresh = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(fresh, closed);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetEvent(closed), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(pf::WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    pf::CloseHandle(fresh);
}

namespace {

std::atomic<bool> gStopSpinning{false};
std::atomic<bool> gSpinning{false};
std::atomic<bool> gRanPastBlockingCall{false};
std::atomic<int> gDestructorsRun{0};

struct CountsDestruction {
    ~CountsDestruction() { gDestructorsRun.fetch_add(1); }
};

DWORD SpinThenSleep(LPVOID) {
    CountsDestruction guard;
    gSpinning = true;
    while (!gStopSpinning.load()) {
    }
    pf::Sleep(1);  // the first blocking call: a terminated thread ends here
    gRanPastBlockingCall = true;
    return 0;
}

DWORD SleepWithGuard(LPVOID) {
    CountsDestruction guard;
    pf::Sleep(INFINITE);
    return 0;
}

DWORD SpinInLibraryCode(LPVOID) {
    pf::EnterLibraryCode();
    gSpinning = true;
    while (!gStopSpinning.load()) {
    }
    pf::LeaveLibraryCode();  // a termination requested meanwhile ends the thread here
    gRanPastBlockingCall = true;
    return 0;
}

}  // namespace

TEST(Termination, BlockedThreadEndsPromptlyAndUnwindsItsStack) {
    gDestructorsRun = 0;
    HANDLE thread = pf::CreateThread(nullptr, 0, SleepWithGuard, nullptr, 0, nullptr);
    pf::Sleep(10);
    const auto start = Clock::now();
    EXPECT_EQ(pf::TerminateThread(thread, 11), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(gDestructorsRun.load(), 1);
    pf::CloseHandle(thread);
}

TEST(Termination, SpinningThreadEndsAtItsNextBlockingCall) {
    gStopSpinning = false;
    gSpinning = false;
    gRanPastBlockingCall = false;
    gDestructorsRun = 0;
    HANDLE thread = pf::CreateThread(nullptr, 0, SpinThenSleep, nullptr, 0, nullptr);
    while (!gSpinning.load()) std::this_thread::yield();
    EXPECT_EQ(pf::TerminateThread(thread, 12), TRUE);  // returns although the thread goes on
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    gStopSpinning = true;
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 12u);
    EXPECT_FALSE(gRanPastBlockingCall.load());
    EXPECT_EQ(gDestructorsRun.load(), 1);
    pf::CloseHandle(thread);
}

TEST(Termination, TerminateWaitsWhileTheTargetRunsLibraryCode) {
    gStopSpinning = false;
    gSpinning = false;
    gRanPastBlockingCall = false;
    HANDLE thread = pf::CreateThread(nullptr, 0, SpinInLibraryCode, nullptr, 0, nullptr);
    while (!gSpinning.load()) std::this_thread::yield();
    std::atomic<bool> returned{false};
    std::thread terminator([&] {
        pf::TerminateThread(thread, 13);
        returned = true;
    });
    pf::Sleep(30);
    EXPECT_FALSE(returned.load());
    gStopSpinning = true;
    terminator.join();
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(gRanPastBlockingCall.load());
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 13u);
    pf::CloseHandle(thread);
}

TEST(Termination, ThreadBlockedOnACriticalSectionEndsWithoutTakingIt) {
    static CRITICAL_SECTION cs;
    pf::InitializeCriticalSection(&cs);
    pf::EnterCriticalSection(&cs);
    gRanPastBlockingCall = false;
    HANDLE thread = pf::CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            pf::EnterLibraryCode();
            pf::EnterCriticalSection(&cs);
            gRanPastBlockingCall = true;
            return 0;
        },
        nullptr, 0, nullptr);
    pf::Sleep(20);
    EXPECT_EQ(pf::TerminateThread(thread, 14), TRUE);  // waits until it has let go
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(gRanPastBlockingCall.load());
    pf::LeaveCriticalSection(&cs);
    EXPECT_EQ(pf::TryEnterCriticalSection(&cs), TRUE);  // nobody else holds it
    pf::LeaveCriticalSection(&cs);
    pf::CloseHandle(thread);
}

TEST(TimerService, WakesOnlyWhenATimerIsDue) {
    auto relative = [](std::int64_t milliseconds) {
        LARGE_INTEGER due;
        due.QuadPart = -milliseconds * 10000;
        return due;
    };
    std::vector<HANDLE> timers;
    for (int i = 0; i < 1001; ++i) timers.push_back(pf::CreateWaitableTimerA(nullptr, FALSE, nullptr));
    LARGE_INTEGER earliest = relative(60000);
    ASSERT_EQ(pf::SetWaitableTimer(timers[0], &earliest, 0, nullptr, nullptr, FALSE), TRUE);
    pf::Sleep(20);  // let a wake-up for the first arming (if any) pass
    const std::uint64_t before = rvsys::platform::posix::TimerServiceWakeups();
    for (int i = 1; i <= 1000; ++i) {
        LARGE_INTEGER later = relative(120000 + i);
        ASSERT_EQ(pf::SetWaitableTimer(timers[i], &later, 0, nullptr, nullptr, FALSE), TRUE);
    }
    for (int i = 1; i <= 500; ++i) pf::CancelWaitableTimer(timers[i]);
    pf::Sleep(20);
    EXPECT_EQ(rvsys::platform::posix::TimerServiceWakeups(), before);

    LARGE_INTEGER soon = relative(1);
    ASSERT_EQ(pf::SetWaitableTimer(timers[1], &soon, 0, nullptr, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(timers[1], 5000), WAIT_OBJECT_0);
    EXPECT_GT(rvsys::platform::posix::TimerServiceWakeups(), before);
    for (HANDLE timer : timers) pf::CloseHandle(timer);
}
