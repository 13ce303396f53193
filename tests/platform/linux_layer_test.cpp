// Behaviours of the Linux layer that Windows does not share or that only Linux
// can observe: handle generations, the resources of terminated threads, a
// termination taken late, the fallback of the semaphore's leaving release, and
// named semaphores shared by forked processes (killed holders, inherited
// handles, races with delays injected where the steps of different processes
// interleave).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <vector>

#include "conformance.h"
#include "platform/linux/semaphores.h"
#include "platform/linux/threads.h"
#include "platform/linux/timers.h"

namespace posix = rvsys::platform::posix;

// Handles carry a generation: a closed value keeps failing once a new object
// takes its slot (Windows reuses the value at once).
TEST(Handles, ANewObjectDoesNotAnswerToAClosedValue) {
    HANDLE closed = NewEvent();
    ASSERT_EQ(pf::CloseHandle(closed), TRUE);
    HANDLE fresh = NewEvent();
    EXPECT_NE(fresh, closed);
    EXPECT_EQ(pf::SetEvent(closed), FALSE);
    EXPECT_EQ(pf::WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    pf::CloseHandle(fresh);
}

namespace {

// What a leak of terminated threads would show.
struct Resources {
    long threads = 0, size = 0, mappings = 0;  // size: VmSize, in kB
    int descriptors = 0;
};
Resources Now() {
    Resources now;
    for (int fd = 0; fd < 1024; ++fd) now.descriptors += fcntl(fd, F_GETFD) != -1;
    std::ifstream status("/proc/self/status"), maps("/proc/self/maps");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) now.threads = std::stol(line.substr(8));
        if (line.rfind("VmSize:", 0) == 0) now.size = std::stol(line.substr(7));
    }
    for (std::string line; std::getline(maps, line);) ++now.mappings;
    return now;
}

// Spins on an atomic, where ThreadSanitizer too delivers the signal (it
// delivers only when the thread calls into its runtime).
DWORD SpinUntilTerminated(LPVOID started) {
    static_cast<std::atomic<bool>*>(started)->store(true);
    for (;;) static_cast<std::atomic<bool>*>(started)->load(std::memory_order_relaxed);
}

// Terminates `count` spinning threads, eight at a time (waiting for one to be
// scheduled overlaps with the others).
void TerminateSpinningThreads(int count) {
    for (int done = 0; done < count; done += 8) {
        std::atomic<bool> started[8] = {};
        HANDLE threads[8];
        for (int i = 0; i < 8; ++i)
            threads[i] = pf::CreateThread(nullptr, 0, SpinUntilTerminated, &started[i], 0, nullptr);
        for (int i = 0; i < 8; ++i) {
            while (!started[i].load()) std::this_thread::yield();
            ASSERT_EQ(pf::TerminateThread(threads[i], 1), TRUE);
        }
        for (HANDLE thread : threads) {
            ASSERT_EQ(pf::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
            ASSERT_EQ(pf::CloseHandle(thread), TRUE);
        }
    }
}

}  // namespace

// The kernel thread of a terminated thread ends and glibc reclaims its stack:
// after the first few hundred, mappings and virtual size stay flat, and no
// thread or descriptor is left. (RVSYS_TERMINATIONS=100000 is the full run.)
TEST(Termination, ManyTerminatedThreadsLeaveNoResourcesBehind) {
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first one
    const Resources before = Now();
    TerminateSpinningThreads(500);
    const Resources warm = Now();
    const char* total = std::getenv("RVSYS_TERMINATIONS");
    TerminateSpinningThreads(std::max(1000, total != nullptr ? std::atoi(total) : 1000) - 500);
    // The sanitizer runtimes map their own per-thread metadata as they go; a
    // leaked stack would add two mappings per thread, hundreds in all. glibc's
    // stack cache holds a few stacks at any moment; 500 leaked would be 4 GB.
    EXPECT_LE(Now().mappings, warm.mappings + 32);
    EXPECT_LE(Now().size, warm.size + 64L * 1024);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return Now().threads <= before.threads; }));
    EXPECT_EQ(Now().descriptors, before.descriptors);
}

