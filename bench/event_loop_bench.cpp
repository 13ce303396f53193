// TimersAndEventManager against baselines measured in the same run:
//   Firing_*    cost of firing one timer while 1,000,000 are queued (each fired
//               timer adds itself again, so the queue stays full), against a
//               bare std::multimap doing erase-first + insert;
//   Outside_*   AddTimerFromOutside from two threads while the loop runs,
//               against a std::mutex-guarded std::list drained every 1 ms;
//   OneSecond_* CPU time of the whole process to add and run 100,000 one-shot
//               timers spread over one second with a 1 ms period, against a
//               bare binary-heap loop and (when built with them) libuv and
//               Boost.Asio. A run in which any timer fires before its time
//               fails with an error instead of reporting a time.
#include <benchmark/benchmark.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/TimersAndEventManager.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/ratio_main.h"

#if defined(RVSYS_BENCH_HAVE_LIBUV)
#include <uv.h>
#endif
#if defined(RVSYS_BENCH_HAVE_ASIO)
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#endif

namespace pf = rvsys::platform;

namespace {

// ---- Firing with a million timers queued -------------------------------------------
constexpr unsigned long long kQueued = 1000000;

// A tick the benchmark moves by hand, so that every timer is due at once.
std::atomic<std::uint64_t> gTick{0};
pf::DWORD ScriptedTick() { return static_cast<pf::DWORD>(gTick.load(std::memory_order_relaxed)); }
void RealWall(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kScriptedTick{ScriptedTick, RealWall};

struct Refiring {
    TimersAndEventManager* loop;
    unsigned long long nextKey;  // keys are consecutive, so the next free one is known
    unsigned long long left;
};

void Refire(void* argument) {
    auto& state = *static_cast<Refiring*>(argument);
    state.loop->AddTimerFromCallback(state.nextKey++, &Refire, argument);
    if (--state.left == 0) state.loop->CeaseExecution();
}

void Firing_TimersAndEventManager(benchmark::State& benchState) {
    const pf::ClockSource* previous = pf::SetClockSource(&kScriptedTick);
    gTick = pf::GetTickCount() + 1;  // no false wrap of the uptime clock
    TimersAndEventManager loop(0);
    ThreadEvent idle;
    idle.Create(1, 0);  // never signalled: with period 0 each wait returns at once
    const unsigned long long base = loop.GetKeyTime();
    Refiring state{&loop, base + kQueued, 0};
    for (unsigned long long i = 0; i < kQueued; ++i) loop.AddTimerFromCallback(base + i, &Refire, &state);
    for (auto _ : benchState) {
        // One pass: the clock moves past all million keys; each callback adds
        // its timer again one million keys later.
        gTick += kQueued;
        state.left = kQueued;
        loop.Start(idle);
    }
    benchState.SetItemsProcessed(static_cast<std::int64_t>(benchState.iterations() * kQueued));
    pf::SetClockSource(previous);
}

void Firing_BareMultimap(benchmark::State& benchState) {
    std::multimap<unsigned long long, std::pair<void (*)(void*), void*>> queue;
    for (unsigned long long i = 0; i < kQueued; ++i) queue.insert({i, {&Refire, nullptr}});
    for (auto _ : benchState) {
        for (unsigned long long i = 0; i < kQueued; ++i) {
            const auto first = queue.begin();
            const std::pair<unsigned long long, std::pair<void (*)(void*), void*>> entry = *first;
            queue.erase(first);
            queue.insert({entry.first + kQueued, entry.second});
        }
    }
    benchState.SetItemsProcessed(static_cast<std::int64_t>(benchState.iterations() * kQueued));
}

// ---- Outside requests from two threads ------------------------------------------------
constexpr int kPerProducer = 200000;

void Nothing(void*) {}
void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }

// Runs `produce` on two threads started together; returns their wall time.
template <class Produce>
double TimeTwoProducers(Produce produce) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    producers.reserve(2);
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            produce();
        });
    }
    while (ready.load() < 2) {
    }
    const auto start = std::chrono::steady_clock::now();
    go = true;
    for (auto& producer : producers) producer.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Outside_TimersAndEventManager(benchmark::State& benchState) {
    for (auto _ : benchState) {
        TimersAndEventManager loop(1);
        ThreadEvent wake;
        wake.Create(1, 0);
        std::thread runner([&] { loop.Start(wake); });
        // Key 0: due at once, so the loop fires each request as it applies it.
        benchState.SetIterationTime(TimeTwoProducers([&] {
            for (int i = 0; i < kPerProducer; ++i) loop.AddTimerFromOutside(0, &Nothing, nullptr);
        }));
        loop.AddTimerFromOutside(0, &Cease, &loop);
        runner.join();
    }
    benchState.SetItemsProcessed(benchState.iterations() * 2 * kPerProducer);
}

