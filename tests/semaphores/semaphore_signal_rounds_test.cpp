// A signal that ends a process while its threads are inside Semaphore's Lock
// or Unlock, or blocked in Lock, run many times over: each round must leave the
// name's count exactly as the clean-up rules say. Linux only (Windows' runtime
// never interrupts a thread with a handler); slow.
#include <rvsysutils/Semaphore.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;

namespace {

struct LoopProgress {
    std::atomic<long> turns[2];
};

// A child whose two threads take turns on one unit, each with its own object,
// until a signal ends the process; the main thread waits for them.
[[noreturn]] void LockUnlockUntilSignalled(const std::string& base, LoopProgress* progress) {
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&base, progress, t] {
            Semaphore lock(1, base.c_str());
            while (lock.Lock(true)) {
                progress->turns[t].fetch_add(1);
                lock.Unlock();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    _exit(99);  // the signal must end the process before this
}

}  // namespace

// A signal that ends a process while its threads are inside Lock or Unlock (or
// blocked in Lock) gives back exactly the unit held: across SIGINT, SIGTERM,
// SIGQUIT and SIGABRT the name's count is 1 after every round, and the name
// goes with its last holder.
TEST(SemaphoreSignalRounds, EachRoundLeavesExactlyOneUnitWhateverTheSignalInterrupts) {
    const int signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGABRT};
    const int rounds = std::getenv("RVSYS_TEST_SIGNAL_ROUNDS") != nullptr
                           ? std::atoi(std::getenv("RVSYS_TEST_SIGNAL_ROUNDS"))
                           : 1000 / rvsys::test::TimeScale();
    const std::string base = rvsys::test::UniqueName("rounds");
    void* watcher = pf::CreateSemaphoreA(nullptr, 1, 0xFFFF, (base + "1").c_str());
    ASSERT_NE(watcher, nullptr);
    auto* progress = static_cast<LoopProgress*>(
        mmap(nullptr, sizeof(LoopProgress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(progress, MAP_FAILED);
    rlimit noCoreDumps{0, 0};  // SIGQUIT's and SIGABRT's default action dumps core
    setrlimit(RLIMIT_CORE, &noCoreDumps);
    unsigned seed = static_cast<unsigned>(getpid());
    int wrongCounts = 0;
    int wrongEnds = 0;
    for (int round = 0; round < rounds; ++round) {
        const int signal = signals[round % 4];
        progress->turns[0] = 0;
        progress->turns[1] = 0;
        const pid_t child = fork();
        if (child == 0) LockUnlockUntilSignalled(base, progress);
        ASSERT_GT(child, 0);
        // Somewhere in the loop: both threads going, then a random moment more.
        while (progress->turns[0].load() < 5 || progress->turns[1].load() < 5) usleep(200);
        for (int spin = rand_r(&seed) % 2000; spin > 0; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != signal) ++wrongEnds;
        const long count = rvsys::test::CountOf(watcher);
        if (count != 1) {
            ++wrongCounts;
            while (rvsys::test::CountOf(watcher) > 1) pf::WaitForSingleObject(watcher, 0);
            if (rvsys::test::CountOf(watcher) == 0) pf::ReleaseSemaphore(watcher, 1, nullptr);
        }
    }
    EXPECT_EQ(wrongCounts, 0) << "of " << rounds << " rounds";
    EXPECT_EQ(wrongEnds, 0);
    pf::CloseHandle(watcher);
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(base + "1"));
    munmap(progress, sizeof(LoopProgress));
}
