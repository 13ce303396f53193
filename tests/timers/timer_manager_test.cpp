// TimerManager: the timer table, its thread and its callbacks.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/TimerManager.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/test_support.h"

using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Ms;

namespace {

// What the callbacks saw: id, user data, thread and time, in order.
struct Call {
    unsigned long id;
    void* userData;
    unsigned long thread;
    Clock::time_point at;
};

std::mutex gCallsLock;
std::vector<Call> gCalls;

void Record(unsigned long id, void* userData) {
    std::lock_guard<std::mutex> guard(gCallsLock);
    gCalls.push_back({id, userData, Thread::GetCurrentThreadID(false), Clock::now()});
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(gCallsLock);
    return gCalls;
}

int CallsOf(unsigned long id) {
    int n = 0;
    for (const Call& call : Calls()) n += call.id == id ? 1 : 0;
    return n;
}

bool WaitForCalls(unsigned long id, int count) {
    return rvsys::test::Eventually([&] { return CallsOf(id) >= count; });
}

class TimerManagerTest : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> guard(gCallsLock);
        gCalls.clear();
    }
    TimerManager manager;
};

// A callback that runs a test-supplied action once, on the timer thread.
std::function<void()> gAction;  // guarded by gCallsLock
void SetAction(std::function<void()> action) {
    std::lock_guard<std::mutex> guard(gCallsLock);
    gAction = std::move(action);
}
void RunAction(unsigned long id, void* userData) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(gCallsLock);
        action.swap(gAction);
    }
    Record(id, userData);
    if (action) action();
}

}  // namespace

TEST_F(TimerManagerTest, StartAndStopFollowTheThreadsLife) {
    EXPECT_EQ(manager.AddTimer(1, Record, nullptr, 10, 1, 0), 0);  // not started
    EXPECT_EQ(manager.Stop(), 0);
    ASSERT_EQ(manager.Start(), 1);
    EXPECT_EQ(manager.Start(), 1);  // already running: unchanged
    EXPECT_EQ(manager.IsRunning(), 1);
    EXPECT_EQ(manager.Stop(), 1);
    EXPECT_EQ(manager.Stop(), 0);
    EXPECT_EQ(manager.IsRunning(), 0);
    EXPECT_EQ(manager.Start(), 1);  // again after a stop
    EXPECT_EQ(manager.Stop(), 1);
}

TEST_F(TimerManagerTest, AddRefusesBadRequests) {
    ASSERT_EQ(manager.Start(), 1);
    EXPECT_EQ(manager.AddTimer(0, Record, nullptr, 10, 1, 0), 0);
    EXPECT_EQ(manager.AddTimer(5, nullptr, nullptr, 10, 1, 0), 0);
    ASSERT_EQ(manager.AddTimer(5, Record, nullptr, 10000, 0, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return manager.AddTimer(5, Record, nullptr, 10, 1, 0) == 0; }));
    EXPECT_EQ(manager.ResetTimer(6, 10, 1, 0, nullptr, nullptr), 0);  // not running
    EXPECT_EQ(manager.RemoveTimer(6), 0);
    EXPECT_EQ(manager.RemoveTimer(5), 1);
    EXPECT_EQ(manager.RemoveTimer(5), 0);
}

TEST_F(TimerManagerTest, CountedTimerFiresExactlyCountTimesOnTheTimerThreadThenFreesItsId) {
    ASSERT_EQ(manager.Start(), 1);
    int marker = 0;
    const auto added = Clock::now();
    ASSERT_EQ(manager.AddTimer(7, Record, &marker, 20, 3, 15), 1);
    ASSERT_EQ(manager.AddTimer(8, Record, nullptr, 5, 2, 0), 1);
    ASSERT_TRUE(WaitForCalls(7, 3));
    ASSERT_TRUE(WaitForCalls(8, 2));
    Thread::Sleep(60);  // a fourth expiry would come by now
    const auto calls = Calls();
    EXPECT_EQ(CallsOf(7), 3);
    EXPECT_EQ(CallsOf(8), 2);
    std::vector<Clock::time_point> times;
    for (const Call& call : calls) {
        EXPECT_EQ(call.thread, calls.front().thread);
        EXPECT_NE(call.thread, Thread::GetCurrentThreadID(false));
        if (call.id == 7) {
            EXPECT_EQ(call.userData, &marker);
            times.push_back(call.at);
        }
    }
    ASSERT_EQ(times.size(), 3u);
    // Due 20, 35 and 50 ms after arming (which follows the AddTimer call): never sooner.
    EXPECT_GE(std::chrono::duration_cast<Ms>(times[0] - added).count(), 20);
    EXPECT_GE(std::chrono::duration_cast<Ms>(times[2] - added).count(), 50);
    EXPECT_EQ(manager.RemoveTimer(7), 0);  // gone by itself
    EXPECT_EQ(manager.AddTimer(7, Record, nullptr, 10000, 1, 0), 1);
}

