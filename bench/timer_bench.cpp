// The timer service's arm and cancel among many armed timers, and
// TimerManager's own AddTimer/RemoveTimer (lateness and drift are in
// timer_lateness_bench.cpp).
//
//   3. arm/cancel with 100,000 and 1,000,000 timers armed in the timer
//                 service, against libuv's uv_timer_start/uv_timer_stop on as
//                 many timers and, for information, against the service's
//                 own heap alone; the same call pair on one cached timer
//                 shows their fixed cost.
//   4. TimerManager AddTimer (until armed) and RemoveTimer with 100,000
//                 timers in the manager, beside the platform calls it makes.
//
// Google Benchmark benchmarks with the ratio table at the end. Flag of this
// program (the others go to Google Benchmark):
//   --timer_figures=34     which figures to run
#include <unistd.h>

#include <rvsysutils/TimerManager.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(RVSYS_BENCH_HAVE_LIBUV)
#include <uv.h>
#endif

#include "platform/linux/timer_heap.h"
#include "platform/linux/timer_service.h"
#include "platform/linux/timers.h"
#include "platform/platform.h"
#include "support/flags.h"
#include "support/ratio_main.h"
#include "support/ratio_table.h"
#include "support/system.h"

namespace {

namespace platform = rvsys::platform;
namespace posix = rvsys::platform::posix;
using rvsys::bench::Format;
using rvsys::bench::MonotonicNs;

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kNsPerS = 1000000000;

std::int64_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// splitmix64: the same pseudo-random key stream for candidates and baselines.
class KeyStream {
public:
    explicit KeyStream(std::uint64_t seed) : mState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t mState;
};

// ======================================================================================
// Figure 3: arm and cancel among N armed timers
// ======================================================================================

// Far enough that nothing fires: a day, spread over an hour.
constexpr std::int64_t kFarNs = 86400 * kNsPerS;
constexpr std::int64_t kSpreadNs = 3600 * kNsPerS;
constexpr std::size_t kMaxArmed = 1000000;
// Unarmed timers waiting their turn, taken oldest first: an armed timer comes
// from memory no operation touched for the last 200,000, as a timer armed
// now and then in a real program does, not from a batch just handled.
constexpr std::size_t kSpares = 200000;
// Operations timed together; the batch's set-up (the opposite operation, the
// choice of timers) is not timed. Per-operation time goes to Google Benchmark
// as manual time.
constexpr std::size_t kBatch = 1024;

std::int64_t FarOffset(KeyStream& keys) { return kFarNs + static_cast<std::int64_t>(keys.Next() % kSpreadNs); }

// Which of `total` timers are armed and which are spares: the same
// bookkeeping, from the same seed, for the library and the baseline.
class ArmedSet {
public:
    ArmedSet(std::size_t total, std::uint64_t seed) : mSpares(total), mRandom(seed) {
        for (std::size_t i = 0; i < total; ++i) mSpares[i] = static_cast<std::uint32_t>(i);
        mSpareCount = total;
        mArmed.reserve(total);
    }

    std::size_t ArmedCount() const { return mArmed.size(); }

    // The spare unused for longest.
    std::uint32_t TakeSpare() {
        const std::uint32_t index = mSpares[mSpareHead];
        mSpareHead = (mSpareHead + 1) % mSpares.size();
        --mSpareCount;
        return index;
    }
    void AddSpare(std::uint32_t index) {
        mSpares[(mSpareHead + mSpareCount) % mSpares.size()] = index;
        ++mSpareCount;
    }

    void AddArmed(std::uint32_t index) { mArmed.push_back(index); }
    // Any armed timer, at random: random memory and a random heap position.
    std::uint32_t TakeRandomArmed() {
        const std::size_t at = mRandom.Next() % mArmed.size();
        const std::uint32_t index = mArmed[at];
        mArmed[at] = mArmed.back();
        mArmed.pop_back();
        return index;
    }

    KeyStream& Random() { return mRandom; }

private:
    std::vector<std::uint32_t> mSpares;  // a ring, oldest first
    std::size_t mSpareHead = 0;
    std::size_t mSpareCount = 0;
    std::vector<std::uint32_t> mArmed;
    KeyStream mRandom;
};

// The library's side: n armed service timers (relative, no routine: the
// service's own heap) and kSpares spares, one set per size. Both sets are kept,
// since Google Benchmark interleaves the repetitions of both sizes, but only
// the active one is armed: the service has one heap.
class ServiceTimers {
public:
    using Due = platform::LARGE_INTEGER;

