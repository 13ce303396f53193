// Behaviours of the Linux layer that Windows does not share or that only Linux
// can observe: the clock seam's system clocks, handle generations, the
// resources of terminated threads, the timer service's wake-ups, and named semaphores shared by
// forked processes (killed holders, inherited handles, races with delays
// injected where the steps of different processes interleave).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <utility>

#if defined(RVSYS_SANITIZER_ADDRESS)
#include <sanitizer/lsan_interface.h>
#endif

#include "conformance.h"
#include "platform/linux/semaphores.h"
#include "platform/linux/threads.h"
#include "platform/linux/timer_service.h"
#include "platform/linux/timers.h"

namespace posix = rvsys::platform::posix;

// Handles carry a generation: a closed value keeps failing once a new object
// takes its slot (Windows reuses the value at once).
TEST(Handles, ANewObjectDoesNotAnswerToAClosedValue) {
    HANDLE closed = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(pf::CloseHandle(closed), TRUE);
    HANDLE fresh = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(fresh, closed);
    EXPECT_EQ(pf::SetEvent(closed), FALSE);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(pf::WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    pf::CloseHandle(fresh);
}

namespace {

// Each termination waits until the target has been scheduled to take the
// signal, which on a loaded shared machine takes milliseconds: the suite's
// default keeps within the time limit, RVSYS_TERMINATIONS=100000 is the full
// run.
#if defined(RVSYS_SANITIZER_ADDRESS) || defined(RVSYS_SANITIZER_THREAD)
constexpr int kDefaultTerminations = 1000;
// The sanitizer runtimes map their own per-thread metadata as they go; a
// leaked stack would add two mappings per thread, hundreds in all.
constexpr long kMappingSlack = 32;
#else
constexpr int kDefaultTerminations = 2000;
constexpr long kMappingSlack = 8;
#endif

int Terminations() {
    const char* value = std::getenv("RVSYS_TERMINATIONS");
    return value != nullptr ? std::max(1000, std::atoi(value)) : kDefaultTerminations;
}

// A number from /proc/self/status ("VmSize:", "Threads:").
long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::strlen(name)));
    }
    return -1;
}

long Lines(const char* path) {
    std::ifstream file(path);
    long lines = 0;
    std::string line;
    while (std::getline(file, line)) ++lines;
    return lines;
}

int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1;
    return count;
}

// Spins on an atomic: ThreadSanitizer delivers signals only when the thread
// calls into its runtime.
DWORD SpinUntilTerminated(LPVOID started) {
    auto* flag = static_cast<std::atomic<bool>*>(started);
    flag->store(true);
    for (;;) flag->load(std::memory_order_relaxed);
}

// Terminates `count` spinning threads, a few at a time (so that waiting for
// one to be scheduled overlaps with the others).
void TerminateSpinningThreads(int count) {
    constexpr int kBatch = 8;
    for (int done = 0; done < count; done += kBatch) {
        std::atomic<bool> started[kBatch] = {};
        HANDLE threads[kBatch];
        for (int i = 0; i < kBatch; ++i) {
            threads[i] = pf::CreateThread(nullptr, 0, SpinUntilTerminated, &started[i], 0, nullptr);
            ASSERT_NE(threads[i], nullptr);
        }
        for (int i = 0; i < kBatch; ++i) {
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
// thread or descriptor is left.
TEST(Termination, ManyTerminatedThreadsLeaveNoResourcesBehind) {
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first one
    const long threadsBefore = StatusField("Threads:");
    const int descriptorsBefore = OpenDescriptors();
    TerminateSpinningThreads(500);
    const long maps = Lines("/proc/self/maps");
    const long size = StatusField("VmSize:");
    const int total = Terminations();
    TerminateSpinningThreads(total - 500);
    const long mapsAfter = Lines("/proc/self/maps");
    const long sizeAfter = StatusField("VmSize:");
    std::printf("after 500: %ld mappings, VmSize %ld kB; after %d: %ld mappings, VmSize %ld kB\n", maps, size, total,
                mapsAfter, sizeAfter);
    EXPECT_LE(mapsAfter, maps + kMappingSlack);
    // glibc's stack cache and arenas hold a few stacks' worth at any moment, more
    // or fewer from one sample to the next; 1,500 leaked stacks would be 12 GB.
    EXPECT_LE(sizeAfter, size + 64L * 1024);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return StatusField("Threads:") <= threadsBefore; }));
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
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
    const auto until = Clock::now() + std::chrono::milliseconds(100);
    while (Clock::now() < until) count->fetch_add(1);
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
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::CloseHandle(thread);
}

