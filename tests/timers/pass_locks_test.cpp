// Which locks a pass of TimersAndEventManager takes. The program is linked with
// --wrap for the platform's EnterCriticalSection (Linux, GNU ld), so every
// critical section entered on the loop's thread is recorded.
#include <gtest/gtest.h>

#include <set>

#include "timers/loop_harness.h"

namespace {

thread_local bool tRecording = false;
thread_local std::set<const void*>* tEntered = nullptr;

}  // namespace

extern "C" void __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(
    _RTL_CRITICAL_SECTION* cs);

extern "C" void __wrap__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(
    _RTL_CRITICAL_SECTION* cs) {
    if (tRecording && tEntered != nullptr) tEntered->insert(cs);
    __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(cs);
}

using PassLocks = rvsys::test::LoopTest;

TEST_F(PassLocks, APassWithNothingQueuedTakesOnlyTheEventsLock) {
    std::set<const void*> entered;
    tEntered = &entered;
    const auto base = Now();
    AddAt(base + 150, "timer");  // firing takes no lock either
    tRecording = true;
    EXPECT_TRUE(Run(20));
    tRecording = false;
    EXPECT_EQ(fired, "timer@2");
    EXPECT_EQ(entered.size(), 1u);  // the event's lock, around every wait

    // One outside request: the pass that applies it takes the manager's mutex.
    entered.clear();
    tRecording = true;
    EXPECT_TRUE(Run(5, [&](int n) {
        if (n != 3) return;
        tRecording = false;  // the append's own lock is not the pass's
        loop->AddTimerFromOutside(Now(), &LoopTest::Record, const_cast<char*>("outside"));
        tRecording = true;
    }));
    tRecording = false;
    EXPECT_EQ(fired, "timer@2 outside@4");
    EXPECT_EQ(entered.size(), 2u);
    tEntered = nullptr;
}
