// GetSystemUptime against the clock read it is built on.
#include <time.h>

#include <rvsysutils/Thread.h>

#include <benchmark/benchmark.h>

#include "support/ratio_main.h"

namespace {

void Uptime(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetSystemUptime());
}

// The bare read: one vDSO call, no conversion.
void ClockBoottime(benchmark::State& state) {
    timespec now;
    for (auto _ : state) {
        clock_gettime(CLOCK_BOOTTIME, &now);
        benchmark::DoNotOptimize(now);
    }
}

BENCHMARK(Uptime)->UseRealTime();
BENCHMARK(ClockBoottime)->UseRealTime();

constexpr rvsys::bench::Ratio kRatios[] = {
    {"GetSystemUptime", "Uptime", "ClockBoottime", 1.1},
};

}  // namespace

int main(int argc, char** argv) { return rvsys::bench::RunRatioMain(argc, argv, kRatios); }
