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

// An idle pass, or one that fires a timer, takes only the event's lock, around
// its wait. (That applying outside requests takes the manager's mutex is shown
// under ThreadSanitizer by the four-thread run of timer_loop_tests.)
TEST_F(PassLocks, APassWithNothingQueuedTakesOnlyTheEventsLock) {
    std::set<const void*> entered;
    Add(Now(), "timer+150");
    tEntered = &entered;
    EXPECT_TRUE(Run(20));
    tEntered = nullptr;
    EXPECT_EQ(fired, "timer@2");
    EXPECT_EQ(entered.size(), 1u);
}
