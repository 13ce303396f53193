// TimersAndEventManager's loop on a scripted clock: which pass fires which
// timer, clock-jump detection, and how the loop ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "timers/loop_harness.h"

using rvsys::test::LoopTest;
using TimerEntry = LoopTest::TimerEntry;

namespace {

void LogJump(void*, int shiftSeconds) {
    LoopTest::Record(const_cast<char*>(("jump" + std::to_string(shiftSeconds)).c_str()));
}

void Cease(void* test) { static_cast<TimersAndEventManager*>(test)->CeaseExecution(); }

class EventLoop : public LoopTest {
protected:
    // Wall-clock base; pass n comes deviation[n-1] ms off the expected time
    // (the wall clock moves by one period plus that, the tick by one period).
    bool RunDeviating(const std::vector<std::int64_t>& deviation, bool withCallback = true) {
        loop->SetRealTime();
        if (withCallback) loop->SetTimeHasChangedCallback(&LogJump);
        return Run(static_cast<int>(deviation.size()),
                   [&](int n) { clock.JumpWall(deviation[static_cast<size_t>(n - 1)]); });
    }
};

}  // namespace

TEST_F(EventLoop, FiresInKeyOrderInTheFirstPassStrictlyPastTheKey) {
    const auto base = Now();
    AddAt(base + 150, "A");
    AddAt(base + 100, "B");  // equal to pass 1's time: not yet due
    AddAt(base + 100, "C");
    AddAt(base + 250, "D");
    AddAt(base + 99, "E");
    EXPECT_TRUE(Run(3));
    EXPECT_EQ(fired, "E@1 B@2 C@2 A@2 D@3");
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

namespace {
std::vector<std::intptr_t> gOrder;
void RecordIndex(void* index) { gOrder.push_back(reinterpret_cast<std::intptr_t>(index)); }
}  // namespace

TEST_F(EventLoop, EqualKeysFireInInsertionOrderByTheHundred) {
    gOrder.clear();
    const auto base = Now();
    // 900 timers on three keys, interleaved; the last 300 come from outside,
    // so they are inserted when pass 1 applies them, after the others.
    for (std::intptr_t i = 0; i < 900; ++i) {
        const unsigned long long key = base + 10 * static_cast<unsigned long long>(2 - i % 3);
        if (i < 600) {
            loop->AddTimerFromCallback(key, &RecordIndex, reinterpret_cast<void*>(i));
        } else {
            loop->AddTimerFromOutside(key, &RecordIndex, reinterpret_cast<void*>(i));
        }
    }
    EXPECT_TRUE(Run(1));
    std::vector<std::intptr_t> expected;
    for (std::intptr_t group = 2; group >= 0; --group) {
        for (std::intptr_t i = group; i < 900; i += 3) expected.push_back(i);
    }
    EXPECT_EQ(gOrder, expected);
}

namespace {
// Pass 1 fires "walker" first; it changes the queue under the firing walk.
void Walker(void* name) {
    LoopTest::Record(name);
    auto& test = LoopTest::Current();
    TimersAndEventManager& loop = *test.loop;
    const unsigned long long base = loop.GetKeyTime() - 100;  // pass 1's time is base + 100
    test.AddAt(base + 5, "past");                       // already due: fires in this pass
    loop.AddTimerFromCallback(0u, &LoopTest::Record, const_cast<char*>("zero"));  // key == now: next pass
    loop.ClearTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "victim"); });
    loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "postponed"); }, 150);
    loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "early"); }, -450);
}
}  // namespace

