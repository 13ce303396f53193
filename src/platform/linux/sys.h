// Small Linux primitives under the emulation: futex calls, the monotonic clock
// and the one way every blocking call carries its time (Deadline).
#ifndef RVSYS_PLATFORM_LINUX_SYS_H
#define RVSYS_PLATFORM_LINUX_SYS_H

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

// Kernel headers before 5.16 lack futex_waitv. The call itself is probed at run
// time (ENOSYS falls back), so older headers only need its fixed ABI.
#ifndef FUTEX_32
#define FUTEX_32 2
struct futex_waitv {
    __u64 val;
    __u64 uaddr;
    __u32 flags;
    __u32 __reserved;
};
#endif
#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449  // the same number on every architecture
#endif

namespace rvsys::platform::posix {

// Prints `what` and aborts, in every build type: used for platform failures that
// cannot happen unless the process is corrupted (sys.cpp).
[[noreturn]] void Fatal(const char* what);

// How deep the calling thread is in the layer's signal handlers (counted by
// signals.cpp, read by InSignalHandler).
extern thread_local int tlsHandlerDepth [[gnu::tls_model("initial-exec")]];

// Moves a new descriptor off 0, 1 and 2, where it lands when the process has
// closed its standard streams: one of ours there would pass for a console and
// receive what is written to standard error. Descriptors above are returned as
// they are; so is -1, with errno kept.
inline int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// Unique among live threads, like pthread_self(), but a register read.
inline std::uintptr_t CurrentThreadPointer() { return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()); }

// Whether this process may run on more than one CPU: spinning for another
// thread only makes sense then. Read once, at first use.
inline bool MayRunInParallel() {
    static const bool parallel = [] {
        cpu_set_t allowed;
        return sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) > 1;
    }();
    return parallel;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Waits while *word == expected, until woken or `absMonotonic` (null: no limit).
// Returns on wake-ups, value changes, signals and time-outs alike: callers
// re-test their condition. Never touches *word from user space.
inline void FutexWait(const std::atomic<std::uint32_t>* word, std::uint32_t expected,
                      const timespec* absMonotonic = nullptr) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
            absMonotonic, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Wakes up to `count` waiters on `word`. Only the address is used, so it is
// safe on memory that another thread may free right after.
inline void FutexWake(const std::atomic<std::uint32_t>* word, int count = INT_MAX) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr,
            nullptr, 0);
}

// Nanoseconds on `clock`.
inline std::int64_t ClockNs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline timespec MonotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

inline bool NotBefore(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// A time limit for a blocking call, fixed once at its start on CLOCK_MONOTONIC,
// so spurious wake-ups and EINTR recompute nothing and a wait never ends early.
class Deadline {
public:
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

    explicit Deadline(std::uint32_t milliseconds) : mInfinite(milliseconds == kInfinite) {
        if (mInfinite) return;
        mAt = MonotonicNow();
        mAt.tv_sec += milliseconds / 1000;
        mAt.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (mAt.tv_nsec >= 1000000000L) {
            mAt.tv_nsec -= 1000000000L;
            ++mAt.tv_sec;
        }
    }

    bool Infinite() const { return mInfinite; }
    bool Expired() const { return !mInfinite && NotBefore(MonotonicNow(), mAt); }
    // The absolute limit for FutexWait, or null for none.
    const timespec* Abs() const { return mInfinite ? nullptr : &mAt; }

private:
    bool mInfinite;
    timespec mAt{};
};

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_SYS_H
