// A whole thread run (start, the thread's end, the wait for it) through
// ThreadBase and StartThread/StopThread, against std::thread create + join.
// Thread::BeginThread + WaitForThread, the layer underneath, is shown too, to
// tell the cost of ThreadBase apart from that of the thread emulation.
#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>

#include <benchmark/benchmark.h>

#include <thread>

#include "support/ratio_main.h"

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

class NoopThread : public ThreadBase {
protected:
    unsigned long Run() override { return 0; }
};

unsigned long RVSYS_WINAPI ReturnZero(void*) { return 0; }

// One object, started again every iteration: Start makes and the finished wait
// releases the run's own event, as an application restarting a worker does.
void ThreadBaseStartWait(benchmark::State& state) {
    NoopThread thread;
    for (auto _ : state) {
        if (thread.Start(nullptr) != 1) {
            state.SkipWithError("Start failed");
            break;
        }
        thread.WaitForThreadEnd(kInfinite);
    }
}

void StartStopThread(benchmark::State& state) {
    for (auto _ : state) {
        ThreadBase* thread = StartThread(ReturnZero, nullptr, nullptr, 0);
        if (thread == nullptr) {
            state.SkipWithError("StartThread failed");
            break;
        }
        unsigned long exitCode;
        StopThread(&thread, kInfinite, &exitCode);
    }
}

void BeginWaitThread(benchmark::State& state) {
    for (auto _ : state) {
        void* handle = Thread::BeginThread(ReturnZero, nullptr, 0);
        if (handle == nullptr) {
            state.SkipWithError("BeginThread failed");
            break;
        }
        Thread::WaitForThread(handle, kInfinite, nullptr);  // closes the handle
    }
}

void StdThreadCreateJoin(benchmark::State& state) {
    for (auto _ : state) std::thread([] {}).join();
}

BENCHMARK(ThreadBaseStartWait)->UseRealTime();
BENCHMARK(StartStopThread)->UseRealTime();
BENCHMARK(BeginWaitThread)->UseRealTime();
BENCHMARK(StdThreadCreateJoin)->UseRealTime();

constexpr rvsys::bench::Ratio kRatios[] = {
    {"ThreadBase Start + end + WaitForThreadEnd(INFINITE)", "ThreadBaseStartWait", "StdThreadCreateJoin", 2.0},
    {"StartThread + end + StopThread(INFINITE)", "StartStopThread", "StdThreadCreateJoin", 2.0},
    {"Thread::BeginThread + end + WaitForThread(INFINITE)", "BeginWaitThread", "StdThreadCreateJoin", 0},
};

}  // namespace

int main(int argc, char** argv) { return rvsys::bench::RunRatioMain(argc, argv, kRatios); }
