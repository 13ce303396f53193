// TimerManager: the timer thread, its queues and its life cycle.
#include <rvsysutils/Thread.h>
#include <rvsysutils/TimerManager.h>

#include <algorithm>
#include <mutex>

#include "support/test_support.h"

using rvsys::test::Clock;
using rvsys::test::Eventually;

namespace {

struct Call {  // what a callback saw
    unsigned long id;
    void* userData;
    unsigned long thread;
    Clock::time_point at;
};
std::mutex gLock;
std::vector<Call> gCalls;
// Run by the next RunAction callback, once. Set before the timer is added,
// which orders it before the timer thread reads it.
std::function<void()> gAction;
std::atomic<bool> gInside, gRelease;

void Record(unsigned long id, void* userData) {
    std::lock_guard<std::mutex> guard(gLock);
    gCalls.push_back({id, userData, Thread::GetCurrentThreadID(false), Clock::now()});
}
void RunAction(unsigned long id, void* userData) {
    const std::function<void()> action = std::exchange(gAction, nullptr);
    Record(id, userData);
    if (action) action();
}
void Hold() {  // blocks its callback until gRelease
    gInside = true;
    while (!gRelease.load()) std::this_thread::yield();
}
// The calls of `id` (0: every call).
std::vector<Call> CallsOf(unsigned long id) {
    std::lock_guard<std::mutex> guard(gLock);
    std::vector<Call> calls;
    std::copy_if(gCalls.begin(), gCalls.end(), std::back_inserter(calls),
                 [&](const Call& c) { return !id || c.id == id; });
    return calls;
}
// Waits for `count` calls of `id`, then a moment in which an extra one would come.
size_t Settled(unsigned long id, size_t count) {
    Eventually([&] { return CallsOf(id).size() >= count; });
    Thread::Sleep(50);
    return CallsOf(id).size();
}
using Counts = std::vector<size_t>;
void* Data(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

class TimerManagerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(manager.Start(), 1);
        gCalls.clear();
        gAction = nullptr;
        gInside = gRelease = false;
    }
    TimerManager manager;
};

}  // namespace

// A timer fires its count (0: once, then stays until removed), then is gone;
// zero and negative due times are due at once.
TEST_F(TimerManagerTest, ATimerFiresItsCountOnTheTimerThreadThenIsGone) {
    ASSERT_EQ(manager.AddTimer(7, Record, nullptr, 20, 3, 15), 1);
    ASSERT_EQ(manager.AddTimer(8, Record, nullptr, 5, 2, 0), 1);  // period 0: the due time
    ASSERT_EQ(manager.AddTimer(1, Record, nullptr, 0, 0, 0), 1);
    ASSERT_EQ(manager.AddTimer(2, Record, nullptr, -50, 1, 20), 1);
    EXPECT_EQ((Counts{Settled(7, 3), Settled(8, 2), Settled(1, 1), Settled(2, 1)}), (Counts{3, 2, 1, 1}));
    for (const Call& call : CallsOf(0)) EXPECT_EQ(call.thread, CallsOf(7)[0].thread);
    EXPECT_EQ(manager.RemoveTimer(7), 0);
    EXPECT_EQ(manager.RemoveTimer(1), 1);
}

// The waitable timer refuses a negative period: the thread drops the addition
// and nothing of it is left.
TEST_F(TimerManagerTest, AnAdditionThatFailsToArmLeavesNoTrace) {
    RVSYS_SKIP_ON_WINE("SetWaitableTimer accepts a negative period, so the timer is armed");
    ASSERT_EQ(manager.AddTimer(3, Record, nullptr, 5, 0, -10), 1);
    ASSERT_EQ(manager.AddTimer(4, Record, nullptr, 5, 1, 0), 1);
    EXPECT_EQ(Settled(4, 1), 1u);  // the thread has drained both
    EXPECT_EQ(CallsOf(3).size(), 0u);
    EXPECT_EQ(manager.RemoveTimer(3), 0);
}