    static ServiceTimers& Get(std::size_t n) {
        if (n == kMaxArmed) {
            static ServiceTimers* large = new ServiceTimers(kMaxArmed);
            return *large;
        }
        static ServiceTimers* small = new ServiceTimers(100000);
        return *small;
    }

    bool Ok() const { return mOk; }
    double ObjectBytes() const { return mObjectBytes; }
    double ArmingBytes() const { return mArmingBytes; }
    ArmedSet& Set() { return mSet; }

    // Disarms the other set and arms this one's n timers.
    void Activate() {
        static ServiceTimers* active = nullptr;
        if (active == this) return;
        if (active != nullptr) active->DisarmAll();
        while (mSet.ArmedCount() < mArmed) {
            const std::uint32_t index = mSet.TakeSpare();
            if (!Arm(index, MakeDue(FarOffset(mSet.Random())))) mOk = false;
            mSet.AddArmed(index);
        }
        active = this;
    }

    void BeginBatch() {}
    Due MakeDue(std::int64_t offset) const {
        Due due;
        due.QuadPart = -(offset / 100);
        return due;
    }
    bool Arm(std::uint32_t index, const Due& due) {
        return platform::SetWaitableTimer(mHandles[index], &due, 0, nullptr, nullptr, platform::FALSE) ==
               platform::TRUE;
    }
    void Cancel(std::uint32_t index) { platform::CancelWaitableTimer(mHandles[index]); }

private:
    explicit ServiceTimers(std::size_t n) : mHandles(n + kSpares, nullptr), mSet(n + kSpares, 42), mArmed(n) {
        const std::int64_t before = ResidentBytes();
        for (auto& handle : mHandles) {
            handle = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
            if (handle == nullptr) return;
        }
        mOk = true;
        const std::int64_t created = ResidentBytes();
        Activate();
        mObjectBytes = static_cast<double>(created - before) / static_cast<double>(mHandles.size());
        mArmingBytes = static_cast<double>(ResidentBytes() - created) / static_cast<double>(n);
    }

    void DisarmAll() {
        while (mSet.ArmedCount() > 0) {
            const std::uint32_t index = mSet.TakeRandomArmed();
            Cancel(index);
            mSet.AddSpare(index);
        }
    }

    std::vector<platform::HANDLE> mHandles;
    ArmedSet mSet;
    std::size_t mArmed;
    double mObjectBytes = 0;
    double mArmingBytes = 0;
    bool mOk = false;
};

// The service's own heap alone, n armed nodes and kSpares spares per size: what
// the calls add around it (handle look-up, lock, clock read, timerfd check).
class HeapTimers {
public:
    using Due = std::int64_t;

    static HeapTimers& Get(std::size_t n) {
        static HeapTimers* small = new HeapTimers(100000);
        static HeapTimers* large = new HeapTimers(kMaxArmed);
        return n == kMaxArmed ? *large : *small;
    }

    ArmedSet& Set() { return mSet; }
    // The library reads the clock inside SetWaitableTimer; the baseline reads it
    // once per batch, outside the timing.
    void BeginBatch() { mNow = MonotonicNs(); }
    Due MakeDue(std::int64_t offset) const { return mNow + offset; }
    bool Arm(std::uint32_t index, Due due) {
        mItems[index].due = due;
        return mHeap.Push(&mItems[index]);
    }
    void Cancel(std::uint32_t index) { mHeap.Remove(&mItems[index]); }
    void Activate() {}

private:
    explicit HeapTimers(std::size_t n) : mItems(n + kSpares), mSet(n + kSpares, 42) {
        BeginBatch();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t index = mSet.TakeSpare();
            Arm(index, MakeDue(FarOffset(mSet.Random())));
            mSet.AddArmed(index);
        }
    }

    std::vector<posix::HeapNode> mItems;
    posix::NodeHeap mHeap;
    ArmedSet mSet;
    std::int64_t mNow = 0;
};

#if defined(RVSYS_BENCH_HAVE_LIBUV)
// The peer: as many libuv timers, armed with uv_timer_start and cancelled with
// uv_timer_stop on one loop that never runs (nothing is due for a day). libuv
// keeps its timers in a binary heap linked through the handles themselves.
class UvTimers {
public:
    using Due = std::uint64_t;  // ms from the loop's time, as uv_timer_start takes it