// A thread the layer did not create, terminated, stops for good: nothing of
// its own runs again, its handle reports the code, and it can still be joined.
TEST(Termination, ThreadNotCreatedByTheLayerStopsForGood) {
#if defined(RVSYS_SANITIZER_THREAD)
    GTEST_SKIP() << "ThreadSanitizer's runtime does not follow a raw thread exit";
#endif
    std::atomic<HANDLE> handle{nullptr};
    std::atomic<std::uint64_t> marker{0};
    std::thread adopted([&] {
        struct Marks {
            std::atomic<std::uint64_t>& marker;
            ~Marks() { marker.fetch_add(std::uint64_t{1} << 32); }
        } frame{marker};
#if defined(RVSYS_SANITIZER_ADDRESS)
        // glibc's record of the thread's thread_local destructor, allocated on
        // first use, is never freed: the thread leaves without running them.
        __lsan_disable();
        handle = DuplicateOwnHandle();
        __lsan_enable();
#else
        handle = DuplicateOwnHandle();
#endif
        for (;;) marker.fetch_add(1);
    });
    while (marker.load() < 3) std::this_thread::yield();
    ASSERT_EQ(pf::TerminateThread(handle.load(), 12), TRUE);
    const std::uint64_t after = marker.load();
    EXPECT_EQ(pf::WaitForSingleObject(handle.load(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(handle.load()), 12u);
    pf::Sleep(200);
    EXPECT_EQ(marker.load(), after);
#if defined(RVSYS_SANITIZER_ADDRESS) || defined(RVSYS_SANITIZER_THREAD)
    adopted.detach();  // the sanitizers' join waits for an end their runtime never sees
#else
    adopted.join();  // the kernel clears the thread's id as it ends
#endif
    pf::CloseHandle(handle.load());
}

// Past a few megabytes the timer pool and the handle table take their memory
// in huge-page blocks: every object carved from them is its own, and every
// handle keeps naming the object it was made for.
TEST(Handles, EveryObjectCarvedFromALargeBlockStaysDistinct) {
    constexpr int kTimers = 80000;  // more than 2 MiB of timers and 64k handles
    std::vector<HANDLE> handles;
    std::vector<posix::TimerObj*> objects;
    for (int i = 0; i < kTimers; ++i) {
        handles.push_back(pf::CreateWaitableTimerA(nullptr, FALSE, nullptr));
        ASSERT_NE(handles.back(), nullptr);
        objects.push_back(posix::Peek<posix::TimerObj>(handles.back(), posix::Kind::Timer));
    }
    for (int i = 0; i < kTimers; ++i) {
        ASSERT_EQ(posix::Peek<posix::TimerObj>(handles[i], posix::Kind::Timer), objects[i]) << i;
    }
    std::sort(objects.begin(), objects.end());
    for (int i = 1; i < kTimers; ++i) {
        ASSERT_GE(reinterpret_cast<char*>(objects[i]) - reinterpret_cast<char*>(objects[i - 1]),
                  static_cast<std::ptrdiff_t>(sizeof(posix::TimerObj)));
    }
    for (HANDLE handle : handles) pf::CloseHandle(handle);
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

// Arming and cancelling timers due after the earliest never wakes the timer
// service; a timer that becomes the earliest does.
TEST(TimerService, WakesOnlyWhenATimerIsDue) {
    std::vector<HANDLE> timers;
    for (int i = 0; i <= 1000; ++i) timers.push_back(pf::CreateWaitableTimerA(nullptr, FALSE, nullptr));
    ASSERT_EQ(Arm(timers[0], -60000), TRUE);
    pf::Sleep(20);  // let a wake-up for the first arming (if any) pass
    const std::uint64_t before = posix::TimerServiceWakeups();
    for (int i = 1; i <= 1000; ++i) ASSERT_EQ(Arm(timers[i], -120000 - i), TRUE);
    for (int i = 1; i <= 500; ++i) pf::CancelWaitableTimer(timers[i]);
    pf::Sleep(20);
    EXPECT_EQ(posix::TimerServiceWakeups(), before);
    ASSERT_EQ(Arm(timers[1], -1), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(timers[1], 5000), WAIT_OBJECT_0);
    EXPECT_GT(posix::TimerServiceWakeups(), before);
    for (HANDLE timer : timers) pf::CloseHandle(timer);
}

// Started at the descriptor limit, the timer service gets one timerfd of its
// two: the arming fails and the one made is closed; with descriptors free
// again, the next arming starts the service. In a fresh process, so that the
// service is not running yet.
RVSYS_HELPER(service_start_at_descriptor_limit) {
    const int before = OpenDescriptors();
    rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    close(fillers.back());  // one left for the service
    fillers.pop_back();
    HANDLE timer = pf::CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (timer == nullptr) return 3;
    if (Arm(timer, -1) != FALSE) return 4;
    for (int fd : fillers) close(fd);
    if (OpenDescriptors() != before) return 5;
    if (Arm(timer, -1) != TRUE || pf::WaitForSingleObject(timer, 5000) != WAIT_OBJECT_0) return 6;
    return 0;
}

TEST(TimerService, AStartFailingAtTheDescriptorLimitIsRecoverable) {
    EXPECT_EQ(rvsys::test::RunHelper("service_start_at_descriptor_limit"), 0);
}

namespace {

template <class T>
T* SharedMemory() {
    void* memory = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return new (memory) T();
}

void RandomDelay() {
    thread_local unsigned seed = static_cast<unsigned>(getpid());
    if (rand_r(&seed) % 2 == 0) usleep(static_cast<useconds_t>(rand_r(&seed) % 500));
}

// Runs `body` in `count` forked children at once, with random delays injected
// at the layer's race points when `racing`; returns their exit codes (128 +
// the signal for one a signal ended).
std::vector<int> InChildren(int count, const std::function<int()>& body, bool racing = false) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        if (children.emplace_back(fork()) != 0) continue;
        if (racing) posix::SetSemaphoreRaceDelay(RandomDelay);
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
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(CountOf(fresh), 1);
    pf::CloseHandle(fresh);
}

// The object lives on until the last close in any process removes the file.
TEST(SemaphoreLifetime, AForkChildClosingAnInheritedHandleLeavesTheObject) {
    const std::string name = UniqueName("inherited");
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(InChildren(1, [&] { return pf::CloseHandle(semaphore) == TRUE ? 0 : 1; }), std::vector<int>{0});
    HANDLE again = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(again, nullptr);
    pf::CloseHandle(again);
    pf::CloseHandle(semaphore);
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(name));
}

// Processes creating, taking and closing one name keep mutual exclusion, and
// the name is destroyed with every last close.
TEST(SemaphoreRaces, ExclusionHoldsWithInjectedDelays) {
    struct Exclusion {
        std::atomic<int> inside;
        std::atomic<int> overlaps;
        long long plain;  // changed only inside the critical section
    };
    const std::string churn = UniqueName("churn");
    auto* shared = SharedMemory<Exclusion>();
    EXPECT_EQ(InChildren(
                  4,
                  [&] {
                      for (int round = 0; round < 300; ++round) {
                          HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, churn.c_str());
                          if (pf::WaitForSingleObject(semaphore, INFINITE) != WAIT_OBJECT_0) return 1;
                          if (shared->inside.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
                          RandomDelay();  // a longer stay inside lets a second holder show
                          ++shared->plain;
                          shared->inside.fetch_sub(1);
                          pf::ReleaseSemaphore(semaphore, 1, nullptr);
                          pf::CloseHandle(semaphore);
                      }
                      return 0;
                  },
                  true),
              std::vector<int>(4, 0));
    EXPECT_EQ(shared->overlaps.load(), 0);
    EXPECT_EQ(shared->plain, 4 * 300);
    EXPECT_FALSE(rvsys::test::SemaphoreFileExists(churn));
}

namespace {

// A semaphore the calling thread resolved last (count 0 after the take).
struct RecentSemaphore : testing::Test {
    void SetUp() override { ASSERT_EQ(pf::WaitForSingleObject(recent, 0), WAIT_OBJECT_0); }
    void TearDown() override {
        pf::CloseHandle(recent);
        pf::CloseHandle(other);
    }
    HANDLE recent = pf::CreateSemaphoreA(nullptr, 1, 2, nullptr);
    HANDLE other = pf::CreateSemaphoreA(nullptr, 1, 2, nullptr);
};

}  // namespace

// The fast paths of the Lock/Unlock pair serve only the semaphore handle the
// thread resolved last; the caller's ordinary path does the rest.
TEST_F(RecentSemaphore, OnlyTheThreadsLastHandleIsServed) {
    EXPECT_FALSE(pf::TryTakeRecentSemaphore(other));
    EXPECT_FALSE(pf::ReleaseRecentSemaphore(other));
    EXPECT_TRUE(pf::ReleaseRecentSemaphore(recent));
    EXPECT_TRUE(pf::TryTakeRecentSemaphore(recent));
    EXPECT_EQ(CountOf(other), 1);
}

// With no unit free, or at the maximum, the fast path refuses and changes no
// count and no error.
TEST_F(RecentSemaphore, ARefusalChangesNothing) {
    pf::SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(pf::TryTakeRecentSemaphore(recent));
    EXPECT_EQ(CountOf(recent), 0);
    ASSERT_EQ(pf::ReleaseSemaphore(recent, 2, nullptr), TRUE);
    ASSERT_EQ(pf::WaitForSingleObject(recent, 0), WAIT_OBJECT_0);  // resolved last again, count 1
    EXPECT_TRUE(pf::ReleaseRecentSemaphore(recent));
    EXPECT_FALSE(pf::ReleaseRecentSemaphore(recent));
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(CountOf(recent), -1);  // at its maximum, 2
}

TEST_F(RecentSemaphore, AClosedHandleIsNotServed) {
    HANDLE closed = std::exchange(recent, pf::CreateSemaphoreA(nullptr, 1, 2, nullptr));
    ASSERT_EQ(pf::WaitForSingleObject(closed, 0), WAIT_TIMEOUT);  // resolved last
    pf::CloseHandle(closed);
    EXPECT_FALSE(pf::TryTakeRecentSemaphore(closed));
    EXPECT_FALSE(pf::ReleaseRecentSemaphore(closed));
}

TEST(RecentSemaphoreWaits, AFastReleaseWakesABlockedWaiter) {
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, nullptr);
    ASSERT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);  // now this thread's last handle
    const auto timeout = static_cast<DWORD>(rvsys::test::Slack(10000).count());
    const auto start = Clock::now();
    BlockedWaiters waiter(semaphore, 1, timeout);
    EXPECT_TRUE(pf::ReleaseRecentSemaphore(semaphore));
    waiter.Join();
    EXPECT_EQ(waiter.woken.load(), 1);
    EXPECT_LT(ElapsedMs(start), timeout / 2);  // woken, not found at its time-out
    pf::CloseHandle(semaphore);
}

