// Stress runs meant for the sanitizer builds: many runs of the thread object
// on every path. Built twice: in stress_tests (both systems) every run ends by
// itself; in stress_linux_tests (RVSYS_STRESS_CUT_SHORT) runs are cut short at
// any point of their own code or the library's, with random timeouts. That is
// safe on Linux, where neither the routines nor the library's steps on the
// thread hold a lock the layer does not defer termination around; Windows'
// TerminateThread can leave the loader's, the heap's or Wine's locks held.
#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadMutex.h>

#include <random>

#include "support/test_support.h"

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

// Spins for a while, sometimes sleeps, returns the spin count; touches no
// object, so a run cut short leaves nothing behind.
unsigned long RVSYS_WINAPI ShortRoutine(void* argument) {
    const auto spins = reinterpret_cast<std::uintptr_t>(argument);
    for (std::uintptr_t i = 0; i < spins; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
    if (spins % 3 == 0) Thread::Sleep(static_cast<unsigned long>(spins % 2));
    return static_cast<unsigned long>(spins);
}
unsigned long RVSYS_WINAPI WaitForever(void*) {
    Thread::Sleep(kInfinite);
    return 1;
}

class Worker : public ThreadBase {
public:
    ~Worker() override { Stop(0); }

protected:
    unsigned long Run() override {
        static std::atomic<std::uintptr_t> next{0};
        return ShortRoutine(reinterpret_cast<void*>(next.fetch_add(7919) % 20000));
    }
};

// Start and stop cycles in turn: a subclass object, one object started again
// and again (Start stops a previous run), StartThread and StopThread, and
// self-deleting threads left alone or (cut short) stopped while they wait.
void Cycles(int count, bool cutShort) {
    std::mt19937 random(2024);  // NOLINT(cert-msc51-cpp): a fixed seed makes a failure repeatable
    Worker reused;
    for (int cycle = 0; cycle < count; ++cycle) {
        const std::uintptr_t spins = random() % 20000;
        const unsigned long timeout = cutShort ? random() % 3 : kInfinite;
        const bool letEnd = !cutShort || spins % 2 == 0;
        Worker fresh;
        Worker& worker = cycle % 4 == 0 ? fresh : reused;
        if (cycle % 4 < 2) {
            ASSERT_EQ(worker.Start(nullptr), 1);
            const long ended = letEnd ? worker.WaitForThreadEnd(timeout) : 0;
            if (!cutShort) {
                ASSERT_EQ(ended, 1);
            }
        } else if (cycle % 4 == 3 && letEnd) {
            ASSERT_NE(StartThread(ShortRoutine, reinterpret_cast<void*>(spins % 500), nullptr, 1), nullptr);
        } else {
            const bool waits = cycle % 4 == 3;
            ThreadBase* thread =
                StartThread(waits ? WaitForever : ShortRoutine, reinterpret_cast<void*>(spins), nullptr, waits);
            unsigned long code = 0;
            const long stopped = StopThread(&thread, timeout, &code);
            ASSERT_EQ(thread, nullptr);
            ASSERT_EQ(code, stopped == 1 ? spins : 0xFFFFFFFFul);
        }
    }
    Thread::Sleep(200);  // self-deleting threads may still be ending: the leak check at exit must not see them
}

}  // namespace

#if defined(RVSYS_STRESS_CUT_SHORT)
TEST(Stress, TenThousandStartStopCyclesWithRandomTiming) { Cycles(10000, true); }
#else
TEST(Stress, TwoThousandRunsOnEveryPath) { Cycles(2000, false); }

TEST(Stress, MutexExcludesFourThreadsOverAMillionLocksEach) {
    ThreadMutex mutex;
    long counter = 0;  // guarded by the mutex only
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::thread threads[4];
    for (auto& thread : threads) {
        thread = std::thread([&] {
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
#endif