TEST_F(EventLoop, CallbacksChangeTheQueueDuringTheFiringWalk) {
    const auto base = Now();
    loop->AddTimerFromCallback(base + 10, &Walker, const_cast<char*>("walker"));
    AddAt(base + 20, "victim");
    AddAt(base + 30, "postponed");  // to base + 180: pass 2
    AddAt(base + 40, "after");
    AddAt(base + 500, "early");  // to base + 50: still pass 1
    EXPECT_TRUE(Run(2));
    EXPECT_EQ(fired, "walker@1 past@1 after@1 early@1 zero@2 postponed@2");
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

TEST_F(EventLoop, JumpTolerancesAndTheSecondsReported) {
    // Backwards the tolerance is 200 ms, forwards period/5 + 500 ms; the jump
    // is reported in whole seconds, truncated toward zero.
    struct Case {
        unsigned int period;
        std::vector<std::int64_t> deviation;  // of each pass from its expected time
        const char* jumps;
    };
    for (const Case& c : {Case{1000, {0, -500, -150, -200, -201, 700, 701, 1999, 2000, -1000, -2500},
                               "jump0@2 jump0@5 jump0@7 jump1@8 jump2@9 jump-1@10 jump-2@11"},
                          Case{100, {520, 521, 0, 3600000, 0, -3600000, 0}, "jump0@2 jump3600@4 jump-3600@6"},
                          Case{0, {500, 501, -200, -201}, "jump0@2 jump0@4"}}) {
        UsePeriod(c.period);
        fired.clear();
        EXPECT_TRUE(RunDeviating(c.deviation));
        EXPECT_EQ(fired, c.jumps) << "period " << c.period;
    }
    // The uptime base reports nothing, so nothing is thrown without a callback.
    UsePeriod(100);
    fired.clear();
    EXPECT_TRUE(Run(3, [&](int) { clock.JumpWall(3600000); }));
    EXPECT_EQ(fired, "");
}

TEST_F(EventLoop, JumpWithoutCallbackThrowsAfterApplyingRequestsAndBeforeFiring) {
    static char removed[] = "removed";
    loop->SetRealTime();
    const auto base = Now();
    AddAt(base + 50, removed);
    AddAt(base + 60, "kept");
    loop->RemoveTimerFromOutside(removed);
    int thrown = 0;
    try {
        RunDeviating({10000}, false);
    } catch (int value) {
        thrown = value;
    }
    EXPECT_EQ(thrown, -1);
    EXPECT_EQ(pass, 1);
    EXPECT_EQ(fired, "");
    EXPECT_EQ(Listing(base), "kept+60");

    // The loop can be started again; it measures from its new start.
    loop->SetTimeHasChangedCallback(&LogJump);
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(fired, "kept@1");
}

namespace {
void MoveAheadAndDropDue(void*, int shiftSeconds) {
    LoopTest::Record(const_cast<char*>(("jump" + std::to_string(shiftSeconds)).c_str()));
    TimersAndEventManager& loop = *LoopTest::Current().loop;
    loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "ahead"); }, -1000);
    loop.ClearTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "due"); });
}
}  // namespace

TEST_F(EventLoop, TimeChangeCallbackRunsBeforeThePassFiresItsTimers) {
    loop->SetRealTime();
    loop->SetTimeHasChangedCallback(&MoveAheadAndDropDue);
    const auto base = Now();
    AddAt(base + 50, "due");
    AddAt(base + 10100 + 500, "ahead");  // 500 ms past pass 1's time
    EXPECT_TRUE(Run(1, [&](int) { clock.JumpWall(10000); }));
    EXPECT_EQ(fired, "jump10@1 ahead@1");
}

namespace {
char gDue2[] = "due2";
void QueueBehindTheCease(void* name) {
    LoopTest::Record(name);
    TimersAndEventManager& loop = *LoopTest::Current().loop;
    LoopTest::Current().AddAt(loop.GetKeyTime() + 50, gDue2);  // due in pass 2, which ceases
    loop.RemoveTimerFromOutside(gDue2);                         // applied only if pass 2 went on
}
}  // namespace

TEST_F(EventLoop, CeaseFromTheEventCallbackEndsBeforeRequestsAndTimers) {
    const auto base = Now();
    loop->AddTimerFromCallback(base + 50, &QueueBehindTheCease, const_cast<char*>("t"));
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(pass, 2);
    EXPECT_EQ(fired, "t@1");
    EXPECT_FALSE(loop->IsTimersQueueEmpty());
}

TEST_F(EventLoop, CeaseFromATimerLetsThePassFinishAndCeaseBeforeStartIsIgnored) {
    const auto base = Now();
    AddAt(base + 10, "a");
    loop->AddTimerFromCallback(base + 20, &Cease, loop.get());
    AddAt(base + 30, "b");
    AddAt(base + 150, "next");
    loop->CeaseExecution();  // Start sets the loop running again
    EXPECT_TRUE(Run(5));
    EXPECT_EQ(pass, 1);
    EXPECT_EQ(fired, "a@1 b@1");
    EXPECT_FALSE(loop->IsTimersQueueEmpty());
}

TEST_F(EventLoop, SignalledEventWithoutCallbackCallsNothing) {
    const auto base = Now();
    loop->AddTimerFromCallback(base - 1, &Cease, loop.get());
    loop->AddTimerFromCallback(base - 1, nullptr, nullptr);  // dropped when due
    event.SetEvent();
    EXPECT_TRUE(loop->Start(event));
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}
