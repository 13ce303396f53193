// Semaphore against POSIX named semaphores.
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

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "support/ratio_main.h"

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
        state, [&] { ping.Lock(false); }, [&] { pong.Unlock(); }, [&] { pong.Lock(false); }, [&] { ping.Unlock(); });
}

void HandoffPosix(benchmark::State& state) {
    const std::string ping = Name("posix-ping", true);
    const std::string pong = Name("posix-pong", true);
    sem_t* pingSemaphore = sem_open(ping.c_str(), O_CREAT, 0600, 0);
    sem_t* pongSemaphore = sem_open(pong.c_str(), O_CREAT, 0600, 0);
    PingPong(
        state, [&] { sem_wait(pingSemaphore); }, [&] { sem_post(pongSemaphore); }, [&] { sem_wait(pongSemaphore); },
        [&] { sem_post(pingSemaphore); });
    sem_close(pingSemaphore);
    sem_close(pongSemaphore);
    sem_unlink(ping.c_str());
    sem_unlink(pong.c_str());
}

BENCHMARK(LockUnlockSemaphore)->UseRealTime();
BENCHMARK(LockUnlockPosix)->UseRealTime();
BENCHMARK(HandoffSemaphore)->UseRealTime()->MinTime(0.2);
BENCHMARK(HandoffPosix)->UseRealTime()->MinTime(0.2);

constexpr rvsys::bench::Ratio kRatios[] = {
    {"Semaphore Lock+Unlock, uncontended", "LockUnlockSemaphore", "LockUnlockPosix", 1.2},
    {"Semaphore hand-off between two processes", "HandoffSemaphore", "HandoffPosix", 0},
};

}  // namespace

int main(int argc, char** argv) { return rvsys::bench::RunRatioMain(argc, argv, kRatios); }