TEST_F(TimerManagerTest, ZeroDueTimesAndPeriods) {
    ASSERT_EQ(manager.Start(), 1);
    ASSERT_EQ(manager.AddTimer(1, Record, nullptr, 0, 0, 0), 1);     // once, at once, stays until removed
    ASSERT_EQ(manager.AddTimer(2, Record, nullptr, -50, 1, 20), 1);  // a due time below 0 is due at once too
    ASSERT_TRUE(WaitForCalls(1, 1));
    ASSERT_TRUE(WaitForCalls(2, 1));
    Thread::Sleep(30);
    EXPECT_EQ(CallsOf(1), 1);
    EXPECT_EQ(manager.RemoveTimer(1), 1);
    EXPECT_EQ(manager.RemoveTimer(2), 0);
}

// The waitable timer refuses a negative period, so the thread drops the addition.
TEST_F(TimerManagerTest, NegativePeriodDropsTheAdditionSilently) {
    RVSYS_SKIP_ON_WINE("SetWaitableTimer accepts a negative period, so the timer is armed");
    ASSERT_EQ(manager.Start(), 1);
    ASSERT_EQ(manager.AddTimer(3, Record, nullptr, 5, 0, -10), 1);
    ASSERT_EQ(manager.AddTimer(5, Record, nullptr, -50, 1, 0), 1);  // period 0 stands for the due time, here negative
    ASSERT_EQ(manager.AddTimer(4, Record, nullptr, 5, 1, 0), 1);
    ASSERT_TRUE(WaitForCalls(4, 1));  // the thread has drained all three
    Thread::Sleep(30);
    EXPECT_EQ(CallsOf(3), 0);
    EXPECT_EQ(CallsOf(5), 0);
    EXPECT_EQ(manager.RemoveTimer(3), 0);
    EXPECT_EQ(manager.RemoveTimer(5), 0);
    EXPECT_EQ(manager.AddTimer(3, Record, nullptr, 5, 1, 0), 1);
}

TEST_F(TimerManagerTest, QueueOperationsFromACallbackSeeTheQueuedState) {
    // Inside a callback the thread drains nothing, so every step below meets
    // the queues exactly as it leaves them.
    ASSERT_EQ(manager.Start(), 1);
    std::atomic<int> stage{0};
    long results[6] = {};
    SetAction([&] {
        results[0] = manager.AddTimer(40, Record, reinterpret_cast<void*>(1), 10000, 0, 0);
        results[1] = manager.AddTimer(40, Record, reinterpret_cast<void*>(2), 5, 1, 0);  // replaces the first
        results[2] = manager.ResetTimer(40, 5, 1, 0, nullptr, nullptr);                  // not armed yet
        results[3] = manager.AddTimer(41, Record, nullptr, 5, 1, 0);
        results[4] = manager.RemoveTimer(41);                                            // only queued
        results[5] = manager.RemoveTimer(40) + manager.AddTimer(40, Record, reinterpret_cast<void*>(2), 5, 1, 0);
        stage = 1;
    });
    ASSERT_EQ(manager.AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return stage.load() == 1; }));
    ASSERT_TRUE(WaitForCalls(40, 1));
    Thread::Sleep(30);
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(results[3], 1);
    EXPECT_EQ(results[4], 1);
    EXPECT_EQ(results[5], 2);
    EXPECT_EQ(CallsOf(40), 1);
    EXPECT_EQ(CallsOf(41), 0);
    for (const Call& call : Calls()) {
        if (call.id == 40) {
            EXPECT_EQ(call.userData, reinterpret_cast<void*>(2));
        }
    }
}

TEST_F(TimerManagerTest, ResetKeepsWhatItIsNotGiven) {
    ASSERT_EQ(manager.Start(), 1);
    int first = 0;
    int second = 0;
    ASSERT_EQ(manager.AddTimer(9, Record, &first, 10000, 3, 10000), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return manager.ResetTimer(9, 10, 0, 0, nullptr, nullptr) == 1; }));
    // Due 10 ms from the reset, then every 10 ms (the new due time), three in all.
    ASSERT_TRUE(WaitForCalls(9, 3));
    Thread::Sleep(50);
    EXPECT_EQ(CallsOf(9), 3);
    for (const Call& call : Calls()) EXPECT_EQ(call.userData, &first);

    // A limited timer cannot become unlimited; an unlimited one can get a limit.
    ASSERT_EQ(manager.AddTimer(10, Record, &first, 10000, 0, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return manager.ResetTimer(10, 5, 2, 5, Record, &second) == 1; }));
    ASSERT_TRUE(WaitForCalls(10, 2));
    Thread::Sleep(40);
    EXPECT_EQ(CallsOf(10), 2);
    EXPECT_EQ(manager.RemoveTimer(10), 0);
}

