// Conformance of waitable timers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

struct Timer {
    explicit Timer(bool manual = false) : handle(pf::CreateWaitableTimerA(nullptr, manual ? TRUE : FALSE, nullptr)) {}
    ~Timer() {
        pf::CancelWaitableTimer(handle);
        pf::CloseHandle(handle);
    }
    HANDLE handle;
};

LARGE_INTEGER Relative(std::int64_t milliseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -milliseconds * 10000;
    return due;
}

LARGE_INTEGER Absolute(std::int64_t fileTime) {
    LARGE_INTEGER due;
    due.QuadPart = fileTime;
    return due;
}

std::atomic<int> gRoutineCalls{0};
std::atomic<DWORD> gRoutineThread{0};
std::atomic<std::uint64_t> gRoutineTime{0};

void RVSYS_WINAPI CountRoutine(LPVOID, DWORD low, DWORD high) {
    gRoutineCalls.fetch_add(1);
    gRoutineThread = pf::GetCurrentThreadId();
    gRoutineTime = std::uint64_t{high} << 32 | low;
}

// A routine whose argument is its timer: counts, then stops further expiries.
void RVSYS_WINAPI CountThenCancel(LPVOID timer, DWORD low, DWORD high) {
    CountRoutine(nullptr, low, high);
    pf::CancelWaitableTimer(timer);
}

std::uint64_t NowFileTime() {
    FILETIME now;
    pf::GetSystemTimeAsFileTime(&now);
    return std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
}

void ResetRoutineRecord() {
    gRoutineCalls = 0;
    gRoutineThread = 0;
    gRoutineTime = 0;
}

}  // namespace

TEST(WaitableTimer, RelativeDueTimeIsNeverEarly) {
    Timer timer;
    LARGE_INTEGER due = Relative(30);
    const auto start = Clock::now();
    ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_TIMEOUT);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 5000), WAIT_OBJECT_0);
    EXPECT_GE(ElapsedMs(start), 30);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_TIMEOUT);  // a synchronization timer is consumed
}

TEST(WaitableTimer, ZeroAndPastAbsoluteDueTimesExpireAtOnce) {
    Timer timer(true);
    for (std::int64_t fileTime : {std::int64_t{0}, std::int64_t{1}, static_cast<std::int64_t>(NowFileTime()) - 10000}) {
        LARGE_INTEGER due = Absolute(fileTime);
        ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE), TRUE);
        const auto start = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 5000), WAIT_OBJECT_0);
        EXPECT_LT(ElapsedMs(start), 1000);
    }
}

TEST(WaitableTimer, ManualTimerStaysSignalledUntilSetAgain) {
    Timer timer(true);
    LARGE_INTEGER due = Relative(5);
    pf::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::CancelWaitableTimer(timer.handle), TRUE);  // cancelling keeps the signal
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_OBJECT_0);
    due = Relative(10000);
    pf::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE);  // setting clears it
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_TIMEOUT);
}

TEST(WaitableTimer, NegativePeriodFailsWithError87) {
    RVSYS_SKIP_ON_WINE("SetWaitableTimer accepts a negative period (Windows fails with error 87)");
    Timer timer;
    LARGE_INTEGER due = Relative(5);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetWaitableTimer(timer.handle, &due, -1, nullptr, nullptr, FALSE), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WaitableTimer, TimerCallsOnAnotherObjectFail) {
    LARGE_INTEGER due = Relative(5);
    HANDLE event = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetWaitableTimer(event, &due, 0, nullptr, nullptr, FALSE), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(pf::CancelWaitableTimer(event), FALSE);
    pf::CloseHandle(event);
}

TEST(WaitableTimer, RoutineRunsOnTheSetterOnlyInAnAlertableWait) {
    ResetRoutineRecord();
    Timer timer;
    LARGE_INTEGER due = Relative(10);
    ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 0, CountRoutine, nullptr, FALSE), TRUE);
    pf::Sleep(50);
    EXPECT_EQ(gRoutineCalls.load(), 0);
    EXPECT_EQ(pf::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(gRoutineCalls.load(), 1);
    EXPECT_EQ(gRoutineThread.load(), pf::GetCurrentThreadId());
}

TEST(WaitableTimer, RoutineGetsTheExpiryAsAUtcFileTime) {
    RVSYS_SKIP_ON_WINE("the completion routine's time arguments are a negative monotonic value, not a UTC FILETIME");
    ResetRoutineRecord();
    Timer timer;
    LARGE_INTEGER due = Relative(10);
    const std::uint64_t before = NowFileTime();
    ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 0, CountRoutine, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_GE(gRoutineTime.load(), before + 10 * 10000);
    EXPECT_LE(gRoutineTime.load(), NowFileTime());
}

