// Linux helpers for the benchmarks: the monotonic clock, CPU pinning and
// system-call counting.
#ifndef RVSYS_BENCH_SUPPORT_SYSTEM_H
#define RVSYS_BENCH_SUPPORT_SYSTEM_H

#include <benchmark/benchmark.h>
#include <sched.h>

#include <cstdint>
#include <vector>

namespace rvsys::bench {

// CLOCK_MONOTONIC in nanoseconds: the clock the timer service keeps its
// relative timers on, so due times and callback times compare directly.
std::int64_t MonotonicNs();

// Sleeps until CLOCK_MONOTONIC reaches `ns` (clock_nanosleep(TIMER_ABSTIME),
// resumed after a signal).
void SleepUntilNs(std::int64_t ns);

// The CPUs this process may run on, read on first call. The first call must
// come before any pinning (the helpers below restore what they change).
const std::vector<int>& AllowedCpus();

// Pins the calling thread to `cpu`. False when the system refuses.
bool PinCurrentThread(int cpu);

// Pins the calling thread for the lifetime of the object, then gives it back
// the affinity it had: the benchmark library runs one-thread benchmarks on the
// main thread, which every later benchmark reuses.
class ScopedPin {
public:
    explicit ScopedPin(int cpu);
    ~ScopedPin();
    bool Ok() const { return mOk; }

    ScopedPin(const ScopedPin&) = delete;
    ScopedPin& operator=(const ScopedPin&) = delete;

private:
    cpu_set_t mPrevious;
    bool mSaved;
    bool mOk;
};

// Counts the system calls the calling thread enters, with the kernel's
// raw_syscalls:sys_enter tracepoint through perf_event_open. Needs access to
// tracepoints (root, CAP_PERFMON or kernel.perf_event_paranoid <= -1) and a
// mounted tracefs; Available() is false otherwise.
class SyscallCounter {
public:
    SyscallCounter();
    ~SyscallCounter();
    bool Available() const { return mFd >= 0; }

    // The system calls made by `operation()`, not counting the counter's own
    // reads; -1 when the counter is not available.
    template <class Operation>
    std::int64_t Count(Operation&& operation) {
        if (!Available()) return -1;
        const std::int64_t before = Read();
        operation();
        const std::int64_t after = Read();
        return after - before - mReadCost;
    }

    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

private:
    std::int64_t Read() const;

    int mFd;
    std::int64_t mReadCost = 0;  // what one read adds to the count (its own read call)
};

// Runs `operation` `rounds` times outside the timed loop and records the
// system calls made per call as the counter "syscalls" (left out when they
// cannot be counted). 0 proves the path never enters the kernel.
template <class Operation>
void RecordSyscallsPerCall(benchmark::State& state, Operation&& operation, int rounds = 100000) {
    SyscallCounter counter;
    const std::int64_t calls = counter.Count([&] {
        for (int i = 0; i < rounds; ++i) operation();
    });
    if (calls >= 0) state.counters["syscalls"] = static_cast<double>(calls) / rounds;
}

}  // namespace rvsys::bench

#endif  // RVSYS_BENCH_SUPPORT_SYSTEM_H