// Inside a callback the thread drains nothing, so each call meets the queues as
// the previous one left them.
TEST_F(TimerManagerTest, ACallbackMeetsTheQueuesAsItsPreviousCallLeftThem) {
    std::vector<long> results;
    std::atomic<bool> done{false};
    gAction = [&] {
        results = {manager.AddTimer(41, Record, Data(1), 10000, 0, 0),
                   manager.AddTimer(41, Record, Data(2), 5, 1, 0),     // replaces the queued one
                   manager.ResetTimer(41, 5, 1, 0, nullptr, nullptr),  // not armed yet: refused
                   manager.AddTimer(42, Record, nullptr, 5, 1, 0),
                   manager.RemoveTimer(42),                             // only queued
                   manager.ResetTimer(40, 5, 1, 0, nullptr, nullptr),   // stays queued past the removal,
                   manager.RemoveTimer(40),                             // removed in its own callback,
                   manager.AddTimer(40, Record, Data(3), 10000, 0, 0),  // and applies to the new timer
                   manager.Stop()};                                     // refused here
        done = true;
    };
    ASSERT_EQ(manager.AddTimer(40, RunAction, Data(4), 0, 0, 1), 1);  // every 1 ms until removed
    ASSERT_TRUE(Eventually([&] { return done.load(); }));
    EXPECT_EQ(results, (std::vector<long>{1, 1, 0, 1, 1, 1, 1, 1, 0}));
    ASSERT_EQ((Counts{Settled(40, 2), Settled(41, 1)}), (Counts{2, 1}));
    EXPECT_EQ(CallsOf(42).size(), 0u);
    EXPECT_EQ(CallsOf(40)[1].userData, Data(3));
    EXPECT_EQ(CallsOf(41)[0].userData, Data(2));
}

// From another thread, a reset keeps the callback, user data and count it is
// not given: a limited timer stays limited, an unlimited one can get a limit.
TEST_F(TimerManagerTest, ResetFromAnotherThreadKeepsWhatItIsNotGiven) {
    ASSERT_EQ(manager.AddTimer(9, Record, Data(1), 10000, 3, 10000), 1);
    ASSERT_EQ(manager.AddTimer(10, Record, Data(1), 10000, 0, 0), 1);
    ASSERT_TRUE(Eventually([&] { return manager.ResetTimer(9, 10, 0, 0, nullptr, nullptr) == 1; }));
    ASSERT_TRUE(Eventually([&] { return manager.ResetTimer(10, 5, 2, 5, Record, Data(2)) == 1; }));
    EXPECT_EQ((Counts{Settled(9, 3), Settled(10, 2)}), (Counts{3, 2}));  // 9: every 10 ms, the new due time
    for (const Call& call : CallsOf(10)) EXPECT_EQ(call.userData, Data(2));
}

