// TimersAndEventManager: on a scripted clock, which pass fires which timer, the
// queue operations, clock jumps and how the loop ends; then with real threads
// and real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "timers/loop_harness.h"

using rvsys::test::LoopTest;
using TimerEntry = LoopTest::TimerEntry;
using EventLoop = LoopTest;

namespace {

void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }
void LogJump(void*, int seconds) { LoopTest::Record(const_cast<char*>(("jump" + std::to_string(seconds)).c_str())); }
std::vector<std::intptr_t> gOrder;
void RecordIndex(void* index) { gOrder.push_back(reinterpret_cast<std::intptr_t>(index)); }

}  // namespace

// A timer fires in the first pass strictly past its key, earliest first; equal
// keys fire in the order they were added, hundreds of them, outside ones last.
TEST_F(EventLoop, FiresInKeyOrderInTheFirstPassStrictlyPastTheKey) {
    const auto base = Now();
    Add(base, "A+150 B+100 C+100 D+250 E+99");  // B, C: equal to pass 1's time, not yet due
    loop->AddTimerFromCallback(std::numeric_limits<unsigned int>::max(), &LoopTest::Record, Name("far"));
    gOrder.clear();
    for (std::intptr_t i = 0; i < 900; ++i) {  // the last 300 are inserted when pass 1 applies them
        const unsigned long long key = base + 10 * static_cast<unsigned long long>(2 - i % 3);
        if (i < 600) loop->AddTimerFromCallback(key, &RecordIndex, reinterpret_cast<void*>(i));
        if (i >= 600) loop->AddTimerFromOutside(key, &RecordIndex, reinterpret_cast<void*>(i));
    }
    EXPECT_TRUE(Run(3));
    EXPECT_EQ(fired, "E@1 B@2 C@2 A@2 D@3");
    std::vector<std::intptr_t> expected(900);
    std::iota(expected.begin(), expected.end(), 0);
    std::stable_sort(expected.begin(), expected.end(), [](auto a, auto b) { return a % 3 > b % 3; });  // by key
    EXPECT_EQ(gOrder, expected);
    EXPECT_EQ(Listing(base), "far+4294967295");  // an unsigned delay, counted from the loop's time
}

TEST_F(EventLoop, CallbacksChangeTheQueueDuringTheFiringWalk) {
    const auto base = Now();
    loop->AddTimerFromCallback(base + 10, [](void* name) {  // fired first, changes the queue under the firing walk
        Record(name);
        current->AddAt(current->Now() - 95, "past");  // already due: this pass
        current->loop->AddTimerFromCallback(0u, &Record, Name("zero"));  // key == now: next pass
        current->loop->ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "victim"); });
        current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "postponed"); }, 150);
        current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "early"); }, -450);
    }, Name("walker"));
    Add(base, "victim+20 postponed+30 after+40 early+500");  // postponed to pass 2, early still in pass 1
    EXPECT_TRUE(Run(2));
    EXPECT_EQ(fired, "walker@1 past@1 after@1 early@1 zero@2 postponed@2");
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

// Backwards the tolerance is 200 ms, forwards period/5 + 500 ms; the jump is
// reported in whole seconds, truncated toward zero. The uptime base sees none.
TEST_F(EventLoop, ClockJumpTolerancesAndTheSecondsReported) {
    struct Case {
        unsigned int period;
        std::vector<std::int64_t> deviation;  // of pass n's wall clock from one period on
        const char* jumps;
    };
    for (const Case& c : {Case{1000, {0, -500, -150, -200, -201, 700, 701, 1999, 2000, -1000, -2500},
                               "jump0@2 jump0@5 jump0@7 jump1@8 jump2@9 jump-1@10 jump-2@11"},
                          Case{100, {520, 521, 0, 3600000, 0, -3600000, 0}, "jump0@2 jump3600@4 jump-3600@6"},
                          Case{0, {500, 501, -200, -201}, "jump0@2 jump0@4"}}) {
        loop = std::make_unique<TimersAndEventManager>(period = c.period);
        loop->SetRealTime();
        loop->SetTimeHasChangedCallback(&LogJump);
        fired.clear();
        EXPECT_TRUE(Run(static_cast<int>(c.deviation.size()), [&](int n) { JumpWall(c.deviation[n - 1u]); }));
        EXPECT_EQ(fired, c.jumps) << "period " << c.period;
    }
    loop = std::make_unique<TimersAndEventManager>(period = 100);  // no callback, and no throw
    fired.clear();
    EXPECT_TRUE(Run(3, [&](int) { JumpWall(3600000); }));
    EXPECT_EQ(fired, "");
}