namespace {

// What one leaving release did, inside the thread's section.
struct LeavingRelease {
    bool held;                      // the holding flag afterwards
    std::uint32_t stateAfter;       // the section's state afterwards
    std::uint32_t stateInFallback;  // busy: the fallback did not run
};

// Two leaving releases of a semaphore with maximum 1 on a thread of its own:
// the first gives the unit back, the second finds the count at its maximum
// and falls back. Also how many units the semaphore then holds.
std::vector<LeavingRelease> TwoLeavingReleases(int* units) {
    std::vector<LeavingRelease> rounds;
    std::thread([&] {
        HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, nullptr);
        ASSERT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);  // now this thread's last handle
        std::uint32_t outer = pf::kSectionIdle;
        ASSERT_TRUE(pf::EnterSignalSection(outer));  // the thread's first section
        pf::LeaveSignalSection(outer);
        static std::uint32_t stateInFallback;
        const auto otherwise = [](void*) {
            stateInFallback = pf::tlsSignalSection->state.load();
            return true;
        };
        for (int round = 0; round < 2; ++round) {
            bool held = true;
            stateInFallback = pf::kSectionBusy;
            ASSERT_TRUE(pf::TryEnterSignalSection(outer));
            EXPECT_TRUE(pf::ReleaseRecentSemaphoreLeaving(semaphore, held, outer, otherwise, nullptr));
            rounds.push_back({held, pf::tlsSignalSection->state.load(), stateInFallback});
        }
        *units = 0;
        while (pf::WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++*units;
        pf::CloseHandle(semaphore);
    }).join();
    return rounds;
}

}  // namespace

