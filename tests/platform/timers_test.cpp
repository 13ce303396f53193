// Conformance of waitable timers: due times, completion routines.
#include "conformance.h"

namespace {

std::atomic<int> gCalls{0};
void RVSYS_WINAPI CountThenCancel(LPVOID timer, DWORD, DWORD) {
    gCalls.fetch_add(1);
    pf::CancelWaitableTimer(timer);
}

struct Timers : testing::Test {
    ~Timers() override { pf::CloseHandle(sync); }
    HANDLE sync = pf::CreateWaitableTimerA(nullptr, FALSE, nullptr);
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