// Without a time-change callback a jump throws -1 once the pass has applied its
// requests, before it fires anything. Started again, the loop measures from its
// new start, and the callback runs before the pass fires, so it can move timers.
TEST_F(EventLoop, JumpWithoutCallbackThrowsAndTheCallbackRunsBeforeFiring) {
    loop->SetRealTime();
    auto base = Now();
    Add(base, "removed+50 kept+60");
    loop->RemoveTimerFromOutside(Name("removed"));
    try {
        Run(1, [&](int) { JumpWall(10000); });
        ADD_FAILURE() << "no throw";
    } catch (int value) {
        EXPECT_EQ(value, -1);
    }
    EXPECT_EQ(pass, 1);
    EXPECT_EQ(Listing(base), "kept+60");
    Add(base = Now(), "due+50 ahead+10600");  // ahead: 500 ms past pass 1's time
    loop->SetTimeHasChangedCallback([](void* data, int seconds) {
        LogJump(data, seconds);
        current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "ahead"); }, -1000);
        current->loop->ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "due"); });
    });
    EXPECT_TRUE(Run(1, [&](int) { JumpWall(10000); }));
    EXPECT_EQ(fired, "jump10@1 kept@1 ahead@1");
}

// Ceased from the event callback, a pass applies and fires nothing; ceased from
// a timer, it fires the rest of its due timers. ClearAll drops queued requests.
TEST_F(EventLoop, CeaseExecutionAndClearAll) {
    const auto base = Now();
    AddAt(base + 50, "due");
    loop->RemoveTimerFromOutside(Name("due"));
    EXPECT_TRUE(Run(1, [&](int) { loop->CeaseExecution(); }));
    EXPECT_EQ(fired, "");
    EXPECT_FALSE(loop->IsTimersQueueEmpty());
    loop->ClearAllTimersFromCallback();
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
    Add(base, "a+0 due+0");
    loop->AddTimerFromCallback(base, &Cease, loop.get());
    loop->AddTimerFromCallback(base, nullptr, nullptr);
    AddAt(base, "b");
    loop->CeaseExecution();  // before Start: no effect
    EXPECT_TRUE(Run(5));
    EXPECT_EQ(fired, "a@1 due@1 b@1");  // the removal was dropped; a null callback is dropped when due
    EXPECT_EQ(pass, 1);
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

// ClearIf applies queued requests first, in order: a removal takes every timer
// with its user data, whatever its callback or key, and additions queued before
// it but not after; then it offers each timer once. Without memory an outside
// request is lost alone, never thrown; so is every request to a manager made
// without memory for its mutex.
TEST_F(EventLoop, OutsideRequestsApplyInOrderOrAreLostAlone) {
    const auto base = Now();
    Add(base, "kept+10 shared+20");
    loop->AddTimerFromCallback(base + 30, &Cease, Name("shared"));
    loop->AddTimerFromCallback(base + 40, &Cease, nullptr);
    loop->AddTimerFromOutside(base + 50, &LoopTest::Record, Name("shared"));
    loop->AddTimerFromOutside(base + 15, &LoopTest::Record, Name("outside"));
    loop->RemoveTimerFromOutside(Name("shared"));
    loop->RemoveTimerFromOutside(nullptr);
    loop->AddTimerFromOutside(base + 60, &LoopTest::Record, Name("shared"));
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->RemoveTimerFromOutside(Name("kept")));
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->AddTimerFromOutside(base + 5, &LoopTest::Record, Name("lost")));
    rvsys::test::FailNothrowAllocations(0);
    loop->AddTimerFromOutside(base + 70, &LoopTest::Record, Name("last"));
    loop->ClearTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "outside"); });
    EXPECT_EQ(offered, 4);
    EXPECT_EQ(Listing(base), "kept+10 shared+60 last+70");

    rvsys::test::FailNothrowAllocations(1);
    TimersAndEventManager withoutMutex(100);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_NO_THROW(withoutMutex.AddTimerFromOutside(base, &LoopTest::Record, Name("lost")));
    withoutMutex.ClearTimersFromCallbackIf(nullptr);  // would apply it, had it been queued
    EXPECT_TRUE(withoutMutex.IsTimersQueueEmpty());
}

