// Many start/stop cycles with random timing: runs are cut short at any point
// of their own code or the library's. This relies on the Linux layer's
// cooperative termination, which is safe at any point; Windows' TerminateThread
// is not (a thread ended while it holds the loader's or the heap's lock, or,
// under Wine, one of Wine's own locks, leaves the process hanging).
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>

#include <cstdint>
#include <random>

#include "threads/stress_workers.h"

namespace {

unsigned long RVSYS_WINAPI WaitForever(void*) {
    Thread::Sleep(0xFFFFFFFFul);
    return 1;
}

}  // namespace

using rvsys::test::ShortRoutine;
using rvsys::test::Worker;

TEST(Stress, TenThousandStartStopCyclesWithRandomTiming) {
    std::mt19937 random(2024);
    Worker reused;
    for (int cycle = 0; cycle < 10000; ++cycle) {
        const auto spins = static_cast<unsigned>(random() % 20000);
        const unsigned long timeout = random() % 3;
        switch (cycle % 4) {
            case 0: {  // a subclass object, started and stopped with little or no time
                Worker worker;
                ASSERT_EQ(worker.Start(nullptr), 1);
                worker.Stop(timeout);
                break;
            }
            case 1: {  // one object started again and again (Start stops the previous run)
                ASSERT_EQ(reused.Start(nullptr), 1);
                if (spins % 2 == 0) reused.WaitForThreadEnd(timeout);
                break;
            }
            case 2: {  // StartThread / StopThread
                ThreadBase* thread = StartThread(ShortRoutine, reinterpret_cast<void*>(std::uintptr_t{spins}),
                                                 nullptr, 0);
                ASSERT_NE(thread, nullptr);
                unsigned long code = 0;
                const long stopped = StopThread(&thread, timeout, &code);
                ASSERT_EQ(thread, nullptr);
                ASSERT_EQ(code, stopped == 1 ? spins : 0xFFFFFFFFul);
                break;
            }
            case 3: {  // self-deleting: left alone, or stopped while it still waits
                if (spins % 2 == 0) {
                    ASSERT_NE(StartThread(ShortRoutine, reinterpret_cast<void*>(std::uintptr_t{spins % 500}),
                                          nullptr, 1),
                              nullptr);
                    break;
                }
                ThreadBase* thread = StartThread(WaitForever, nullptr, nullptr, 1);
                ASSERT_NE(thread, nullptr);
                unsigned long code = 0;
                ASSERT_EQ(StopThread(&thread, timeout, &code), 0);
                ASSERT_EQ(code, 0xFFFFFFFFul);
                ASSERT_EQ(thread, nullptr);
                break;
            }
        }
    }
    reused.Stop(0);
    // Self-deleting threads that were not stopped may still be ending: give
    // them a moment so that a leak check at exit sees their final state.
    Thread::Sleep(200);
}