    static UvTimers& Get(std::size_t n) {
        if (n == kMaxArmed) {
            static UvTimers* large = new UvTimers(kMaxArmed);
            return *large;
        }
        static UvTimers* small = new UvTimers(100000);
        return *small;
    }

    ArmedSet& Set() { return mSet; }
    double BytesPerTimer() const { return mBytes; }
    // The loop's cached time, as a program's loop has it on each pass.
    void BeginBatch() { uv_update_time(&mLoop); }
    Due MakeDue(std::int64_t offset) const { return static_cast<Due>(offset / kNsPerMs); }
    bool Arm(std::uint32_t index, Due due) { return uv_timer_start(&mTimers[index], OnTimer, due, 0) == 0; }
    void Cancel(std::uint32_t index) { uv_timer_stop(&mTimers[index]); }
    void Activate() {}

private:
    static void OnTimer(uv_timer_t*) {}

    explicit UvTimers(std::size_t n) : mSet(n + kSpares, 42) {
        uv_loop_init(&mLoop);
        const std::int64_t before = ResidentBytes();
        mTimers.reset(new uv_timer_t[n + kSpares]);
        for (std::size_t i = 0; i < n + kSpares; ++i) uv_timer_init(&mLoop, &mTimers[i]);
        BeginBatch();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t index = mSet.TakeSpare();
            Arm(index, MakeDue(FarOffset(mSet.Random())));
            mSet.AddArmed(index);
        }
        mBytes = static_cast<double>(ResidentBytes() - before) / static_cast<double>(n + kSpares);
    }

    uv_loop_t mLoop;
    std::unique_ptr<uv_timer_t[]> mTimers;
    ArmedSet mSet;
    double mBytes = 0;
};

#endif

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `batch()` every `size` iterations and reports its time divided over
// them. `batch` returns the seconds of its timed part.
template <class Batch>
void RunBatched(benchmark::State& state, std::size_t size, Batch&& batch) {
    double perOperation = 0;
    std::size_t left = 0;
    for (auto _ : state) {
        if (left == 0) {
            perOperation = batch() / static_cast<double>(size);
            left = size;
        }
        --left;
        state.SetIterationTime(perOperation);
    }
}

// Arms kBatch spares among the n armed (timed), then cancels as many armed
// timers at random (not timed) to stay at n.
template <class Timers>
void ArmAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<std::uint32_t> batch(kBatch);
    std::vector<typename Timers::Due> dues(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        timers.BeginBatch();
        for (std::size_t k = 0; k < kBatch; ++k) {
            batch[k] = set.TakeSpare();
            dues[k] = timers.MakeDue(FarOffset(set.Random()));
        }
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kBatch; ++k) timers.Arm(batch[k], dues[k]);
        const double seconds = SecondsSince(start);
        for (std::uint32_t index : batch) set.AddArmed(index);
        for (std::size_t k = 0; k < kBatch; ++k) {
            const std::uint32_t index = set.TakeRandomArmed();
            timers.Cancel(index);
            set.AddSpare(index);
        }
        return seconds;
    });
}

// Cancels kBatch armed timers chosen at random (timed), then arms as many
// spares (not timed) to stay at n.
template <class Timers>
void CancelAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<std::uint32_t> batch(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        for (auto& index : batch) index = set.TakeRandomArmed();
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t index : batch) timers.Cancel(index);
        const double seconds = SecondsSince(start);
        timers.BeginBatch();
        for (std::uint32_t index : batch) set.AddSpare(index);
        for (std::size_t k = 0; k < kBatch; ++k) {
            const std::uint32_t index = set.TakeSpare();
            timers.Arm(index, timers.MakeDue(FarOffset(set.Random())));
            set.AddArmed(index);
        }
        return seconds;
    });
}

// Arms and cancels one timer over and over (timed as pairs) among the n
// armed: everything it touches stays in the cache, which leaves the fixed
// cost of the calls.
template <class Timers>
void ArmCancelSameAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<typename Timers::Due> dues(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        const std::uint32_t index = set.TakeRandomArmed();
        timers.Cancel(index);
        timers.BeginBatch();
        for (auto& due : dues) due = timers.MakeDue(FarOffset(set.Random()));
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kBatch; ++k) {
            timers.Arm(index, dues[k]);
            timers.Cancel(index);
        }
        const double seconds = SecondsSince(start);
        timers.Arm(index, dues[0]);
        set.AddArmed(index);
        return seconds;
    });
}

