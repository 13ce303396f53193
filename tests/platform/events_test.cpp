// Conformance of events, waits, handles and queued calls (APCs): the same
// assertions hold for the Linux layer and for the Windows API.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

HANDLE NewEvent(bool manual = false) { return pf::CreateEventA(nullptr, manual, FALSE, nullptr); }

// `count` threads that each wait once, without limit, on `event`; constructed
// once all of them sleep in that wait.
struct BlockedWaiters {
    BlockedWaiters(HANDLE event, int count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, event, i] {
                pf::GetCurrentThreadId();  // the layer knows this thread before it announces itself
                tids[i] = rvsys::test::KernelThreadId();
                if (pf::WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) woken.fetch_add(1);
            });
        }
        for (int i = 0; i < count; ++i) {
            while (tids[i].load() == 0) std::this_thread::yield();
            EXPECT_TRUE(rvsys::test::WaitUntilBlocked(tids[i]));
        }
    }
    void Join() {
        for (auto& thread : threads) thread.join();
        threads.clear();
    }
    ~BlockedWaiters() { Join(); }
    std::atomic<long> tids[8] = {};
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
};

std::mutex gLogLock;
std::vector<int> gLog;
HANDLE gEventToSignal = nullptr;

void RVSYS_WINAPI Record(ULONG_PTR value) {
    std::lock_guard<std::mutex> guard(gLogLock);
    gLog.push_back(static_cast<int>(value));
}
std::vector<int> TakeLog() {
    std::lock_guard<std::mutex> guard(gLogLock);
    return std::exchange(gLog, {});
}
void RVSYS_WINAPI QueueAnother(ULONG_PTR value) {
    Record(value);
    if (value < 3) pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), value + 1);
}
void RVSYS_WINAPI SignalEvent(ULONG_PTR value) {
    Record(value);
    pf::SetEvent(gEventToSignal);
}

HANDLE DuplicateOwnHandle() {
    HANDLE self = nullptr;
    EXPECT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    return self;
}

}  // namespace

// Auto-reset: a signal without waiters is kept, not counted, for one wait; with
// blocked waiters each signal releases exactly one of them and is not kept.
TEST(Events, AutoResetReleasesExactlyOneWaitPerSignal) {
    HANDLE event = NewEvent();
    EXPECT_EQ(pf::SetEvent(event), TRUE);
    EXPECT_EQ(pf::SetEvent(event), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    BlockedWaiters waiters(event, 4);
    for (int released = 1; released <= 4; ++released) {
        pf::SetEvent(event);
        ASSERT_TRUE(rvsys::test::Eventually([&] { return waiters.woken.load() == released; }));
        std::this_thread::sleep_for(rvsys::test::Ms(5));
        EXPECT_EQ(waiters.woken.load(), released);
    }
    waiters.Join();
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    pf::CloseHandle(event);
}

// Manual reset: releases every waiter and stays set until reset.
TEST(Events, ManualResetReleasesAllAndStaysSetUntilReset) {
    HANDLE event = NewEvent(true);
    BlockedWaiters waiters(event, 3);
    pf::SetEvent(event);
    waiters.Join();
    EXPECT_EQ(waiters.woken.load(), 3);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::ResetEvent(event), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    pf::CloseHandle(event);
}

// Two quick signals release two blocked waiters (a hand-off inside SetEvent,
// where "set a flag and notify" loses one now and then); a signal racing a
// timeout is either taken by the waiter or still pending.
TEST(Events, SignalsAreNeverLost) {
    for (int round = 0; round < 100; ++round) {
        HANDLE event = NewEvent();
        BlockedWaiters waiters(event, 2);
        pf::SetEvent(event);
        pf::SetEvent(event);
        waiters.Join();
        ASSERT_EQ(waiters.woken.load(), 2) << "round " << round;
        pf::CloseHandle(event);
    }
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        HANDLE event = NewEvent();
        const auto timeout = static_cast<DWORD>(random() % 3);
        const auto delay = std::chrono::microseconds(random() % 3000);
        DWORD result = 0;
        std::thread waiter([&] { result = pf::WaitForSingleObject(event, timeout); });
        std::this_thread::sleep_for(delay);
        pf::SetEvent(event);
        waiter.join();
        ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT);
        const bool left = pf::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        ASSERT_EQ((result == WAIT_OBJECT_0) + left, 1) << "round " << round;
        pf::CloseHandle(event);
    }
}

