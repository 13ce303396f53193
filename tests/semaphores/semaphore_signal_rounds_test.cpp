// A signal that ends a process while its threads are inside Semaphore's Lock
// or Unlock, or blocked in Lock, run many times over. Linux only (Windows'
// runtime never interrupts a thread with a handler); slow.
#include <rvsysutils/Semaphore.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::test;

// Each round, a child's two threads take turns on one unit, each with its own
// object, until a signal (SIGINT, SIGTERM, SIGQUIT, SIGABRT in turn) ends it at
// a random moment: the clean-up gives back exactly the unit held, so the count
// is 1 after every round, and the name goes with its last holder.
TEST(SemaphoreSignalRounds, EachRoundLeavesExactlyOneUnitWhateverTheSignalInterrupts) {
    const int signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGABRT};
    const std::string base = UniqueName("rounds");
    void* watcher = pf::CreateSemaphoreA(nullptr, 1, 0xFFFF, (base + "1").c_str());
    auto* turns = static_cast<std::atomic<long>*>(
        mmap(nullptr, 2 * sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(turns, MAP_FAILED);
    rlimit noCoreDumps{0, 0};  // SIGQUIT's and SIGABRT's default action dumps core
    setrlimit(RLIMIT_CORE, &noCoreDumps);
    unsigned seed = static_cast<unsigned>(getpid());
    for (int round = 0; round < 1000 / TimeScale(); ++round) {
        turns[0] = turns[1] = 0;
        const pid_t child = fork();
        if (child == 0) {
            std::thread threads[2];
            for (int t = 0; t < 2; ++t) {
                threads[t] = std::thread([&base, &turns = turns[t]] {
                    Semaphore lock(1, base.c_str());
                    while (lock.Lock(true)) {
                        turns.fetch_add(1);
                        lock.Unlock();
                    }
                });
            }
            threads[0].join();
            _exit(99);  // the signal must end the process before this
        }
        while (turns[0].load() < 5 || turns[1].load() < 5) usleep(200);
        for (int spin = rand_r(&seed) % 2000; spin > 0; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
        const int signal = signals[round % 4];
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "round " << round << ", status " << status;
        ASSERT_EQ(CountOf(watcher), 1) << "round " << round;
    }
    pf::CloseHandle(watcher);
    EXPECT_FALSE(SemaphoreFileExists(base + "1"));
    munmap(turns, 2 * sizeof(std::atomic<long>));
}
