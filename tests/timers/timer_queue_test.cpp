// TimersAndEventManager's queue operations: outside requests and their order,
// clearing and moving by predicate, and allocation failure.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "support/test_support.h"
#include "timers/loop_harness.h"

using rvsys::test::LoopTest;
using TimerEntry = LoopTest::TimerEntry;

namespace {

int gNullCalls = 0;
void CountNull(void* userData) {
    if (userData == nullptr) ++gNullCalls;
}

int gOffered = 0;

using TimerQueue = LoopTest;

}  // namespace

TEST_F(TimerQueue, OutsideRemovalTakesEveryTimerWithItsUserDataInRequestOrder) {
    static char addedThenRemoved[] = "addedThenRemoved";
    static char removedThenAdded[] = "removedThenAdded";
    static char shared[] = "shared";
    gNullCalls = 0;
    const auto base = Now();
    loop->AddTimerFromOutside(base, &LoopTest::Record, addedThenRemoved);
    loop->RemoveTimerFromOutside(addedThenRemoved);
    loop->RemoveTimerFromOutside(removedThenAdded);
    loop->AddTimerFromOutside(base, &LoopTest::Record, removedThenAdded);
    EXPECT_TRUE(loop->IsTimersQueueEmpty());  // queued, not yet applied
    AddAt(base + 10, shared);
    loop->AddTimerFromCallback(base + 20, &CountNull, shared);  // another callback, same data
    AddAt(base + 500, shared);                                  // not due yet: removed all the same
    loop->AddTimerFromCallback(base + 30, &CountNull, nullptr);
    loop->RemoveTimerFromOutside(shared);
    loop->RemoveTimerFromOutside(nullptr);
    EXPECT_TRUE(Run(6));
    EXPECT_EQ(fired, "removedThenAdded@1");
    EXPECT_EQ(gNullCalls, 0);
}

TEST_F(TimerQueue, ClearAllAlsoDropsQueuedRequests) {
    const auto base = Now();
    AddAt(base, "queued");
    loop->AddTimerFromOutside(base, &LoopTest::Record, const_cast<char*>("outside"));
    loop->ClearAllTimersFromCallback();
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(fired, "");
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

TEST_F(TimerQueue, ClearIfAppliesQueuedRequestsThenOffersEachTimerOnce) {
    const auto base = Now();
    AddAt(base + 10, "a");
    AddAt(base + 20, "b");
    loop->AddTimerFromOutside(base + 15, &LoopTest::Record, const_cast<char*>("outside"));
    gOffered = 0;
    loop->ClearTimersFromCallbackIf([](const TimerEntry& e) {
        ++gOffered;
        return LoopTest::Named(e, "outside a");
    });
    EXPECT_EQ(gOffered, 3);
    EXPECT_EQ(Listing(base), "b+20");
    loop->ClearTimersFromCallbackIf(nullptr);  // selects nothing
    EXPECT_EQ(Listing(base), "b+20");
}

TEST_F(TimerQueue, AdjustPutsMovedTimersAfterUnmovedOnesAndKeepsTheirOrder) {
    const auto base = Now();
    for (const char* name : {"A", "B", "C", "D", "E"}) {
        AddAt(base + 10 * static_cast<unsigned long long>(name[0] - 'A' + 1), name);
    }
    // Shift 0 on every timer changes nothing.
    loop->AdjustTimersFromCallbackIf([](const TimerEntry&) { return true; }, 0);
    EXPECT_EQ(Listing(base), "A+10 B+20 C+30 D+40 E+50");
    // A lands on C's key and goes after it; D is offered once although its
    // new key lies further on.
    gOffered = 0;
    loop->AdjustTimersFromCallbackIf(
        [](const TimerEntry& e) {
            ++gOffered;
            return LoopTest::Named(e, "A D");
        },
        20);
    EXPECT_EQ(gOffered, 5);
    EXPECT_EQ(Listing(base), "B+20 C+30 A+30 E+50 D+60");
    // Moved timers landing on one key keep their order; a negative shift
    // moves earlier, and keys wrap modulo 2^64.
    loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return LoopTest::Named(e, "B C A"); }, -5);
    EXPECT_EQ(Listing(base), "B+15 C+25 A+25 E+50 D+60");
    loop->ClearAllTimersFromCallback();
    AddAt(5, "low");
    loop->AdjustTimersFromCallbackIf([](const TimerEntry&) { return true; }, -10);
    EXPECT_EQ(Listing(0), "low+-5");
    // A throwing predicate leaves every timer queued, those selected before it moved.
    AddAt(10, "moved");
    AddAt(20, "thrower");
    EXPECT_THROW(loop->AdjustTimersFromCallbackIf(
                     [](const TimerEntry& e) {
                         if (LoopTest::Named(e, "thrower")) throw std::runtime_error("predicate");
                         return true;
                     },
                     100),
                 std::runtime_error);
    EXPECT_EQ(Listing(0), "thrower+20 moved+110 low+-5");
}

TEST_F(TimerQueue, RelativeDelaysCountFromTheLoopsTimeUnsigned) {
    const auto base = Now();
    loop->AddTimerFromCallback(250u, &LoopTest::Record, const_cast<char*>("soon"));
    loop->AddTimerFromCallback(std::numeric_limits<unsigned int>::max(), &LoopTest::Record,
                               const_cast<char*>("far"));
    EXPECT_EQ(Listing(base), "soon+250 far+4294967295");
    loop->SetRealTime();
    const auto wall = Now();
    loop->AddTimerFromCallback(0u, &LoopTest::Record, const_cast<char*>("wall"));
    EXPECT_EQ(wall, rvsys::test::ScriptedClock::kWallStartMs);  // read through the clock seam
    EXPECT_EQ(Listing(base), "soon+250 far+4294967295 wall+" + std::to_string(wall - base));
}

TEST_F(TimerQueue, OutsideRequestsWithoutMemoryAreLostAlone) {
    static char kept[] = "kept";
    static char lost[] = "lost";
    const auto base = Now();
    AddAt(base + 10, kept);
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->RemoveTimerFromOutside(kept));
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->AddTimerFromOutside(base + 20, &LoopTest::Record, lost));
    rvsys::test::FailNothrowAllocations(0);
    loop->AddTimerFromOutside(base + 30, &LoopTest::Record, const_cast<char*>("added"));
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(fired, "kept@1 added@1");

    rvsys::test::FailNothrowAllocations(1);
    TimersAndEventManager withoutMutex(100);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_NO_THROW(withoutMutex.AddTimerFromOutside(base, &LoopTest::Record, lost));
    withoutMutex.ClearTimersFromCallbackIf(nullptr);  // would apply it, had it been queued
    EXPECT_TRUE(withoutMutex.IsTimersQueueEmpty());
}
