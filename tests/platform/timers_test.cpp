// Conformance of waitable timers: due times, signal states, completion routines.
#include "conformance.h"

namespace {

std::atomic<int> gCalls{0};

void RVSYS_WINAPI Count(LPVOID, DWORD, DWORD) { gCalls.fetch_add(1); }
void RVSYS_WINAPI CountThenCancel(LPVOID timer, DWORD, DWORD) {
    Count(nullptr, 0, 0);
    pf::CancelWaitableTimer(timer);
}

struct Timers : testing::Test {
    void SetUp() override { gCalls = 0; }
    void TearDown() override {
        for (HANDLE timer : {sync, manual}) pf::CloseHandle(timer);
    }
    HANDLE sync = pf::CreateWaitableTimerA(nullptr, FALSE, nullptr);
    HANDLE manual = pf::CreateWaitableTimerA(nullptr, TRUE, nullptr);
};

}  // namespace

// Zero and past absolute due times expire at once, for one wait.
TEST_F(Timers, PastDueTimesExpireAtOnceForOneWait) {
    FILETIME now;
    pf::GetSystemTimeAsFileTime(&now);
    const auto past = static_cast<std::int64_t>(std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) - 10000;
    for (std::int64_t due : {std::int64_t{0}, std::int64_t{1}, past}) {
        ASSERT_EQ(Arm(sync, due), TRUE);
        const auto setAt = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(sync, 5000), WAIT_OBJECT_0);
        EXPECT_LT(ElapsedMs(setAt), 1000);
        EXPECT_EQ(pf::WaitForSingleObject(sync, 0), WAIT_TIMEOUT);
    }
}

// Expiries while the routine waits to run coalesce into one call (the routine
// cancels the timer, so that expiries during its delivery, slow under Wine,
// cannot queue a second call).
TEST_F(Timers, ExpiriesWhileTheRoutineWaitsCoalesce) {
    ASSERT_EQ(Arm(sync, -5, 5, CountThenCancel), TRUE);
    pf::Sleep(200);
    EXPECT_EQ(pf::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(gCalls.load(), 1);
}

// Cancel after an expiry withdraws the queued call; the signal stays.
TEST_F(Timers, CancelWithdrawsAQueuedRoutine) {
    Arm(manual, -5, 0, Count);
    pf::Sleep(50);
    EXPECT_EQ(pf::CancelWaitableTimer(manual), TRUE);
    EXPECT_EQ(pf::SleepEx(0, TRUE), 0u);
    EXPECT_EQ(pf::WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(gCalls.load(), 0);
}

// A setter's exit cancels the timers it set with a routine, and only those.
TEST_F(Timers, SetterExitCancelsItsRoutineTimersOnly) {
    RVSYS_SKIP_ON_WINE("a timer whose setting thread has exited still fires and signals");
    std::thread([&] {
        Arm(sync, -40, 0, Count);
        Arm(manual, -40);
    }).join();
    EXPECT_EQ(pf::WaitForSingleObject(manual, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(sync, 100), WAIT_TIMEOUT);
    EXPECT_EQ(gCalls.load(), 0);
}
