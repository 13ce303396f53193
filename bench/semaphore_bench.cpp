// Semaphore against POSIX named semaphores, measured in the same run with the
// rounds interleaved; every figure is printed as a ratio to the baseline.
//
//   lock_unlock: Semaphore::Lock + Unlock, uncontended, against sem_wait +
//                sem_post on a named POSIX semaphore.
//   handoff:     two processes taking turns (a round trip is two hand-offs)
//                on two names, against the same pattern on POSIX semaphores.
#include <benchmark/benchmark.h>
#include <rvsysutils/Semaphore.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// A name unique to this run; `slash` gives the form POSIX semaphores need.
std::string Name(const char* tag, bool slash = false) {
    std::string name = slash ? "/" : "";
    return name.append("rvsys-bench-").append(std::to_string(getpid())).append("-").append(tag);
}

void LockUnlockSemaphore(benchmark::State& state) {
    Semaphore lock(1, Name("lock").c_str());
    for (auto _ : state) {
        lock.Lock(true);
        lock.Unlock();
    }
}

void LockUnlockPosix(benchmark::State& state) {
    const std::string name = Name("posix-lock", true);
    sem_t* semaphore = sem_open(name.c_str(), O_CREAT, 0600, 1);
    for (auto _ : state) {
        sem_wait(semaphore);
        sem_post(semaphore);
    }
    sem_close(semaphore);
    sem_unlink(name.c_str());
}

// The partner process answers each ping with a pong until `stop` is set.
void PingPong(benchmark::State& state, const std::function<void()>& waitPing, const std::function<void()>& postPong,
              const std::function<void()>& waitPong, const std::function<void()>& postPing) {
    auto* stop = static_cast<std::atomic<bool>*>(
        mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    stop->store(false);
    const pid_t partner = fork();
    if (partner == 0) {
        for (;;) {
            waitPing();
            if (stop->load()) _exit(0);
            postPong();
        }
    }
    for (auto _ : state) {
        postPing();
        waitPong();
    }
    stop->store(true);
    postPing();
    waitpid(partner, nullptr, 0);
    munmap(stop, sizeof(std::atomic<bool>));
}

void HandoffSemaphore(benchmark::State& state) {
    const std::string base = Name("handoff");
    Semaphore ping(1, base.c_str());
    Semaphore pong(2, base.c_str());
    ping.Lock(false);  // both start with no free unit
    pong.Lock(false);
    PingPong(
        state, [&] { ping.Lock(false); }, [&] { pong.Unlock(); }, [&] { pong.Lock(false); },
        [&] { ping.Unlock(); });
}

void HandoffPosix(benchmark::State& state) {
    const std::string ping = Name("posix-ping", true);
    const std::string pong = Name("posix-pong", true);
    sem_t* pingSemaphore = sem_open(ping.c_str(), O_CREAT, 0600, 0);
    sem_t* pongSemaphore = sem_open(pong.c_str(), O_CREAT, 0600, 0);
    PingPong(
        state, [&] { sem_wait(pingSemaphore); }, [&] { sem_post(pongSemaphore); },
        [&] { sem_wait(pongSemaphore); }, [&] { sem_post(pingSemaphore); });
    sem_close(pingSemaphore);
    sem_close(pongSemaphore);
    sem_unlink(ping.c_str());
    sem_unlink(pong.c_str());
}

// Keeps each run's time per iteration, by name, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            mTimes[name.substr(0, name.find('#'))].push_back(run.GetAdjustedRealTime());
        }
    }

    void PrintRatio(const char* what, const std::string& measured, const std::string& baseline) {
        std::vector<double> ratios;
        const auto& a = mTimes[measured];
        const auto& b = mTimes[baseline];
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
        if (ratios.empty()) return;
        std::sort(ratios.begin(), ratios.end());
        std::printf("%-12s %s / %s: median ratio %.2f (rounds: %zu, from %.2f to %.2f)\n", what, measured.c_str(),
                    baseline.c_str(), ratios[ratios.size() / 2], ratios.size(), ratios.front(), ratios.back());
    }

private:
    std::map<std::string, std::vector<double>> mTimes;
};

}  // namespace

int main(int argc, char** argv) {
    // glibc takes a non-atomic fast path in a process that never had a second
    // thread; measure both sides as in a threaded program.
    std::thread([] {}).join();
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        const std::string suffix = std::string(1, '#').append(std::to_string(round));
        benchmark::RegisterBenchmark(("lock_unlock/Semaphore" + suffix).c_str(), LockUnlockSemaphore);
        benchmark::RegisterBenchmark(("lock_unlock/posix_sem" + suffix).c_str(), LockUnlockPosix);
        benchmark::RegisterBenchmark(("handoff/Semaphore" + suffix).c_str(), HandoffSemaphore)->MinTime(0.2);
        benchmark::RegisterBenchmark(("handoff/posix_sem" + suffix).c_str(), HandoffPosix)->MinTime(0.2);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.PrintRatio("uncontended", "lock_unlock/Semaphore", "lock_unlock/posix_sem");
    reporter.PrintRatio("hand-off", "handoff/Semaphore", "handoff/posix_sem");
    benchmark::Shutdown();
    return 0;
}