TEST_F(EventLoop, AdjustPutsMovedTimersAfterUnmovedOnesAndKeepsTheirOrder) {
    const auto base = Now();
    Add(base, "A+10 B+20 C+30 D+40 E+50");
    // A lands on C's key and goes after it; D is offered once although its new key lies further on.
    loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "A D"); }, 20);
    EXPECT_EQ(offered, 5);
    EXPECT_EQ(Listing(base), "B+20 C+30 A+30 E+50 D+60");
    // Moved timers landing on one key keep their order; negative shifts move earlier, wrapping modulo 2^64.
    loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "B C A"); }, -5);
    EXPECT_EQ(Listing(base), "B+15 C+25 A+25 E+50 D+60");
    loop->ClearAllTimersFromCallback();
    Add(0, "low+5 moved+10 thrower+20");
    loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "low"); }, -10);
    EXPECT_EQ(Listing(0), "moved+10 thrower+20 low+-5");
    // A throwing predicate leaves every timer queued, those selected before it moved.
    const auto throwing = [](const TimerEntry& e) {
        return LoopTest::Named(e, "thrower") ? throw std::runtime_error("predicate") : true;
    };
    EXPECT_THROW(loop->AdjustTimersFromCallbackIf(throwing, 100), std::runtime_error);
    EXPECT_EQ(Listing(0), "thrower+20 moved+110 low+-5");
}

// ---- Real threads, real time ---------------------------------------------------------

namespace {
int gPasses = 0;
void CountPass(void* loop) {
    if (++gPasses == 6) return Cease(loop);
    static_cast<TimersAndEventManager*>(loop)->AddTimerFromCallback(0u, &CountPass, loop);  // due next pass
}
}  // namespace

// Four threads queue additions and removals on the real clock; each models what
// its own requests leave: a removal takes every earlier addition of its user
// data. Timers due at once carry no user data and are only counted; one timer
// due 50 ms after the start fires never early and not much late.
TEST(EventLoopThreads, OutsideRequestsFromFourThreadsMatchAModel) {
    TimersAndEventManager loop(1);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    static std::vector<std::vector<void*>> model, seen;
    model.assign(4, {});
    seen.assign(4, {});
    static std::atomic<int> due;  // timers added minus timers fired
    due = 0;
    const auto countFire = [](void*) { due.fetch_sub(1); };
    static unsigned long long key, firedAt;
    key = loop.GetKeyTime() + 50;
    firedAt = 0;
    loop.AddTimerFromCallback(key, [](void* self) {
        firedAt = static_cast<TimersAndEventManager*>(self)->GetKeyTime();
    }, &loop);
    std::vector<std::thread> workers;
    for (std::uintptr_t t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1u);
            for (int i = 0; i < 3000; ++i) {
                const auto roll = random() % 100;
                void* data = reinterpret_cast<void*>(t * 100 + random() % 32 + 1);
                if (roll < 60) {
                    loop.AddTimerFromOutside(key + 1000000000ull, countFire, data);
                    model[t].push_back(data);
                } else if (roll < 85) {
                    loop.RemoveTimerFromOutside(data);
                    std::erase(model[t], data);
                } else {
                    due.fetch_add(1);
                    loop.AddTimerFromOutside(0, countFire, nullptr);
                }
                if (i % 500 == 0) event.SetEvent();
            }
        });
    }
    // Queued after every request, and after the timed timer if due with it:
    // the pass that fires it has applied every request.
    std::thread closer([&] {
        for (auto& worker : workers) worker.join();
        loop.AddTimerFromOutside(key, &Cease, &loop);
        event.SetEvent();
    });
    EXPECT_TRUE(loop.Start(event));
    closer.join();
    EXPECT_EQ(due.load(), 0);
    EXPECT_GT(firedAt, key);
    EXPECT_LE(firedAt, key + rvsys::test::Slack(2000).count());
    loop.ClearTimersFromCallbackIf([](const TimerEntry& e) {
        seen[(reinterpret_cast<std::uintptr_t>(e.second.second) - 1) / 100].push_back(e.second.second);
        return false;
    });
    EXPECT_EQ(seen, model);
}

// An event never created fails every wait: each pass sleeps its period instead
// of spinning.
TEST(EventLoopThreads, AnUncreatedEventMakesEachPassSleepItsPeriod) {
    TimersAndEventManager loop(10);
    ThreadEvent never;
    gPasses = 0;
    loop.AddTimerFromCallback(0u, &CountPass, &loop);
    const auto start = rvsys::test::Clock::now();
    EXPECT_TRUE(loop.Start(never));
    EXPECT_EQ(gPasses, 6);
    EXPECT_GE(rvsys::test::ElapsedMs(start), 6 * 10);
}