TEST_F(TimerManagerTest, RemovedTimerNeverStartsAgain) {
    ASSERT_EQ(manager.Start(), 1);
    // From its own callback.
    SetAction([&] { EXPECT_EQ(manager.RemoveTimer(11), 1); });
    ASSERT_EQ(manager.AddTimer(11, RunAction, nullptr, 1, 0, 1), 1);
    ASSERT_TRUE(WaitForCalls(11, 1));
    Thread::Sleep(30);
    EXPECT_EQ(CallsOf(11), 1);

    // From another thread, while the callback runs: it finishes, then nothing.
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    SetAction([&] {
        inside = true;
        while (!release.load()) std::this_thread::yield();
    });
    ASSERT_EQ(manager.AddTimer(12, RunAction, nullptr, 1, 0, 1), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return inside.load(); }));
    EXPECT_EQ(manager.RemoveTimer(12), 1);
    const int before = CallsOf(12);
    release = true;
    Thread::Sleep(30);
    EXPECT_EQ(CallsOf(12), before);
}

TEST_F(TimerManagerTest, NoCallbackAfterStopReturnsAndEverythingIsCleared) {
    ASSERT_EQ(manager.Start(), 1);
    for (unsigned long id = 1; id <= 20; ++id) ASSERT_EQ(manager.AddTimer(id, Record, nullptr, 1, 0, 1), 1);
    ASSERT_TRUE(WaitForCalls(20, 2));
    EXPECT_EQ(manager.Stop(), 1);
    const size_t seen = Calls().size();
    Thread::Sleep(30);
    EXPECT_EQ(Calls().size(), seen);
    for (unsigned long id = 1; id <= 20; ++id) EXPECT_EQ(manager.RemoveTimer(id), 0);
    ASSERT_EQ(manager.Start(), 1);
    EXPECT_EQ(manager.AddTimer(1, Record, nullptr, 1, 1, 0), 1);
}

TEST_F(TimerManagerTest, StopFromACallbackIsRefusedAndTheManagerGoesOn) {
    ASSERT_EQ(manager.Start(), 1);
    std::atomic<long> stopped{-1};
    SetAction([&] { stopped = manager.Stop(); });
    ASSERT_EQ(manager.AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return stopped.load() != -1; }));
    EXPECT_EQ(stopped.load(), 0);
    EXPECT_EQ(manager.IsRunning(), 1);
    EXPECT_EQ(manager.AddTimer(2, Record, nullptr, 1, 1, 0), 1);
    EXPECT_TRUE(WaitForCalls(2, 1));
}

TEST(TimerManager, DestroyedFromItsOwnCallbackWithoutDeadlock) {
    auto* manager = new TimerManager;
    ASSERT_EQ(manager->Start(), 1);
    void* thread = nullptr;
    std::atomic<bool> deleted{false};
    SetAction([&] {
        thread = Thread::GetCurrentThread(true);
        manager->AddTimer(99, Record, nullptr, 10000, 0, 0);  // left for the destructor
        delete manager;
        deleted = true;
    });
    ASSERT_EQ(manager->AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return deleted.load(); }));
    EXPECT_EQ(Thread::WaitForThread(thread, 5000, nullptr), 0ul);  // the thread ended after the callback
}

TEST(TimerManager, CallbackOutlivingStopAbandonsTheManager) {
    auto manager = std::make_unique<TimerManager>();
    ASSERT_EQ(manager->Start(), 1);
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    SetAction([&] {
        inside = true;
        while (!release.load()) std::this_thread::yield();
    });
    ASSERT_EQ(manager->AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_EQ(manager->AddTimer(2, Record, nullptr, 10000, 0, 0), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return inside.load(); }));
    const auto start = Clock::now();
    EXPECT_EQ(manager->Stop(), 0);  // waited 1000 ms, then terminated
    EXPECT_GE(ElapsedMs(start), 1000);
    EXPECT_EQ(manager->IsRunning(), 0);
    EXPECT_EQ(manager->Start(), 0);  // abandoned
    EXPECT_EQ(manager->AddTimer(3, Record, nullptr, 1, 1, 0), 0);
    EXPECT_EQ(manager->RemoveTimer(2), 1);
    manager.reset();  // frees what is left
    release = true;   // the callback returns; its thread ends without touching anything
    Thread::Sleep(20);
}

TEST(TimerManager, CopiesShareButOnlyTheCreatorReleases) {
    TimerManager original;
    ASSERT_EQ(original.Start(), 1);
    {
        TimerManager copy(original);
        EXPECT_EQ(copy.Start(), 0);
        EXPECT_EQ(copy.AddTimer(1, Record, nullptr, 10000, 0, 0), 1);
        EXPECT_EQ(copy.Stop(), 0);
        TimerManager assigned;
        assigned = original;
        EXPECT_EQ(assigned.RemoveTimer(1), 1);
    }
    EXPECT_EQ(original.IsRunning(), 1);
    EXPECT_EQ(original.AddTimer(2, Record, nullptr, 1, 1, 0), 1);
    EXPECT_TRUE(WaitForCalls(2, 1));
    EXPECT_EQ(original.Stop(), 1);
}

TEST(TimerManager, StartsAndStopsAThousandTimes) {
    TimerManager manager;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(manager.Start(), 1);
        if (i % 10 == 0) manager.AddTimer(1, Record, nullptr, 0, 1, 0);
        ASSERT_EQ(manager.Stop(), 1);
    }
}
