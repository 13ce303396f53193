// What the start/stop stress tests run: a plain routine and a ThreadBase
// subclass that spin for a while, sometimes sleep, and return their spin
// count. Neither touches its object, so a run cut short leaves nothing behind.
#ifndef RVSYS_TESTS_THREADS_STRESS_WORKERS_H
#define RVSYS_TESTS_THREADS_STRESS_WORKERS_H

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>

#include <atomic>
#include <cstdint>

namespace rvsys::test {

// The argument is the spin count.
inline unsigned long RVSYS_WINAPI ShortRoutine(void* argument) {
    const auto spins = reinterpret_cast<std::uintptr_t>(argument);
    for (std::uintptr_t i = 0; i < spins; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
    if (spins % 3 == 0) Thread::Sleep(static_cast<unsigned long>(spins % 2));
    return static_cast<unsigned long>(spins);
}

class Worker : public ThreadBase {
public:
    ~Worker() override { Stop(0); }

protected:
    unsigned long Run() override {
        static std::atomic<unsigned> next{0};
        const unsigned spins = next.fetch_add(7919) % 20000;
        for (unsigned i = 0; i < spins; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
        if (spins % 4 == 0) Thread::Sleep(1);
        return spins;
    }
};

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_THREADS_STRESS_WORKERS_H
