// Conformance of events, waits, handles and queued calls (APCs): the same
// assertions hold for the Linux layer and for the Windows API.
#include <random>
#include <utility>

#include "conformance.h"

namespace {

HANDLE NewEvent() { return pf::CreateEventA(nullptr, FALSE, FALSE, nullptr); }

std::vector<int> gLog;  // the queued calls run, all on the test's thread
HANDLE gEventToSignal = nullptr;
void RVSYS_WINAPI Record(ULONG_PTR value) { gLog.push_back(static_cast<int>(value)); }
void RVSYS_WINAPI QueueAnother(ULONG_PTR value) {
    Record(value);
    if (value < 3) pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), value + 1);
}
void RVSYS_WINAPI SignalEvent(ULONG_PTR value) {
    Record(value);
    pf::SetEvent(gEventToSignal);
}

}  // namespace

// Auto-reset: a signal without waiters is kept, not counted, for one wait; with
// blocked waiters each signal releases exactly one of them and is not kept,
// also for two signals back to back (a hand-off inside SetEvent, where "set a
// flag and notify" loses one now and then).
TEST(Events, AutoResetReleasesExactlyOneWaitPerSignal) {
    HANDLE event = NewEvent();
    EXPECT_EQ(pf::SetEvent(event), TRUE);
    EXPECT_EQ(pf::SetEvent(event), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    for (int round = 0; round < 100; ++round) {
        BlockedWaiters waiters(event, 3);
        pf::SetEvent(event);
        pf::SetEvent(event);
        ASSERT_TRUE(rvsys::test::Eventually([&] { return waiters.woken.load() == 2; })) << "round " << round;
        std::this_thread::sleep_for(rvsys::test::Ms(5));
        ASSERT_EQ(waiters.woken.load(), 2) << "round " << round;
        pf::SetEvent(event);
        waiters.Join();
        ASSERT_EQ(waiters.woken.load(), 3) << "round " << round;
    }
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    pf::CloseHandle(event);
}

// A signal racing a timeout is either taken by the waiter or still pending.
TEST(Events, ASignalRacingATimeoutIsTakenOrKept) {
    std::mt19937 random(12345);  // NOLINT(cert-msc51-cpp): a fixed seed makes a failure repeatable
    for (int round = 0; round < 300; ++round) {
        HANDLE event = NewEvent();
        const auto timeout = static_cast<DWORD>(random() % 3);
        DWORD result = 0;
        std::thread waiter([&] { result = pf::WaitForSingleObject(event, timeout); });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        pf::SetEvent(event);
        waiter.join();
        ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT);
        const bool left = pf::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        ASSERT_EQ((result == WAIT_OBJECT_0) + left, 1) << "round " << round;
        pf::CloseHandle(event);
    }
}

// Null, closed and forged handles, and objects of another type, fail with
// error 6; a wait whose handle is closed meanwhile stays on the object.
TEST(Handles, BadHandlesFailWithError6) {
    auto failsWith6 = [](auto result, auto failed) {
        EXPECT_EQ(result, failed);
        EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});
        pf::SetLastError(0);
    };
    HANDLE closed = NewEvent();
    EXPECT_EQ(pf::GetLastError(), 0u);  // creation clears the last error
    ASSERT_EQ(pf::CloseHandle(closed), TRUE);
    for (HANDLE bad : {HANDLE{nullptr}, closed}) {
        failsWith6(pf::WaitForSingleObject(bad, 0), WAIT_FAILED);
        failsWith6(pf::SetEvent(bad), FALSE);
        failsWith6(pf::CloseHandle(bad), FALSE);
    }
    for (std::uintptr_t forged : {std::uintptr_t{0x1234}, std::uintptr_t{0x7FFFFFF0}, ~std::uintptr_t{0} - 7}) {
        failsWith6(pf::ResetEvent(reinterpret_cast<HANDLE>(forged)), FALSE);
    }
    HANDLE thread = DuplicateOwnHandle();
    HANDLE event = NewEvent();
    failsWith6(pf::SetEvent(thread), FALSE);
    failsWith6(pf::ReleaseSemaphore(event, 1, nullptr), FALSE);
    failsWith6(Arm(event, 0), FALSE);
    pf::CloseHandle(thread);
    BlockedWaiters waiter(event, 1, 200);
    EXPECT_EQ(pf::CloseHandle(event), TRUE);
    waiter.Join();
    EXPECT_EQ(waiter.last.load(), WAIT_TIMEOUT);
}

// Queued calls run only in alertable waits (not in Sleep), all pending ones in
// FIFO order (calls queued by a call too), and the wait returns 192; a call may
// signal the awaited object.
TEST(QueuedCalls, RunOnlyInAlertableWaitsInOrder) {
    gLog.clear();
    HANDLE event = NewEvent();
    ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), 1), 0u);
    ASSERT_NE(pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), 2), 0u);
    pf::Sleep(5);
    EXPECT_TRUE(gLog.empty());
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(std::exchange(gLog, {}), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_TIMEOUT);
    gEventToSignal = event;
    ASSERT_NE(pf::QueueUserAPC(SignalEvent, pf::GetCurrentThread(), 4), 0u);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(gLog, std::vector<int>{4});
    pf::CloseHandle(event);
}

// Waits on events and semaphores, and sleeps, never end before their time;
// nor does a wait on the current process's pseudo-handle (a live process is
// not signalled).
TEST(Waits, NeverEndBeforeTheirTimeout) {
    HANDLE event = NewEvent();
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, nullptr);
    ASSERT_NE(semaphore, nullptr);
    for (DWORD timeout : {1u, 10u, 35u}) {
        for (HANDLE object : {event, semaphore, pf::GetCurrentProcess(), HANDLE{nullptr}}) {
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
    pf::CloseHandle(event);
}

// A wait whose end lies past the next whole second of the clock keeps its
// length: of two 600 ms waits in a row, at least one crosses a second.
TEST(Waits, CrossingASecondKeepsTheirLength) {
    HANDLE event = NewEvent();
    for (int i = 0; i < 2; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(event, 600), WAIT_TIMEOUT);
        EXPECT_GE(ElapsedMs(start), 600);
    }
    pf::CloseHandle(event);
}
