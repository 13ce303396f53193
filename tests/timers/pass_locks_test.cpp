// Which locks a pass of TimersAndEventManager takes. The program is linked with
// --wrap for the platform's EnterCriticalSection (Linux, GNU ld), so every
// critical section entered on the loop's thread while recording is counted.
#include <gtest/gtest.h>

#include <set>

#include "timers/loop_harness.h"

namespace {
thread_local std::set<const void*>* tEntered = nullptr;  // recording when set
}  // namespace

extern "C" void __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs);
extern "C" void __wrap__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs) {
    if (tEntered != nullptr) tEntered->insert(cs);
    __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(cs);
}

using PassLocks = rvsys::test::LoopTest;

// An idle pass, or one that fires a timer, takes only the event's lock (around
// its wait); the pass that applies an outside request takes the manager's mutex.
TEST_F(PassLocks, APassWithNothingQueuedTakesOnlyTheEventsLock) {
    std::set<const void*> entered;
    AddAt(Now() + 150, "timer");
    tEntered = &entered;
    EXPECT_TRUE(Run(20));
    tEntered = nullptr;
    EXPECT_EQ(fired, "timer@2");
    EXPECT_EQ(entered.size(), 1u);

    tEntered = &entered;
    EXPECT_TRUE(Run(5, [&](int n) {
        if (n != 3) return;
        tEntered = nullptr;  // the append's own lock is not the pass's
        loop->AddTimerFromOutside(Now(), &LoopTest::Record, const_cast<char*>("outside"));
        tEntered = &entered;
    }));
    tEntered = nullptr;
    EXPECT_EQ(fired, "timer@2 outside@4");
    EXPECT_EQ(entered.size(), 2u);
}