// The service's n armed timers for this run, activated before anything is
// counted; null, with the run skipped, when they cannot be made.
ServiceTimers* PreparedServiceTimers(benchmark::State& state) {
    ServiceTimers& timers = ServiceTimers::Get(static_cast<std::size_t>(state.range(0)));
    if (!timers.Ok()) {
        state.SkipWithError("cannot create and arm the timers");
        return nullptr;
    }
    timers.Activate();
    return &timers;
}

void ServiceArm(benchmark::State& state) {
    ServiceTimers* prepared = PreparedServiceTimers(state);
    if (prepared == nullptr) return;
    ServiceTimers& timers = *prepared;
    const std::uint64_t wakeups = posix::TimerServiceWakeups();
    ArmAmongArmed(state, timers);
    // None of them is the earliest: no system call, and the service sleeps on.
    state.counters["svc_wakeups"] = static_cast<double>(posix::TimerServiceWakeups() - wakeups);
    const std::uint32_t index = timers.Set().TakeRandomArmed();
    const ServiceTimers::Due due = timers.MakeDue(kFarNs);
    rvsys::bench::RecordSyscallsPerCall(state, [&] { timers.Arm(index, due); });
    timers.Set().AddArmed(index);
}

void ServiceCancel(benchmark::State& state) {
    ServiceTimers* timers = PreparedServiceTimers(state);
    if (timers == nullptr) return;
    const std::uint64_t wakeups = posix::TimerServiceWakeups();
    CancelAmongArmed(state, *timers);
    state.counters["svc_wakeups"] = static_cast<double>(posix::TimerServiceWakeups() - wakeups);
}

void ServiceArmCancelSame(benchmark::State& state) {
    if (ServiceTimers* timers = PreparedServiceTimers(state)) ArmCancelSameAmongArmed(state, *timers);
}