// Everything is released at once; the thread ends when the callback returns.
TEST_F(TimerManagerTest, CanBeDestroyedFromItsOwnCallback) {
    auto* owned = new TimerManager;
    ASSERT_EQ(owned->Start(), 1);
    void* thread = nullptr;
    std::atomic<bool> deleted{false};
    gAction = [&] {
        thread = Thread::GetCurrentThread(true);
        owned->AddTimer(99, Record, nullptr, 10000, 0, 0);  // left for the destructor
        delete owned;
        deleted = true;
    };
    ASSERT_EQ(owned->AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_TRUE(Eventually([&] { return deleted.load(); }));
    EXPECT_EQ(Thread::WaitForThread(thread, 5000, nullptr), 0ul);
}

// Stop waits 1000 ms, terminates the thread and abandons the manager, which
// then refuses everything but RemoveTimer and its destruction.
TEST_F(TimerManagerTest, ACallbackOutlivingStopLeavesTheManagerAbandoned) {
    auto* owned = new TimerManager;
    ASSERT_EQ(owned->Start(), 1);
    gAction = Hold;
    ASSERT_EQ(owned->AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_EQ(owned->AddTimer(2, Record, nullptr, 10000, 0, 0), 1);
    ASSERT_TRUE(Eventually([&] { return gInside.load(); }));
    const auto start = Clock::now();
    EXPECT_EQ(owned->Stop(), 0);
    EXPECT_GE(rvsys::test::ElapsedMs(start), 1000);
    EXPECT_EQ(owned->IsRunning(), 0);
    EXPECT_EQ(owned->Start(), 0);
    EXPECT_EQ(owned->AddTimer(3, Record, nullptr, 1, 1, 0), 0);
    EXPECT_EQ(owned->RemoveTimer(2), 1);
    delete owned;     // frees what is left
    gRelease = true;  // the callback returns; its thread ends without touching anything
    Thread::Sleep(20);
}

TEST_F(TimerManagerTest, StopDropsEveryTimer) {
    EXPECT_EQ(manager.AddTimer(2, Record, nullptr, 1, 0, 10000), 1);  // runs until removed
    EXPECT_EQ(Settled(2, 1), 1u);
    EXPECT_EQ(manager.Stop(), 1);
    ASSERT_EQ(manager.Start(), 1);
    EXPECT_EQ(manager.RemoveTimer(2), 0);
}

// Expiry k comes at or after the addition + (k + 1) periods, however late the
// callbacks before it ran, and the expiries do not slide off that grid.
TEST_F(TimerManagerTest, PeriodicExpiriesStayOnTheirGrid) {
    const auto added = Clock::now();
    ASSERT_EQ(manager.AddTimer(1, Record, nullptr, 50, 0, 50), 1);
    ASSERT_TRUE(Eventually([] { return CallsOf(1).size() >= 60; }, rvsys::test::Ms(20000)));
    ASSERT_EQ(manager.RemoveTimer(1), 1);
    std::vector<Clock::time_point> times;
    for (const Call& call : CallsOf(1)) times.push_back(call.at);
    for (std::size_t k = 0; k < times.size(); ++k) EXPECT_GE(times[k] - added, rvsys::test::Ms(50 * (k + 1)));
    EXPECT_LT(rvsys::test::GridDriftMs(times, added, rvsys::test::Ms(50), 10), 1.5 * rvsys::test::TimeScale());
}
// RemoveTimer may come at any time, and AddTimer and ResetTimer find the
// manager running or not, while Start makes and Stop destroys what they use.
TEST_F(TimerManagerTest, ChangesFromAnotherThreadRaceStartStopSafely) {
    ASSERT_EQ(manager.Stop(), 1);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (unsigned long id = 1; !done.load(); id = id % 50 + 1) {
            manager.AddTimer(id, Record, nullptr, 100000, 1, 0);
            manager.ResetTimer(id, 100000, 1, 0, nullptr, nullptr);
            manager.RemoveTimer(id);
        }
    });
    int cycles = 0;
    while (cycles < 1000 && manager.Start() == 1 && manager.Stop() == 1) ++cycles;
    done = true;
    changer.join();
    EXPECT_EQ(cycles, 1000);
    EXPECT_TRUE(CallsOf(0).empty());
}

// A due time counts from the call, however late the busy timer thread arms it:
// with the thread held in a callback for holdMs, timer 2 is added or reset to
// dueMs, and fires max(holdMs, dueMs) after the call.
struct Carry {
    const char* name;
    bool reset;
    int holdMs, dueMs;
};
void PrintTo(const Carry& carry, std::ostream* out) { *out << carry.name; }
class DueTimeTest : public TimerManagerTest, public testing::WithParamInterface<Carry> {};

TEST_P(DueTimeTest, CountsFromTheCallNotFromArming) {
    const auto [name, reset, holdMs, dueMs] = GetParam();
    if (reset) {
        ASSERT_EQ(manager.AddTimer(2, Record, nullptr, 100000, 1, 0), 1);
        ASSERT_TRUE(Eventually([&] { return manager.ResetTimer(2, 100000, 1, 0, nullptr, nullptr) == 1; }));
    }
    gAction = Hold;
    ASSERT_EQ(manager.AddTimer(1, RunAction, nullptr, 0, 1, 0), 1);
    ASSERT_TRUE(Eventually([] { return gInside.load(); }));
    const auto called = Clock::now();
    ASSERT_EQ(reset ? manager.ResetTimer(2, dueMs, 1, 0, nullptr, nullptr)
                    : manager.AddTimer(2, Record, nullptr, dueMs, 1, 0),
              1);
    Thread::Sleep(static_cast<unsigned long>(holdMs));
    gRelease = true;
    ASSERT_EQ(Settled(2, 1), 1u);
    const auto firedMs = std::chrono::duration_cast<rvsys::test::Ms>(CallsOf(2)[0].at - called).count();
    const int expectedMs = std::max(holdMs, dueMs);
    EXPECT_GE(firedMs, expectedMs);
    EXPECT_LT(firedMs, expectedMs + rvsys::test::Slack(180).count());  // not a full due time after the hold
}
INSTANTIATE_TEST_SUITE_P(Carry, DueTimeTest,
                         testing::Values(Carry{"Addition", false, 300, 350}, Carry{"Reset", true, 300, 350},
                                         Carry{"AdditionDueMeanwhile", false, 500, 200}),
                         [](const testing::TestParamInfo<Carry>& carry) { return std::string(carry.param.name); });
