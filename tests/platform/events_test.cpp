// Conformance of events, waits, handles and queued calls (APCs): the same
// assertions hold for the Linux layer and for the Windows API.
#include <random>

#include "conformance.h"

namespace {

struct Events : testing::Test {
    ~Events() override { pf::CloseHandle(event); }
    HANDLE event = NewEvent();
};
using QueuedCalls = Events;
using Waits = Events;

std::vector<int> gLog;  // the queued calls run, all on the test's thread
void RVSYS_WINAPI Record(ULONG_PTR value) { gLog.push_back(static_cast<int>(value)); }
void RVSYS_WINAPI QueueAnother(ULONG_PTR value) {
    Record(value);
    if (value < 3) pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), value + 1);
}

}  // namespace

// Auto-reset: a signal without waiters is kept for one wait, not counted;
// with blocked waiters each signal releases exactly one and is not kept, also
// two signals back to back (where "set a flag and notify" loses one).
TEST_F(Events, AutoResetReleasesOneWaitPerSignal) {
    pf::SetEvent(event);
    pf::SetEvent(event);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        ExpectEachSignalWakesOneOfThree(event, 2, [&](int n) {
            for (int i = 0; i < n; ++i) pf::SetEvent(event);
        });
        EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        ASSERT_FALSE(HasFailure());
    }
}

// A signal racing a timeout is either taken by the waiter or still pending.
TEST_F(Events, ASignalRacingATimeoutIsTakenOrKept) {
    std::mt19937 random(12345);  // NOLINT(cert-msc51-cpp): a fixed seed makes a failure repeatable
    for (int round = 0; round < 300; ++round) {
        const auto timeout = static_cast<DWORD>(random() % 3);
        DWORD result = 0;
        std::thread waiter([&] { result = pf::WaitForSingleObject(event, timeout); });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        pf::SetEvent(event);
        waiter.join();
        const bool kept = pf::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        ASSERT_EQ((result == WAIT_OBJECT_0) + kept, 1) << "round " << round;
    }
}

// Null, closed and forged handles, and objects of another type, fail with 6
// (also the semaphore a thread used last, which the layer keeps at hand).
TEST_F(Events, BadHandlesFailWithError6) {
    HANDLE closed = NewEvent();
    HANDLE closedSemaphore = pf::CreateSemaphoreA(nullptr, 1, 2, nullptr);
    ASSERT_EQ(pf::WaitForSingleObject(closedSemaphore, 0), WAIT_OBJECT_0);  // the last one this thread used
    pf::CloseHandle(closed);
    pf::CloseHandle(closedSemaphore);
    const std::function<bool()> fails[] = {
        [] { return pf::SetEvent(nullptr) == FALSE; },
        [&] { return pf::SetEvent(closed) == FALSE; },
        [&] { return pf::CloseHandle(closed) == FALSE; },
        [&] { return pf::WaitForSingleObject(closed, 0) == WAIT_FAILED; },
        [&] { return pf::ReleaseSemaphore(closedSemaphore, 1, nullptr) == FALSE; },
        [] { return pf::ResetEvent(reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 7)) == FALSE; },
        [] { return pf::SetEvent(pf::GetCurrentThread()) == FALSE; },
        [&] { return pf::ReleaseSemaphore(event, 1, nullptr) == FALSE; },
        [&] { return Arm(event, 0) == FALSE; },
    };
    for (std::size_t i = 0; i < std::size(fails); ++i) {
        pf::SetLastError(0);
        EXPECT_TRUE(fails[i]()) << "call " << i;
        EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE}) << "call " << i;
    }
}

// Queued calls wait for an alertable wait (not Sleep), which runs all pending
// ones in FIFO order (those queued by a call too) and returns 192.
TEST_F(QueuedCalls, RunOnlyInAlertableWaitsInOrder) {
    gLog.clear();
    ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), 1), 0u);
    ASSERT_NE(pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), 2), 0u);
    pf::Sleep(5);
    EXPECT_TRUE(gLog.empty());
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(gLog, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_TIMEOUT);
}

// Waits on events, semaphores and the live current process, and sleeps
// (null), never end before their time, also across a whole second (one of
// two 600 ms waits in a row crosses one).
TEST_F(Waits, NeverEndBeforeTheirTimeout) {
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, nullptr);
    for (HANDLE object : {event, semaphore, pf::GetCurrentProcess(), HANDLE{nullptr}}) {
        for (DWORD timeout : {1u, 10u, 35u, 600u, 600u}) {
            const auto start = Clock::now();
            if (object == nullptr) {
                pf::Sleep(timeout);
            } else {
                EXPECT_EQ(pf::WaitForSingleObject(object, timeout), WAIT_TIMEOUT);
            }
            EXPECT_GE(ElapsedMs(start), std::int64_t{timeout});
        }
    }
    pf::CloseHandle(semaphore);
}