void HeapInsertRemoveSame(benchmark::State& state) {
    ArmCancelSameAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

void HeapInsert(benchmark::State& state) {
    ArmAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

void HeapCancel(benchmark::State& state) {
    CancelAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

#if defined(RVSYS_BENCH_HAVE_LIBUV)
void UvStart(benchmark::State& state) {
    ArmAmongArmed(state, UvTimers::Get(static_cast<std::size_t>(state.range(0))));
}
void UvStop(benchmark::State& state) {
    CancelAmongArmed(state, UvTimers::Get(static_cast<std::size_t>(state.range(0))));
}
#endif

// ======================================================================================
// Figure 4: TimerManager AddTimer until armed, RemoveTimer
// ======================================================================================

constexpr std::size_t kManagerTimers = 100000;
constexpr std::size_t kManagerBatch = 4096;
constexpr unsigned long kResidentIdBase = 1000000;
constexpr unsigned long kExtraIdBase = 1;
constexpr unsigned long kSentinelIdBase = 0x40000000ul;

long FarDueMs(KeyStream& keys) { return static_cast<long>(FarOffset(keys) / kNsPerMs); }

void NeverCalled(unsigned long, void*) {}
void RVSYS_WINAPI NeverCalledRoutine(void*, platform::DWORD, platform::DWORD) {}

void OnSentinel(unsigned long, void* userData) {
    auto* fired = static_cast<std::atomic<bool>*>(userData);
    fired->store(true);
    fired->notify_one();
}

// A manager holding kManagerTimers far-future timers, plus kManagerBatch
// extra ids the benchmarks add and remove.
class ManagerTimers {
public:
    static ManagerTimers& Get() {
        static ManagerTimers* timers = new ManagerTimers;
        return *timers;
    }
    bool Ok() const { return mOk; }
    TimerManager& Manager() { return mManager; }
    KeyStream& Keys() { return mKeys; }
    double BytesPerTimer() const { return mBytesPerTimer; }

    // Queues a one-shot timer due at once, behind everything queued so far
    // (the thread arms its queue in id order and this id is the highest), and
    // waits for its callback: by then everything queued before it is armed.
    bool WaitUntilArmed() {
        std::atomic<bool> fired{false};
        const unsigned long id = kSentinelIdBase + (mSentinels++ & 0xFFFFFFu);
        if (mManager.AddTimer(id, OnSentinel, &fired, 0, 1, 0) != 1) return false;
        // The thread arms in the next few microseconds: spin a little first.
        for (int spin = 0; spin < 20000 && !fired.load(std::memory_order_acquire); ++spin) {
            std::this_thread::yield();
        }
        fired.wait(false);
        return true;
    }

    void Stop() { mManager.Stop(); }

private:
    ManagerTimers() : mKeys(7) {
        const std::int64_t before = ResidentBytes();
        if (mManager.Start() != 1) return;
        for (std::size_t i = 0; i < kManagerTimers; ++i) {
            if (mManager.AddTimer(kResidentIdBase + i, NeverCalled, nullptr, FarDueMs(mKeys), 0, 0) != 1) return;
        }
        if (!WaitUntilArmed()) return;
        mBytesPerTimer = static_cast<double>(ResidentBytes() - before) / static_cast<double>(kManagerTimers);
        mOk = true;
    }

    TimerManager mManager;
    KeyStream mKeys;
    unsigned long mSentinels = 0;
    double mBytesPerTimer = 0;
    bool mOk = false;
};

// The baseline's side: what the manager's thread does per timer, done by the
// benchmark thread itself on its own kManagerTimers routine timers.
class OwnedPlatformTimers {
public:
    static OwnedPlatformTimers& Get() {
        static OwnedPlatformTimers* timers = new OwnedPlatformTimers;
        return *timers;
    }
    bool Ok() const { return mOk; }

    static platform::HANDLE CreateAndArm(long dueMs) {
        platform::HANDLE timer = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
        platform::LARGE_INTEGER due;
        due.QuadPart = static_cast<std::int64_t>(dueMs) * -10000;
        platform::SetWaitableTimer(timer, &due, static_cast<platform::LONG>(dueMs), NeverCalledRoutine, nullptr,
                                   platform::FALSE);
        return timer;
    }

    KeyStream& Keys() { return mKeys; }

private:
    // Must be made on the thread that runs the benchmarks: routine timers
    // belong to the thread that arms them.
    OwnedPlatformTimers() : mResident(kManagerTimers), mKeys(7) {
        for (auto& timer : mResident) {
            timer = CreateAndArm(FarDueMs(mKeys));
            if (timer == nullptr) return;
        }
        mOk = true;
    }

    std::vector<platform::HANDLE> mResident;
    KeyStream mKeys;
    bool mOk = false;
};

// A batch's time ends when the sentinel's callback has reached this thread:
// that hand-off (some 100 us, two wake-ups) is about 3% of a batch.
void ManagerAddUntilArmed(benchmark::State& state) {
    ManagerTimers& timers = ManagerTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot fill the TimerManager");
        return;
    }
    std::vector<long> dues(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& due : dues) due = FarDueMs(timers.Keys());
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) {
            timers.Manager().AddTimer(kExtraIdBase + k, NeverCalled, nullptr, dues[k], 0, 0);
        }
        timers.WaitUntilArmed();
        const double seconds = SecondsSince(start);
        for (std::size_t k = 0; k < kManagerBatch; ++k) timers.Manager().RemoveTimer(kExtraIdBase + k);
        return seconds;
    });
}

void ManagerRemove(benchmark::State& state) {
    ManagerTimers& timers = ManagerTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot fill the TimerManager");
        return;
    }
    RunBatched(state, kManagerBatch, [&] {
        for (std::size_t k = 0; k < kManagerBatch; ++k) {
            timers.Manager().AddTimer(kExtraIdBase + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
        }
        timers.WaitUntilArmed();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) timers.Manager().RemoveTimer(kExtraIdBase + k);
        return SecondsSince(start);
    });
}

void PlatformCreateArm(benchmark::State& state) {
    OwnedPlatformTimers& timers = OwnedPlatformTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot arm the routine timers");
        return;
    }
    std::vector<long> dues(kManagerBatch);
    std::vector<platform::HANDLE> handles(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& due : dues) due = FarDueMs(timers.Keys());
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) handles[k] = OwnedPlatformTimers::CreateAndArm(dues[k]);
        const double seconds = SecondsSince(start);
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        return seconds;
    });
}

