// Conformance of events and waits: the same assertions hold for the Linux
// emulation and for the real Windows API.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Slack;

namespace {

struct Event {
    explicit Event(bool manual = false, bool initial = false)
        : handle(pf::CreateEventA(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr)) {}
    ~Event() { pf::CloseHandle(handle); }
    HANDLE handle;
};

// Starts `count` threads that each wait once (without limit) on `event` and
// returns when all of them sleep in that wait.
class BlockedWaiters {
public:
    BlockedWaiters(HANDLE event, int count, DWORD timeout = INFINITE) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, event, timeout] {
                pf::GetCurrentThreadId();  // the layer knows this thread before it announces itself
                tids[slots.fetch_add(1)] = rvsys::test::KernelThreadId();
                ready.fetch_add(1);
                if (pf::WaitForSingleObject(event, timeout) == WAIT_OBJECT_0) woken.fetch_add(1);
            });
        }
        while (ready.load() < count) std::this_thread::yield();
        for (int i = 0; i < count; ++i) EXPECT_TRUE(rvsys::test::WaitUntilBlocked(tids[i]));
    }
    void Join() {
        for (auto& t : threads) t.join();
        threads.clear();
    }
    ~BlockedWaiters() { Join(); }

    std::atomic<int> slots{0};
    std::atomic<int> ready{0};
    std::atomic<int> woken{0};
    std::atomic<long> tids[16] = {};
    std::vector<std::thread> threads;
};

}  // namespace

TEST(AutoResetEvent, SignalWithoutWaiterIsKeptForExactlyOneWait) {
    Event event;
    EXPECT_EQ(pf::SetEvent(event.handle), TRUE);
    EXPECT_EQ(pf::SetEvent(event.handle), TRUE);  // binary state: no counting
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(AutoResetEvent, EachSignalReleasesExactlyOneOfManyBlockedWaiters) {
    Event event;
    BlockedWaiters waiters(event.handle, 4);
    for (int released = 1; released <= 4; ++released) {
        pf::SetEvent(event.handle);
        ASSERT_TRUE(rvsys::test::Eventually([&] { return waiters.woken.load() == released; }));
        // No second waiter is released by the same signal, and it is not kept.
        std::this_thread::sleep_for(rvsys::test::Ms(5));
        EXPECT_EQ(waiters.woken.load(), released);
    }
    waiters.Join();
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(AutoResetEvent, TwoQuickSignalsReleaseBothBlockedWaiters) {
    // "Set a flag and notify" loses the second signal now and then; a hand-off
    // to the waiter inside SetEvent never does.
    for (int round = 0; round < 100; ++round) {
        Event event;
        BlockedWaiters waiters(event.handle, 2);
        pf::SetEvent(event.handle);
        pf::SetEvent(event.handle);
        waiters.Join();
        ASSERT_EQ(waiters.woken.load(), 2) << "round " << round;
    }
}

TEST(AutoResetEvent, SignalRacingATimeoutIsNeverLost) {
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        Event event;
        const auto timeout = static_cast<DWORD>(random() % 3);
        const int delayUs = static_cast<int>(random() % 3000);
        DWORD result = 0;
        std::thread waiter([&] { result = pf::WaitForSingleObject(event.handle, timeout); });
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        pf::SetEvent(event.handle);
        waiter.join();
        const bool consumed = result == WAIT_OBJECT_0;
        const bool left = pf::WaitForSingleObject(event.handle, 0) == WAIT_OBJECT_0;
        ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT);
        ASSERT_EQ(consumed + left, 1) << "round " << round;  // taken by the waiter or still pending
    }
}

TEST(ManualResetEvent, ReleasesEveryWaiterAndStaysSetUntilReset) {
    Event event(true);
    BlockedWaiters waiters(event.handle, 3);
    pf::SetEvent(event.handle);
    waiters.Join();
    EXPECT_EQ(waiters.woken.load(), 3);
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::ResetEvent(event.handle), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(Event, InitialStateAndReset) {
    Event setAuto(false, true);
    EXPECT_EQ(pf::ResetEvent(setAuto.handle), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(setAuto.handle, 0), WAIT_TIMEOUT);
    Event setManual(true, true);
    EXPECT_EQ(pf::WaitForSingleObject(setManual.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(setManual.handle, 0), WAIT_OBJECT_0);
}

TEST(Wait, NeverReturnsBeforeItsTimeout) {
    Event event;
    for (DWORD timeout : {1u, 10u, 35u}) {
        const auto start = Clock::now();
        EXPECT_EQ(pf::WaitForSingleObject(event.handle, timeout), WAIT_TIMEOUT);
        EXPECT_GE(ElapsedMs(start), static_cast<std::int64_t>(timeout));
        const auto sleepStart = Clock::now();
        pf::Sleep(timeout);
        EXPECT_GE(ElapsedMs(sleepStart), static_cast<std::int64_t>(timeout));
    }
}

TEST(Wait, SignalFromAnotherThreadEndsAnUnlimitedWait) {
    Event event;
    std::thread signaller([&] {
        std::this_thread::sleep_for(rvsys::test::Ms(20));
        pf::SetEvent(event.handle);
    });
    EXPECT_EQ(pf::WaitForSingleObject(event.handle, INFINITE), WAIT_OBJECT_0);
    signaller.join();
}

TEST(Handles, InvalidClosedAndForgedHandlesFailWithError6) {
    pf::SetLastError(0);
    EXPECT_EQ(pf::WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE closed = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(pf::GetLastError(), 0u);  // creation clears the last error
    ASSERT_EQ(pf::CloseHandle(closed), TRUE);
    pf::SetLastError(0);
    EXPECT_EQ(pf::CloseHandle(closed), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetEvent(closed), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    pf::SetLastError(0);
    EXPECT_EQ(pf::WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);

    for (std::uintptr_t forged : {std::uintptr_t{0x1234}, std::uintptr_t{0x7FFFFFF0}, ~std::uintptr_t{0} - 7}) {
        pf::SetLastError(0);
        EXPECT_EQ(pf::ResetEvent(reinterpret_cast<HANDLE>(forged)), FALSE);
        EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(Handles, EventCallsOnAThreadHandleFail) {
    HANDLE self = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetEvent(self), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    pf::CloseHandle(self);
}

TEST(Handles, WaitOnCurrentProcessPseudoHandleTimesOut) {
    const auto start = Clock::now();
    EXPECT_EQ(pf::WaitForSingleObject(pf::GetCurrentProcess(), 20), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 20);
}

TEST(Handles, ClosingTheHandleDuringAWaitLeavesTheWaitOnTheObject) {
    HANDLE event = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD result = 0;
    std::thread waiter([&] {
        pf::GetCurrentThreadId();
        result = pf::WaitForSingleObject(event, 150);
    });
    std::this_thread::sleep_for(rvsys::test::Ms(20));
    EXPECT_EQ(pf::CloseHandle(event), TRUE);
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
}
