// ThreadEvent against POSIX semaphores: auto-reset ping-pong between two
// threads (with the threads on two cores and on one), and SetEvent+ResetEvent
// with nobody waiting.
#include <semaphore.h>

#include <rvsysutils/ThreadEvent.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/ratio_main.h"
#include "support/system.h"

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

// One direction of a ping-pong: Signal on one thread releases one Wait on the
// other; a signal given before the wait is kept for it.
class SemaphoreChannel {
public:
    SemaphoreChannel() : mOk(sem_init(&mSemaphore, 0, 0) == 0) {}
    ~SemaphoreChannel() {
        if (mOk) sem_destroy(&mSemaphore);
    }
    bool Ok() const { return mOk; }
    void Signal() { sem_post(&mSemaphore); }
    void Wait() {
        while (sem_wait(&mSemaphore) != 0 && errno == EINTR) {
        }
    }

private:
    sem_t mSemaphore;
    bool mOk;
};

// An auto-reset ThreadEvent. With its lock, used the way a condition is: the
// waiter holds the lock around the wait (which leaves it while blocked) and
// the signaller sets the event under it.
template <bool kWithLock>
class EventChannel {
public:
    EventChannel() : mOk(mEvent.Create(kWithLock ? 1 : 0, 0) == 1) {}
    bool Ok() const { return mOk; }
    void Signal() {
        if constexpr (kWithLock) mEvent.Lock();
        mEvent.SetEvent();
        if constexpr (kWithLock) mEvent.Unlock();
    }
    void Wait() {
        if constexpr (kWithLock) mEvent.Lock();
        mEvent.WaitForEvent(kInfinite, nullptr);
        if constexpr (kWithLock) mEvent.Unlock();
    }

private:
    ThreadEvent mEvent;
    bool mOk;
};

enum class Placement { kAcrossCores, kOneCore };

// One iteration is a round trip: this thread signals `ping` and waits on
// `pong`; the partner waits on `ping` and signals `pong`. Both threads are
// pinned, so the scheduler's choices are the same for every kind of channel.
template <class Channel>
void PingPong(benchmark::State& state, Placement placement) {
    const std::vector<int>& cpus = rvsys::bench::AllowedCpus();
    if (cpus.empty() || (placement == Placement::kAcrossCores && cpus.size() < 2)) {
        state.SkipWithError("not enough CPUs to pin to");
        return;
    }
    const int ownCpu = cpus[0];
    const int partnerCpu = placement == Placement::kAcrossCores ? cpus[1] : cpus[0];
    const rvsys::bench::ScopedPin pin(ownCpu);
    Channel ping;
    Channel pong;
    if (!pin.Ok() || !ping.Ok() || !pong.Ok()) {
        state.SkipWithError("cannot pin the thread or make the channel");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<bool> partnerPinned{false};
    std::thread partner([&] {
        partnerPinned.store(rvsys::bench::PinCurrentThread(partnerCpu), std::memory_order_relaxed);
        for (;;) {
            ping.Wait();
            if (stop.load(std::memory_order_acquire)) return;
            pong.Signal();
        }
    });
    for (auto _ : state) {
        ping.Signal();
        pong.Wait();
    }
    stop.store(true, std::memory_order_release);
    ping.Signal();
    partner.join();
    if (!partnerPinned.load(std::memory_order_relaxed)) state.SkipWithError("cannot pin the partner thread");
}

// Nobody waits: both calls must stay in user space. The system-call count is
// taken outside the timed loop.
void EventSetReset(benchmark::State& state) {
    ThreadEvent event;
    if (event.Create(0, 0) != 1) {
        state.SkipWithError("cannot create the event");
        return;
    }
    for (auto _ : state) {
        event.SetEvent();
        event.ResetEvent();
    }
    rvsys::bench::RecordSyscallsPerCall(state, [&] {
        event.SetEvent();
        event.ResetEvent();
    });
}

// The same signal-and-take-back on a semaphore nobody waits on.
void SemaphorePostWait(benchmark::State& state) {
    SemaphoreChannel semaphore;
    if (!semaphore.Ok()) {
        state.SkipWithError("cannot create the semaphore");
        return;
    }
    for (auto _ : state) {
        semaphore.Signal();
        semaphore.Wait();
    }
    rvsys::bench::RecordSyscallsPerCall(state, [&] {
        semaphore.Signal();
        semaphore.Wait();
    });
}

void RegisterBenchmarks() {
    // Read before anything is pinned; shown in the run's header.
    const std::vector<int>& cpus = rvsys::bench::AllowedCpus();
    if (!cpus.empty()) {
        const std::string first = std::to_string(cpus[0]);
        const std::string second = cpus.size() > 1 ? std::to_string(cpus[1]) : "(none)";
        benchmark::AddCustomContext("ping-pong CPUs",
                                    "across cores " + first + " and " + second + ", one core " + first);
    }
    struct Place {
        const char* suffix;
        Placement placement;
    };
    for (const Place place :
         {Place{"across_cores", Placement::kAcrossCores}, Place{"one_core", Placement::kOneCore}}) {
        const std::string suffix = std::string("/") + place.suffix;
        benchmark::RegisterBenchmark(("SemPingPong" + suffix).c_str(), PingPong<SemaphoreChannel>, place.placement)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("EventPingPong" + suffix).c_str(), PingPong<EventChannel<false>>,
                                     place.placement)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("LockedEventPingPong" + suffix).c_str(), PingPong<EventChannel<true>>,
                                     place.placement)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("EventSetReset", EventSetReset)->UseRealTime();
    benchmark::RegisterBenchmark("SemPostWait", SemaphorePostWait)->UseRealTime();
}

constexpr rvsys::bench::Ratio kRatios[] = {
    {"ThreadEvent ping-pong, Create(0,0), across cores", "EventPingPong/across_cores", "SemPingPong/across_cores",
     1.1},
    {"ThreadEvent ping-pong, Create(1,0) with lock, across cores", "LockedEventPingPong/across_cores",
     "SemPingPong/across_cores", 1.1},
    {"ThreadEvent ping-pong, Create(0,0), one core", "EventPingPong/one_core", "SemPingPong/one_core", 1.1},
    {"ThreadEvent ping-pong, Create(1,0) with lock, one core", "LockedEventPingPong/one_core", "SemPingPong/one_core",
     1.1},
    {"ThreadEvent SetEvent+ResetEvent, nobody waiting", "EventSetReset", "SemPostWait", 2.0},
};

}  // namespace

int main(int argc, char** argv) {
    RegisterBenchmarks();
    return rvsys::bench::RunRatioMain(argc, argv, kRatios);
}
