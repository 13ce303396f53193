// Stress runs meant for the sanitizer builds: many runs on every path of the
// thread object, and a contended mutex checked for mutual exclusion.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadMutex.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "threads/stress_workers.h"

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

}  // namespace

using rvsys::test::ShortRoutine;
using rvsys::test::Worker;

// Every path of a run, many times over, each run ending by itself: this holds
// on Windows too, where a thread must not be terminated at an arbitrary point
// (see stress_linux_test.cpp for the same paths cut short by Stop).
TEST(Stress, TwoThousandRunsStartAndEndOnEveryPath) {
    std::mt19937 random(2024);
    Worker reused;
    for (int cycle = 0; cycle < 2000; ++cycle) {
        const auto spins = static_cast<unsigned>(random() % 20000);
        switch (cycle % 4) {
            case 0: {  // a subclass object
                Worker worker;
                ASSERT_EQ(worker.Start(nullptr), 1);
                ASSERT_EQ(worker.WaitForThreadEnd(kInfinite), 1);
                break;
            }
            case 1: {  // one object started again once its run has ended
                ASSERT_EQ(reused.Start(nullptr), 1);
                ASSERT_EQ(reused.WaitForThreadEnd(kInfinite), 1);
                break;
            }
            case 2: {  // StartThread / StopThread
                ThreadBase* thread = StartThread(ShortRoutine, reinterpret_cast<void*>(std::uintptr_t{spins}),
                                                 nullptr, 0);
                ASSERT_NE(thread, nullptr);
                unsigned long code = 0;
                ASSERT_EQ(StopThread(&thread, kInfinite, &code), 1);
                ASSERT_EQ(thread, nullptr);
                ASSERT_EQ(code, spins);
                break;
            }
            case 3: {  // self-deleting, left alone
                ASSERT_NE(StartThread(ShortRoutine, reinterpret_cast<void*>(std::uintptr_t{spins % 500}), nullptr, 1),
                          nullptr);
                break;
            }
        }
    }
    // Self-deleting threads may still be ending: give them a moment so that a
    // leak check at exit sees their final state.
    Thread::Sleep(200);
}

TEST(Stress, MutexExcludesFourThreadsOverAMillionLocksEach) {
    ThreadMutex mutex;
    long counter = 0;  // guarded by mutex only
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000000; ++i) {
                mutex.Lock();
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlap = true;
                ++counter;
                inside.fetch_sub(1, std::memory_order_relaxed);
                mutex.Unlock();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, 4000000);
}