void PlatformCancelClose(benchmark::State& state) {
    OwnedPlatformTimers& timers = OwnedPlatformTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot arm the routine timers");
        return;
    }
    std::vector<platform::HANDLE> handles(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& handle : handles) handle = OwnedPlatformTimers::CreateAndArm(FarDueMs(timers.Keys()));
        const auto start = std::chrono::steady_clock::now();
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        return SecondsSince(start);
    });
}

// The manager's thread must not wake the service for timers that are not the
// earliest: adds 10,000 later timers at once, then 1,000 one at a time (each
// finding the thread in its wait), and counts the service's wake-ups. The
// sentinel is due in 1 ms, so the manager's thread times it itself.
std::string ServiceWakeupsForLaterTimers() {
    ManagerTimers& timers = ManagerTimers::Get();
    TimerManager& manager = timers.Manager();
    std::atomic<bool> fired{false};
    const std::uint64_t before = posix::TimerServiceWakeups();
    constexpr unsigned long kIds = 2000000;
    for (unsigned long k = 0; k < 10000; ++k)
        manager.AddTimer(kIds + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
    for (unsigned long k = 10000; k < 11000; ++k) {
        manager.AddTimer(kIds + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
        rvsys::bench::SleepUntilNs(MonotonicNs() + 200 * kNsPerUs);
    }
    manager.AddTimer(kIds + 0xFFFFF, OnSentinel, &fired, 1, 1, 0);
    fired.wait(false);
    const std::uint64_t woken = posix::TimerServiceWakeups() - before;
    for (unsigned long k = 0; k < 11000; ++k) manager.RemoveTimer(kIds + k);
    return std::to_string(woken) +
           " wake-ups for 11,000 AddTimer of later timers (target 0: " + (woken == 0 ? "ok)" : "MISS)");
}

std::string Bytes(double bytes) { return Format("%.0f B", bytes); }

void RegisterTimerBenchmarks(const std::string& figures) {
    if (figures.find('3') != std::string::npos) {
        const ServiceTimers& service = ServiceTimers::Get(kMaxArmed);
        if (service.Ok()) {
            benchmark::AddCustomContext(
                "memory per armed service timer",
                "RSS " + Bytes(service.ObjectBytes() + service.ArmingBytes()) + ": " + Bytes(service.ObjectBytes()) +
                    " per timer and handle (sizeof(TimerObj) " + std::to_string(sizeof(posix::TimerObj)) + " B) + " +
                    Bytes(service.ArmingBytes()) + " for arming it (heap slot " +
                    std::to_string(sizeof(std::int64_t) + sizeof(void*)) + " B)");
        } else {
            benchmark::AddCustomContext("memory per armed service timer", "1,000,000 timers could not be armed");
        }
        struct Named {
            const char* name;
            void (*function)(benchmark::State&);
        };
        std::vector<Named> benchmarks = {Named{"ServiceArm", ServiceArm},
                                         Named{"HeapInsert", HeapInsert},
                                         Named{"ServiceCancel", ServiceCancel},
                                         Named{"HeapCancel", HeapCancel},
                                         Named{"ServiceArmCancelSame", ServiceArmCancelSame},
                                         Named{"HeapInsertRemoveSame", HeapInsertRemoveSame}};
#if defined(RVSYS_BENCH_HAVE_LIBUV)
        benchmarks.push_back(Named{"UvTimerStart", UvStart});
        benchmarks.push_back(Named{"UvTimerStop", UvStop});
        const UvTimers& uv = UvTimers::Get(kMaxArmed);
        benchmark::AddCustomContext("memory per armed libuv timer", "RSS " + Bytes(uv.BytesPerTimer()) +
                                                                        " (sizeof(uv_timer_t) " +
                                                                        std::to_string(sizeof(uv_timer_t)) + " B)");
        if (service.Ok()) {
            benchmark::AddCustomContext(
                "memory per armed timer, library / sizeof(uv_timer_t)",
                Format("%.2fx", (service.ObjectBytes() + service.ArmingBytes()) / sizeof(uv_timer_t)) +
                    " (target <=1.50x)");
        }
#else
        std::printf("NOTICE: libuv (Debian libuv1-dev) not found at build time: the libuv figures are skipped\n");
#endif
        for (const Named& named : benchmarks) {
            benchmark::RegisterBenchmark(named.name, named.function)
                ->ArgName("armed")
                ->Arg(100000)
                ->Arg(static_cast<std::int64_t>(kMaxArmed))
                ->UseManualTime();
        }
    }
    if (figures.find('4') != std::string::npos) {
        const ManagerTimers& manager = ManagerTimers::Get();
        OwnedPlatformTimers::Get();  // on this thread: it runs the benchmarks
        if (manager.Ok()) {
            benchmark::AddCustomContext("memory per TimerManager timer", "RSS " + Bytes(manager.BytesPerTimer()));
            benchmark::AddCustomContext("timer service, TimerManager", ServiceWakeupsForLaterTimers());
        }
        benchmark::RegisterBenchmark("ManagerAddUntilArmed", ManagerAddUntilArmed)->UseManualTime();
        benchmark::RegisterBenchmark("PlatformCreateArm", PlatformCreateArm)->UseManualTime();
        benchmark::RegisterBenchmark("ManagerRemove", ManagerRemove)->UseManualTime();
        benchmark::RegisterBenchmark("PlatformCancelClose", PlatformCancelClose)->UseManualTime();
    }
}

constexpr rvsys::bench::Ratio kRatios[] = {
    {"SetWaitableTimer / uv_timer_start, 100,000 armed", "ServiceArm/armed:100000", "UvTimerStart/armed:100000", 1.5},
    {"SetWaitableTimer / uv_timer_start, 1,000,000 armed", "ServiceArm/armed:1000000", "UvTimerStart/armed:1000000",
     1.5},
    {"CancelWaitableTimer / uv_timer_stop, 100,000 armed", "ServiceCancel/armed:100000", "UvTimerStop/armed:100000",
     1.5},
    {"CancelWaitableTimer / uv_timer_stop, 1,000,000 armed", "ServiceCancel/armed:1000000",
     "UvTimerStop/armed:1000000", 1.5},
    {"SetWaitableTimer / its heap alone, 100,000 armed", "ServiceArm/armed:100000", "HeapInsert/armed:100000", 0},
    {"SetWaitableTimer / its heap alone, 1,000,000 armed", "ServiceArm/armed:1000000", "HeapInsert/armed:1000000", 0},
    {"CancelWaitableTimer / its heap alone, 100,000 armed", "ServiceCancel/armed:100000", "HeapCancel/armed:100000",
     0},
    {"CancelWaitableTimer / its heap alone, 1,000,000 armed", "ServiceCancel/armed:1000000",
     "HeapCancel/armed:1000000", 0},
    {"SetWaitableTimer growth, 1,000,000 / 100,000 armed", "ServiceArm/armed:1000000", "ServiceArm/armed:100000", 0},
    {"CancelWaitableTimer growth, 1,000,000 / 100,000", "ServiceCancel/armed:1000000", "ServiceCancel/armed:100000",
     0},
    {"heap insert growth, 1,000,000 / 100,000", "HeapInsert/armed:1000000", "HeapInsert/armed:100000", 0},
    {"heap cancel growth, 1,000,000 / 100,000", "HeapCancel/armed:1000000", "HeapCancel/armed:100000", 0},
    {"Set+CancelWaitableTimer, same timer (cached), 100,000 armed", "ServiceArmCancelSame/armed:100000",
     "HeapInsertRemoveSame/armed:100000", 0},
    {"Set+CancelWaitableTimer, same timer (cached), 1,000,000 armed", "ServiceArmCancelSame/armed:1000000",
     "HeapInsertRemoveSame/armed:1000000", 0},
    {"TimerManager AddTimer until armed, 100,000 in it / create+arm", "ManagerAddUntilArmed", "PlatformCreateArm", 0},
    {"TimerManager RemoveTimer, 100,000 in it / cancel+close", "ManagerRemove", "PlatformCancelClose", 0},
};

}  // namespace

int main(int argc, char** argv) {
    std::string figures = rvsys::bench::TakeFlags(argc, argv, "timer_")["timer_figures"];
    if (figures.empty()) figures = "34";
    RegisterTimerBenchmarks(figures);
    const int result = rvsys::bench::RunRatioMain(argc, argv, kRatios);
    if (figures.find('4') != std::string::npos && ManagerTimers::Get().Ok()) ManagerTimers::Get().Stop();
    return result;
}