// Waits and sleeps never end before their time, on the current process's
// pseudo-handle too (a live process is not signalled).
TEST(Waits, NeverEndBeforeTheirTimeout) {
    HANDLE event = NewEvent();
    for (DWORD timeout : {1u, 10u, 35u}) {
        auto start = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(event, timeout), WAIT_TIMEOUT);
        EXPECT_GE(ElapsedMs(start), std::int64_t{timeout});
        start = Clock::now();
        pf::Sleep(timeout);
        EXPECT_GE(ElapsedMs(start), std::int64_t{timeout});
        start = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(pf::GetCurrentProcess(), timeout), WAIT_TIMEOUT);
        EXPECT_GE(ElapsedMs(start), std::int64_t{timeout});
    }
    pf::CloseHandle(event);
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
    LARGE_INTEGER due{};
    failsWith6(pf::SetEvent(thread), FALSE);
    failsWith6(pf::ReleaseSemaphore(event, 1, nullptr), FALSE);
    failsWith6(pf::SetWaitableTimer(event, &due, 0, nullptr, nullptr, FALSE), FALSE);
    failsWith6(pf::CancelWaitableTimer(event), FALSE);
    pf::CloseHandle(thread);

    DWORD result = 0;
    std::atomic<long> tid{0};
    std::thread waiter([&] {
        pf::GetCurrentThreadId();
        tid = rvsys::test::KernelThreadId();
        result = pf::WaitForSingleObject(event, 200);
    });
    while (tid.load() == 0) std::this_thread::yield();
    rvsys::test::WaitUntilBlocked(tid);
    EXPECT_EQ(pf::CloseHandle(event), TRUE);
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
}

// Queued calls run only in alertable waits, all pending ones in FIFO order
// (calls queued by a call too), and the wait returns 192; a signalled object
// wins over pending calls; a call may signal the awaited object.
TEST(QueuedCalls, RunOnlyInAlertableWaitsInOrder) {
    TakeLog();
    HANDLE event = NewEvent();
    ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), 1), 0u);
    ASSERT_NE(pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), 2), 0u);
    EXPECT_EQ(pf::WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    pf::Sleep(5);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 5, FALSE), WAIT_TIMEOUT);
    pf::SetEvent(event);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 1000, TRUE), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(TakeLog(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_TIMEOUT);

    gEventToSignal = event;
    ASSERT_NE(pf::QueueUserAPC(SignalEvent, pf::GetCurrentThread(), 4), 0u);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(TakeLog(), std::vector<int>{4});
    pf::CloseHandle(event);
}

// A call queued from another thread ends a blocked alertable sleep; calls
// left at a thread's exit are dropped, and queueing to it then fails.
TEST(QueuedCalls, CrossThreadWakeAndThreadExit) {
    TakeLog();
    HANDLE self = DuplicateOwnHandle();
    const long tid = rvsys::test::KernelThreadId();
    std::thread queuer([&] {
        rvsys::test::WaitUntilBlocked(tid);
        pf::QueueUserAPC(Record, self, 9);
    });
    EXPECT_EQ(pf::SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
    queuer.join();
    EXPECT_EQ(TakeLog(), std::vector<int>{9});
    pf::CloseHandle(self);

    HANDLE worker = nullptr;
    std::thread([&] {
        worker = DuplicateOwnHandle();
        pf::QueueUserAPC(Record, pf::GetCurrentThread(), 4);
    }).join();
    EXPECT_EQ(pf::WaitForSingleObject(worker, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeLog().empty());
    pf::SetLastError(0);
    EXPECT_EQ(pf::QueueUserAPC(Record, worker, 1), 0u);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_GEN_FAILURE});
    pf::CloseHandle(worker);
}