namespace {

// Spins with the thread signal blocked for a while, so that it can take a
// termination only late.
DWORD SpinWithTheThreadSignalHeldBack(LPVOID marker) {
    auto* count = static_cast<std::atomic<std::uint64_t>*>(marker);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, posix::ThreadSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (const auto until = Clock::now() + std::chrono::milliseconds(100); Clock::now() < until;) count->fetch_add(1);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (;;) count->fetch_add(1);
}

}  // namespace

// TerminateThread returns only once the target has stopped, however late the
// target takes the signal.
TEST(Termination, ReturnsOnlyOnceTheTargetHasStopped) {
    std::atomic<std::uint64_t> marker{0};
    HANDLE thread = pf::CreateThread(nullptr, 0, SpinWithTheThreadSignalHeldBack, &marker, 0, nullptr);
    while (marker.load() == 0) std::this_thread::yield();
    ASSERT_EQ(pf::TerminateThread(thread, 3), TRUE);
    const std::uint64_t after = marker.load();
    pf::Sleep(150);
    EXPECT_EQ(marker.load(), after);
    pf::CloseHandle(thread);
}

// A timer of a large block is found from its handle by arithmetic: it is still
// the handle's own timer, and a closed value keeps failing once the timer's
// slot is open again under a new value.
TEST(Handles, ATimerFoundByItsHandleValueAnswersOnlyWhileItIsOpen) {
    std::vector<HANDLE> handles;
    HANDLE timer = nullptr;
    while (timer == nullptr && handles.size() < 100000) {
        handles.push_back(pf::CreateWaitableTimerA(nullptr, FALSE, nullptr));
        ASSERT_NE(handles.back(), nullptr);
        if (posix::Peek<posix::TimerObj>(handles.back(), posix::Kind::Timer)->homed) timer = handles.back();
    }
    ASSERT_NE(timer, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1;
    ASSERT_EQ(pf::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(timer, 10000), WAIT_OBJECT_0);
    HANDLE other = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), timer, pf::GetCurrentProcess(), &other, 0, FALSE,
                                  DUPLICATE_CLOSE_SOURCE),
              TRUE);
    const auto slotOf = [](HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu; };
    HANDLE event = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(slotOf(event), slotOf(timer));  // the slot stays the timer's
    pf::CloseHandle(event);
    HANDLE reopened = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), other, pf::GetCurrentProcess(), &reopened, 0, FALSE, 0),
              TRUE);
    EXPECT_NE(reopened, timer);
    EXPECT_EQ(slotOf(reopened), slotOf(timer));  // the timer's own slot, taken again
    EXPECT_EQ(pf::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE), FALSE);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(pf::CancelWaitableTimer(timer), FALSE);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(pf::SetWaitableTimer(reopened, &due, 0, nullptr, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(other, 10000), WAIT_OBJECT_0);
    pf::CloseHandle(other);
    pf::CloseHandle(reopened);
    handles.pop_back();
    for (HANDLE handle : handles) pf::CloseHandle(handle);
}

namespace {

void RandomDelay() {
    thread_local unsigned seed = static_cast<unsigned>(getpid());
    if (rand_r(&seed) % 2 == 0) usleep(static_cast<useconds_t>(rand_r(&seed) % 500));
}

// Runs `body` in `count` forked children at once, with random delays injected
// at the layer's race points; returns their exit codes (128 + the signal for
// one a signal ended).
std::vector<int> InChildren(int count, const std::function<int()>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        if (children.emplace_back(fork()) != 0) continue;
        posix::SetSemaphoreRaceDelay(RandomDelay);
        _exit(body());
    }
    std::vector<int> results;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        results.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return results;
}

}  // namespace