// The first release gives the unit back and clears the holding flag; the
// second finds the count at its maximum, keeps the flag and falls back outside
// the section. Either way the section ends.
TEST(LeavingRelease, FallsBackOutsideTheSectionOnlyWhenTheCountIsFull) {
    int units = 0;
    const auto rounds = TwoLeavingReleases(&units);
    ASSERT_EQ(rounds.size(), 2u);
    EXPECT_FALSE(rounds[0].held);
    EXPECT_EQ(rounds[0].stateInFallback, pf::kSectionBusy);  // released: no fallback
    EXPECT_TRUE(rounds[1].held);
    EXPECT_EQ(rounds[1].stateInFallback, pf::kSectionIdle);
    for (const LeavingRelease& round : rounds) EXPECT_EQ(round.stateAfter, pf::kSectionIdle);
    EXPECT_EQ(units, 1);
}

TEST(SignalSections, TheFastEntryDeclinesBeforeTheThreadsFirstSection) {
    std::thread([] {
        std::uint32_t outer = pf::kSectionIdle;
        EXPECT_FALSE(pf::TryEnterSignalSection(outer));
    }).join();
}

// It leaves the thread's state as it found it.
TEST(SignalSections, TheFastEntryDeclinesWhileACleanupStopsSections) {
    std::thread([] {
        std::uint32_t outer = pf::kSectionIdle;
        ASSERT_TRUE(pf::EnterSignalSection(outer));
        pf::LeaveSignalSection(outer);
        pf::gSignalSectionFlags.fetch_or(pf::kSectionsStopped);
        EXPECT_FALSE(pf::TryEnterSignalSection(outer));
        pf::gSignalSectionFlags.fetch_and(static_cast<std::uint8_t>(~pf::kSectionsStopped));
        EXPECT_EQ(pf::tlsSignalSection->state.load(), pf::kSectionIdle);
    }).join();
}

TEST(SignalSections, TheFastEntryMarksTheSectionBusyUntilLeft) {
    std::thread([] {
        std::uint32_t outer = pf::kSectionIdle;
        ASSERT_TRUE(pf::EnterSignalSection(outer));
        pf::LeaveSignalSection(outer);
        ASSERT_TRUE(pf::TryEnterSignalSection(outer));
        EXPECT_EQ(pf::tlsSignalSection->state.load(), pf::kSectionBusy);
        pf::LeaveSignalSection(outer);
        EXPECT_EQ(pf::tlsSignalSection->state.load(), pf::kSectionIdle);
    }).join();
}