struct Request {
    int type;
    unsigned long long key;
    void (*callback)(void*);
    void* userData;
};

void Outside_MutexAndList(benchmark::State& benchState) {
    for (auto _ : benchState) {
        std::mutex mutex;
        std::list<Request> pending;
        std::atomic<bool> done{false};
        std::thread consumer([&] {
            while (!done.load()) {
                std::list<Request> taken;
                {
                    std::lock_guard<std::mutex> hold(mutex);
                    taken.swap(pending);
                }
                for (const Request& request : taken) request.callback(request.userData);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        benchState.SetIterationTime(TimeTwoProducers([&] {
            for (int i = 0; i < kPerProducer; ++i) {
                std::lock_guard<std::mutex> hold(mutex);
                pending.push_back(Request{0, 0, &Nothing, nullptr});
            }
        }));
        done = true;
        consumer.join();
    }
    benchState.SetItemsProcessed(benchState.iterations() * 2 * kPerProducer);
}

// ---- 100,000 one-shot timers over one second --------------------------------------
constexpr int kTimers = 100000;

// The same spread for every implementation: 1..1000 ms, in a scrambled order.
unsigned OffsetMs(int i) { return static_cast<unsigned>(i) * 7919u % 1000u + 1u; }

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each implementation is checked against its own clock: a timer is early when
// that clock reads less than its deadline when it fires.
struct OneSecond {
    std::vector<std::int64_t> due = std::vector<std::int64_t>(kTimers);  // deadline of each timer
    int fired = 0;
    int early = 0;
    void Fire(int i, std::int64_t now) {
        if (now < due[static_cast<size_t>(i)]) ++early;
        ++fired;
    }
};

// Runs `body` once per iteration and reports the process's CPU time for it.
template <class Body>
void MeasureOneSecond(benchmark::State& state, Body body) {
    for (auto _ : state) {
        const double cpu = ProcessCpuSeconds();
        OneSecond run;
        body(run);
        state.SetIterationTime(ProcessCpuSeconds() - cpu);
        if (run.early != 0 || run.fired != kTimers) {
            const std::string what = std::to_string(run.early) + " early, " + std::to_string(run.fired) + " fired";
            state.SkipWithError(what.c_str());
            break;
        }
    }
}

TimersAndEventManager* gLoop = nullptr;
OneSecond* gRun = nullptr;

void LoopTimer(void* index) {
    const auto i = static_cast<int>(reinterpret_cast<std::uintptr_t>(index));
    gRun->Fire(i, static_cast<std::int64_t>(gLoop->GetKeyTime()));
    if (gRun->fired == kTimers) gLoop->CeaseExecution();
}

void OneSecond_TimersAndEventManager(benchmark::State& state) {
    MeasureOneSecond(state, [](OneSecond& run) {
        TimersAndEventManager loop(1);
        ThreadEvent wake;
        wake.Create(1, 0);
        gLoop = &loop;
        gRun = &run;
        const unsigned long long base = loop.GetKeyTime();
        for (int i = 0; i < kTimers; ++i) {
            const unsigned long long key = base + OffsetMs(i);
            run.due[static_cast<size_t>(i)] = static_cast<std::int64_t>(key);
            loop.AddTimerFromCallback(key, &LoopTimer, reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
        }
        loop.Start(wake);
    });
}

void OneSecond_BareHeapLoop(benchmark::State& state) {
    MeasureOneSecond(state, [](OneSecond& run) {
        using Item = std::pair<std::int64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap;
        const std::int64_t start = SteadyNs();
        for (int i = 0; i < kTimers; ++i) {
            run.due[static_cast<size_t>(i)] = start + std::int64_t{OffsetMs(i)} * 1000000;
            heap.push({run.due[static_cast<size_t>(i)], i});
        }
        const timespec period{0, 1000000};
        while (!heap.empty()) {
            clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
            const std::int64_t now = SteadyNs();
            while (!heap.empty() && heap.top().first <= now) {
                run.Fire(heap.top().second, SteadyNs());
                heap.pop();
            }
        }
    });
}

#if defined(RVSYS_BENCH_HAVE_LIBUV)
struct UvRun {
    OneSecond* run;
    int index;
};

void OneSecond_Libuv(benchmark::State& state) {
    MeasureOneSecond(state, [](OneSecond& run) {
        uv_loop_t loop;
        uv_loop_init(&loop);
        std::vector<uv_timer_t> timers(kTimers);
        std::vector<UvRun> data(kTimers);
        uv_update_time(&loop);
        const auto start = static_cast<std::int64_t>(uv_now(&loop));  // libuv's own millisecond clock
        for (int i = 0; i < kTimers; ++i) {
            const auto at = static_cast<size_t>(i);
            run.due[at] = start + std::int64_t{OffsetMs(i)};
            data[at] = UvRun{&run, i};
            uv_timer_init(&loop, &timers[at]);
            timers[at].data = &data[at];
            uv_timer_start(
                &timers[at],
                [](uv_timer_t* timer) {
                    auto* d = static_cast<UvRun*>(timer->data);
                    d->run->Fire(d->index, static_cast<std::int64_t>(uv_now(timer->loop)));
                },
                OffsetMs(i), 0);
        }
        uv_run(&loop, UV_RUN_DEFAULT);
        for (auto& timer : timers) uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_loop_close(&loop);
    });
}
#endif

#if defined(RVSYS_BENCH_HAVE_ASIO)
void OneSecond_BoostAsio(benchmark::State& state) {
    MeasureOneSecond(state, [](OneSecond& run) {
        boost::asio::io_context context;
        std::vector<boost::asio::steady_timer> timers;
        timers.reserve(kTimers);
        const std::int64_t start = SteadyNs();
        for (int i = 0; i < kTimers; ++i) {
            run.due[static_cast<size_t>(i)] = start + std::int64_t{OffsetMs(i)} * 1000000;
            timers.emplace_back(context, std::chrono::milliseconds(OffsetMs(i)));
            timers.back().async_wait([&run, i](const boost::system::error_code&) { run.Fire(i, SteadyNs()); });
        }
        context.run();
    });
}
#endif

// ---- Ratio table ---------------------------------------------------------------
const rvsys::bench::Ratio kRatios[] = {
    {"firing one timer with 1,000,000 queued (time per 1,000,000)", "Firing_TimersAndEventManager",
     "Firing_BareMultimap", 1.5},
    {"AddTimerFromOutside from 2 threads while the loop runs (time per 400,000)", "Outside_TimersAndEventManager",
     "Outside_MutexAndList", 0},
    {"CPU for 100,000 timers over 1 s, vs a bare heap loop", "OneSecond_TimersAndEventManager",
     "OneSecond_BareHeapLoop", 0},
    {"CPU for 100,000 timers over 1 s, vs libuv", "OneSecond_TimersAndEventManager", "OneSecond_Libuv", 0},
    {"CPU for 100,000 timers over 1 s, vs Boost.Asio", "OneSecond_TimersAndEventManager", "OneSecond_BoostAsio", 0},
};

}  // namespace

BENCHMARK(Firing_TimersAndEventManager)->Unit(benchmark::kMillisecond)->Repetitions(7)->MinTime(0.5);
BENCHMARK(Firing_BareMultimap)->Unit(benchmark::kMillisecond)->Repetitions(7)->MinTime(0.5);
BENCHMARK(Outside_TimersAndEventManager)->Unit(benchmark::kMillisecond)->UseManualTime()->Repetitions(7);
BENCHMARK(Outside_MutexAndList)->Unit(benchmark::kMillisecond)->UseManualTime()->Repetitions(7);
BENCHMARK(OneSecond_TimersAndEventManager)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(OneSecond_BareHeapLoop)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
#if defined(RVSYS_BENCH_HAVE_LIBUV)
BENCHMARK(OneSecond_Libuv)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
#endif
#if defined(RVSYS_BENCH_HAVE_ASIO)
BENCHMARK(OneSecond_BoostAsio)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
#endif

int main(int argc, char** argv) { return rvsys::bench::RunRatioMain(argc, argv, kRatios); }