// A SIGKILLed last holder leaves the name's file: the next open removes it and
// fails with 2, and a new create starts afresh with its own count.
TEST(SemaphoreLifetime, TheNextOpenRemovesWhatAKilledLastHolderLeft) {
    const std::string name = UniqueName("killed");
    EXPECT_EQ(InChildren(1,
                         [&] {
                             HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
                             pf::WaitForSingleObject(semaphore, 0);  // takes the unit and dies holding it
                             return kill(getpid(), SIGKILL);
                         }),
              std::vector<int>{128 + SIGKILL});
    EXPECT_TRUE(rvsys::test::SemaphoreFileExists(name));
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(name));
    HANDLE fresh = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(CountOf(fresh), 1);
    pf::CloseHandle(fresh);
}

// The object lives on until the last close in any process removes the file.
TEST(SemaphoreLifetime, AForkChildClosingAnInheritedHandleLeavesTheObject) {
    const std::string name = UniqueName("inherited");
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(InChildren(1, [&] { return pf::CloseHandle(semaphore) == TRUE ? 0 : 1; }), std::vector<int>{0});
    EXPECT_TRUE(rvsys::test::SemaphoreFileExists(name));
    pf::CloseHandle(semaphore);
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(name));
}

// Processes creating, taking and closing one name keep mutual exclusion, and
// the name is destroyed with every last close.
TEST(SemaphoreRaces, ExclusionHoldsWithInjectedDelays) {
    struct Exclusion {
        std::atomic<int> inside, overlaps;
        long long plain;  // changed only inside the critical section
    };
    const std::string name = UniqueName("churn");
    auto* shared =
        new (mmap(nullptr, sizeof(Exclusion), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Exclusion{};
    const auto rounds = [&] {
        for (int round = 0; round < 300; ++round) {
            HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
            if (pf::WaitForSingleObject(semaphore, INFINITE) != WAIT_OBJECT_0) return 1;
            if (shared->inside.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
            RandomDelay();  // a longer stay inside lets a second holder show
            ++shared->plain;
            shared->inside.fetch_sub(1);
            pf::ReleaseSemaphore(semaphore, 1, nullptr);
            pf::CloseHandle(semaphore);
        }
        return 0;
    };
    EXPECT_EQ(InChildren(4, rounds), std::vector<int>(4, 0));
    EXPECT_EQ(shared->overlaps.load(), 0);
    EXPECT_EQ(shared->plain, 4 * 300);
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(name));
    munmap(shared, sizeof(Exclusion));
}

// A leaving release gives the unit back and clears the holding flag; at the
// maximum it keeps the flag and falls back outside the section. Either way the
// section ends.
TEST(SignalSections, ALeavingReleaseFallsBackOutsideTheSectionOnlyAtTheMaximum) {
    std::thread([] {
        HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, nullptr);
        ASSERT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);  // now this thread's last handle
        std::uint32_t outer = pf::kSectionIdle;
        ASSERT_TRUE(pf::EnterSignalSection(outer));  // the fast entry needs a first section
        pf::LeaveSignalSection(outer);
        static std::uint32_t stateInFallback;
        const auto fallback = [](void*) {
            stateInFallback = pf::tlsSignalSection->state.load();
            return true;
        };
        for (bool full : {false, true}) {
            bool held = true;
            stateInFallback = pf::kSectionBusy;  // stays so unless the fallback runs
            ASSERT_TRUE(pf::TryEnterSignalSection(outer));
            EXPECT_TRUE(pf::ReleaseRecentSemaphoreLeaving(semaphore, held, outer, fallback, nullptr));
            EXPECT_EQ(held, full);
            EXPECT_EQ(stateInFallback, full ? pf::kSectionIdle : pf::kSectionBusy);
            EXPECT_EQ(pf::tlsSignalSection->state.load(), pf::kSectionIdle);
        }
        pf::CloseHandle(semaphore);
    }).join();
}