TEST(WaitableTimer, ExpiriesWhileTheRoutineWaitsCoalesceIntoOneCall) {
    ResetRoutineRecord();
    Timer timer;
    LARGE_INTEGER due = Relative(5);
    // The routine cancels the timer, so expiries during the call's delivery
    // (slow under Wine) cannot queue a second call.
    ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 5, CountThenCancel, timer.handle, FALSE), TRUE);
    pf::Sleep(200);
    EXPECT_EQ(pf::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(gRoutineCalls.load(), 1);
}

TEST(WaitableTimer, CancelOrSetAfterExpiryWithdrawsTheQueuedRoutine) {
    ResetRoutineRecord();
    Timer timer;
    LARGE_INTEGER due = Relative(5);
    pf::SetWaitableTimer(timer.handle, &due, 0, CountRoutine, nullptr, FALSE);
    pf::Sleep(50);
    EXPECT_EQ(pf::CancelWaitableTimer(timer.handle), TRUE);
    EXPECT_EQ(pf::SleepEx(0, TRUE), 0u);  // nothing left to run
    EXPECT_EQ(gRoutineCalls.load(), 0);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_OBJECT_0);  // still signalled

    pf::SetWaitableTimer(timer.handle, &due, 0, CountRoutine, nullptr, FALSE);
    pf::Sleep(50);
    LARGE_INTEGER later = Relative(10000);
    pf::SetWaitableTimer(timer.handle, &later, 0, CountRoutine, nullptr, FALSE);
    EXPECT_EQ(pf::SleepEx(0, TRUE), 0u);
    EXPECT_EQ(gRoutineCalls.load(), 0);
}

TEST(WaitableTimer, SettingASignalledSynchronizationTimerClearsTheSignal) {
    RVSYS_SKIP_ON_WINE("setting a signalled synchronization timer leaves it signalled (only manual timers reset)");
    Timer timer;
    LARGE_INTEGER due = Relative(5);
    pf::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE);
    pf::Sleep(50);
    LARGE_INTEGER later = Relative(10000);
    pf::SetWaitableTimer(timer.handle, &later, 0, nullptr, nullptr, FALSE);
    EXPECT_EQ(pf::WaitForSingleObject(timer.handle, 0), WAIT_TIMEOUT);
}

TEST(WaitableTimer, SetterExitCancelsItsRoutineTimersOnly) {
    RVSYS_SKIP_ON_WINE("a timer whose setting thread has exited still fires and signals");
    ResetRoutineRecord();
    Timer withRoutine(true);
    Timer plain(true);
    std::thread setter([&] {
        LARGE_INTEGER due = Relative(40);
        pf::SetWaitableTimer(withRoutine.handle, &due, 0, CountRoutine, nullptr, FALSE);
        pf::SetWaitableTimer(plain.handle, &due, 0, nullptr, nullptr, FALSE);
    });
    setter.join();
    EXPECT_EQ(pf::WaitForSingleObject(plain.handle, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(withRoutine.handle, 100), WAIT_TIMEOUT);
    EXPECT_EQ(gRoutineCalls.load(), 0);
}

TEST(WaitableTimer, PeriodicRoutineKeepsItsPace) {
    ResetRoutineRecord();
    Timer timer;
    LARGE_INTEGER due = Relative(20);
    const auto start = Clock::now();
    ASSERT_EQ(pf::SetWaitableTimer(timer.handle, &due, 20, CountRoutine, nullptr, FALSE), TRUE);
    while (gRoutineCalls.load() < 10) pf::SleepEx(INFINITE, TRUE);
    // Ten expiries: the tenth is due 200 ms after arming, never sooner.
    EXPECT_GE(ElapsedMs(start), 200);
    EXPECT_LT(ElapsedMs(start), 200 + 300 * rvsys::test::TimeScale());
}

TEST(WaitableTimer, OtherThreadWaitingOnTheTimerWakesAtExpiry) {
    Timer timer;
    LARGE_INTEGER due = Relative(20);
    DWORD result = 0;
    std::thread waiter([&] { result = pf::WaitForSingleObject(timer.handle, 5000); });
    ResetRoutineRecord();
    pf::SetWaitableTimer(timer.handle, &due, 0, CountRoutine, nullptr, FALSE);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(pf::SleepEx(1000, TRUE), WAIT_IO_COMPLETION);  // the routine is still the setter's
    EXPECT_EQ(gRoutineCalls.load(), 1);
}
