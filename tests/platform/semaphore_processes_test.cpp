// Named semaphores across processes on Linux: lifetime with killed holders,
// fork children, and races between processes, the latter with random delays
// injected where the steps of different processes interleave.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/objects.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "rvsys-proc-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(counter++);
}

bool FileExistsFor(const std::string& name) {
    const std::string path = "/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + name;
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

pid_t Fork(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    return child;
}

// The child's exit code, or 128 + the signal that ended it.
int Reap(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child that runs `setup`, reports through a pipe, then waits to be killed.
pid_t ForkHolder(const std::function<void()>& setup) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = Fork([&] {
        setup();
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) return 3;
        for (;;) pause();
    });
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    return child;
}

template <class T>
T* SharedMemory(std::size_t count = 1) {
    void* memory = mmap(nullptr, sizeof(T) * count, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return new (memory) T[count]();
}

void RandomDelay() {
    thread_local unsigned seed = static_cast<unsigned>(getpid());
    if (rand_r(&seed) % 2 == 0) usleep(static_cast<useconds_t>(rand_r(&seed) % 500));
}

LONG CountOf(HANDLE semaphore) {
    LONG previous = -1;
    if (pf::ReleaseSemaphore(semaphore, 1, &previous) == FALSE) return -1;
    pf::WaitForSingleObject(semaphore, 0);
    return previous;
}

}  // namespace

TEST(SemaphoreLifetime, LastHolderKilledLeavesANameThatTheNextOpenRemoves) {
    const std::string name = UniqueName("killed");
    const pid_t holder = ForkHolder([&] {
        HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
        pf::WaitForSingleObject(semaphore, 0);  // takes the unit and dies holding it
    });
    kill(holder, SIGKILL);
    EXPECT_EQ(Reap(holder), 128 + SIGKILL);
    EXPECT_TRUE(FileExistsFor(name));  // nobody could remove it yet
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(FileExistsFor(name));
    HANDLE fresh = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(CountOf(fresh), 1);  // its own initial count, not the dead one's 0
    pf::CloseHandle(fresh);
    EXPECT_FALSE(FileExistsFor(name));
}

TEST(SemaphoreLifetime, ForkChildClosingAnInheritedHandleLeavesTheObjectAlive) {
    const std::string name = UniqueName("fork");
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    const pid_t child = Fork([&] { return pf::CloseHandle(mine) == TRUE ? 0 : 1; });
    EXPECT_EQ(Reap(child), 0);
    HANDLE again = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(again, nullptr);
    pf::CloseHandle(again);
    pf::CloseHandle(mine);
    EXPECT_FALSE(FileExistsFor(name));
}

namespace {

struct Exclusion {
    std::atomic<int> inside;
    std::atomic<int> mostInside;
    std::atomic<int> failures;
    long long plain;  // changed only inside the critical section
};

}  // namespace

TEST(SemaphoreRaces, ProcessesCreatingAndClosingOneNameKeepMutualExclusion) {
    const std::string name = UniqueName("churn");
    auto* shared = SharedMemory<Exclusion>();
    constexpr int kProcesses = 4;
    constexpr int kRounds = 300;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(Fork([&] {
            rvsys::platform::posix::SetSemaphoreRaceDelay(RandomDelay);
            for (int round = 0; round < kRounds; ++round) {
                HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
                if (semaphore == nullptr || pf::WaitForSingleObject(semaphore, INFINITE) != WAIT_OBJECT_0) {
                    shared->failures.fetch_add(1);
                    return 1;
                }
                const int now = shared->inside.fetch_add(1) + 1;
                int most = shared->mostInside.load();
                while (now > most && !shared->mostInside.compare_exchange_weak(most, now)) {
                }
                RandomDelay();  // a longer stay inside lets a second holder show
                ++shared->plain;
                shared->inside.fetch_sub(1);
                pf::ReleaseSemaphore(semaphore, 1, nullptr);
                pf::CloseHandle(semaphore);
            }
            return 0;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(Reap(child), 0);
    EXPECT_EQ(shared->failures.load(), 0);
    EXPECT_EQ(shared->mostInside.load(), 1);
    EXPECT_EQ(shared->plain, kProcesses * kRounds);
    EXPECT_FALSE(FileExistsFor(name));  // destroyed with the last close, every time
}

TEST(SemaphoreRaces, ReleasesRacingToTheMaximumStopAtItExactly) {
    const std::string name = UniqueName("max");
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 64535, 65535, name.c_str());
    constexpr int kProcesses = 4;
    auto* previous = SharedMemory<std::atomic<LONG>>(1000 + kProcesses);
    auto* taken = SharedMemory<std::atomic<int>>();
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(Fork([&] {
            rvsys::platform::posix::SetSemaphoreRaceDelay(RandomDelay);
            HANDLE theirs = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
            LONG before = -1;
            while (pf::ReleaseSemaphore(theirs, 1, &before) == TRUE) previous[taken->fetch_add(1)].store(before);
            return pf::GetLastError() == ERROR_TOO_MANY_POSTS ? 0 : 1;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(Reap(child), 0);
    ASSERT_EQ(taken->load(), 1000);
    std::vector<LONG> seen;
    for (int i = 0; i < 1000; ++i) seen.push_back(previous[i].load());
    std::sort(seen.begin(), seen.end());
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], 64535 + i);  // every count reported exactly once
    EXPECT_EQ(pf::ReleaseSemaphore(mine, 1, nullptr), FALSE);
    pf::CloseHandle(mine);
}
