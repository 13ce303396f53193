#include "support/system.h"

#include <linux/perf_event.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

namespace rvsys::bench {

std::int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(std::int64_t ns) {
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

const std::vector<int>& AllowedCpus() {
    static const std::vector<int> cpus = [] {
        std::vector<int> result;
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) {
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
                if (CPU_ISSET(cpu, &set)) result.push_back(cpu);
            }
        }
        return result;
    }();
    return cpus;
}

bool PinCurrentThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

ScopedPin::ScopedPin(int cpu) : mSaved(pthread_getaffinity_np(pthread_self(), sizeof mPrevious, &mPrevious) == 0) {
    mOk = mSaved && PinCurrentThread(cpu);
}

ScopedPin::~ScopedPin() {
    if (mSaved) pthread_setaffinity_np(pthread_self(), sizeof mPrevious, &mPrevious);
}

namespace {

// The tracepoint's id, or -1 when no tracefs shows it.
long long SysEnterTracepointId() {
    for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                             "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
        std::FILE* file = std::fopen(path, "r");
        if (file == nullptr) continue;
        long long id = -1;
        const int fields = std::fscanf(file, "%lld", &id);
        std::fclose(file);
        if (fields == 1) return id;
    }
    return -1;
}

}  // namespace

SyscallCounter::SyscallCounter() : mFd(-1) {
    const long long id = SysEnterTracepointId();
    if (id < 0) return;
    perf_event_attr attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.type = PERF_TYPE_TRACEPOINT;
    attributes.size = sizeof attributes;
    attributes.config = static_cast<std::uint64_t>(id);
    // This thread only (pid 0), on any CPU; counting, not sampling.
    mFd = static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
    if (mFd < 0) return;
    // Each read enters the kernel once itself; measure rather than assume.
    const std::int64_t first = Read();
    mReadCost = Read() - first;
}

SyscallCounter::~SyscallCounter() {
    if (mFd >= 0) close(mFd);
}

std::int64_t SyscallCounter::Read() const {
    std::uint64_t value = 0;
    if (read(mFd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) return 0;
    return static_cast<std::int64_t>(value);
}

}  // namespace rvsys::bench
