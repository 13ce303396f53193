// Behaviours of the Linux layer that Windows does not share or that only Linux
// can observe: the clock seam's system clocks, handle generations, cooperative
// termination, the timer service's wake-ups, and named semaphores shared by
// forked processes (killed holders, inherited handles, races with delays
// injected where the steps of different processes interleave).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include "conformance.h"
#include "platform/posix/objects.h"

namespace posix = rvsys::platform::posix;

// The tick is CLOCK_BOOTTIME in ms, as Windows' counts time asleep too (the
// wall clock is checked with the other systems' conformance tests).
TEST(ClockSeam, TickIsBootTime) {
    auto bootMs = [] {
        timespec ts;
        clock_gettime(CLOCK_BOOTTIME, &ts);
        return static_cast<DWORD>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
    };
    const DWORD before = bootMs();
    const DWORD tick = pf::GetTickCount();
    EXPECT_GE(tick, before);
    EXPECT_LE(tick, bootMs());
}

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

enum Target : std::intptr_t { kSpinning, kInLibraryCode, kOnACriticalSection };
std::atomic<bool> gStarted{false};
std::atomic<bool> gStop{false};
std::atomic<bool> gRanOn{false};
std::atomic<int> gUnwound{0};
CRITICAL_SECTION gHeld;

struct Unwinds {
    ~Unwinds() { gUnwound.fetch_add(1); }
};

DWORD RunTarget(LPVOID target) {
    Unwinds guard;
    const auto kind = static_cast<Target>(reinterpret_cast<std::intptr_t>(target));
    if (kind == kInLibraryCode || kind == kOnACriticalSection) pf::EnterLibraryCode();
    gStarted = true;
    if (kind == kOnACriticalSection) pf::EnterCriticalSection(&gHeld);
    while (!gStop.load()) {
    }
    if (kind == kInLibraryCode) pf::LeaveLibraryCode();  // a termination requested meanwhile ends the thread here
    pf::Sleep(1);  // the first blocking call: a terminated thread ends here
    gRanOn = true;
    return 0;
}

}  // namespace

// Cooperative termination: a spinning thread ends at its next blocking call
// (TerminateThread returns at once); one in library code only once it leaves
// it (TerminateThread waits); one blocked on a critical section without taking
// it. Each unwinds its stack. (A thread blocked elsewhere ends promptly: the
// library's termination tests.)
TEST(Termination, EndsTheTargetAtItsNextBlockingCallAndUnwinds) {
    pf::InitializeCriticalSection(&gHeld);
    for (Target target : {kSpinning, kInLibraryCode, kOnACriticalSection}) {
        SCOPED_TRACE(static_cast<int>(target));
        gStarted = gRanOn = false;
        gStop = target == kOnACriticalSection;
        gUnwound = 0;
        if (target == kOnACriticalSection) pf::EnterCriticalSection(&gHeld);
        HANDLE thread = pf::CreateThread(nullptr, 0, RunTarget, reinterpret_cast<LPVOID>(target), 0, nullptr);
        while (!gStarted.load()) std::this_thread::yield();
        if (target == kOnACriticalSection) pf::Sleep(20);  // into EnterCriticalSection
        const auto exitCode = static_cast<DWORD>(20 + target);
        std::atomic<bool> returned{false};
        std::thread terminator([&] {
            EXPECT_EQ(pf::TerminateThread(thread, exitCode), TRUE);
            returned = true;
        });
        if (target == kSpinning) {
            EXPECT_TRUE(rvsys::test::Eventually([&] { return returned.load(); }));
            EXPECT_EQ(ExitCodeOf(thread), STILL_ACTIVE);
        } else if (target == kInLibraryCode) {
            pf::Sleep(30);
            EXPECT_FALSE(returned.load());
        }
        gStop = true;
        terminator.join();
        EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(thread), exitCode);
        EXPECT_FALSE(gRanOn.load());
        EXPECT_EQ(gUnwound.load(), 1);
        if (target == kOnACriticalSection) {
            pf::LeaveCriticalSection(&gHeld);
            EXPECT_EQ(pf::TryEnterCriticalSection(&gHeld), TRUE);  // nobody else holds it
            pf::LeaveCriticalSection(&gHeld);
        }
        pf::CloseHandle(thread);
    }
    pf::DeleteCriticalSection(&gHeld);
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

namespace {
void RVSYS_WINAPI Ignore(LPVOID, DWORD, DWORD) {}
}  // namespace

// A thread that arms a routine timer times it itself in its alertable waits:
// it takes the service's 1 ns timer slack instead of the 50 us it inherited.
TEST(TimerService, ARoutineTimerGivesItsThreadTheServicesSlack) {
    unsigned long slack = 0;
    std::thread([&] {
        prctl(PR_SET_TIMERSLACK, 50000UL, 0, 0, 0);
        HANDLE timer = pf::CreateWaitableTimerA(nullptr, FALSE, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -600000000;
        pf::SetWaitableTimer(timer, &due, 0, Ignore, nullptr, FALSE);
        slack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
        pf::CancelWaitableTimer(timer);
        pf::CloseHandle(timer);
    }).join();
    EXPECT_EQ(slack, 1ul);
}

// A thread's heap of routine timers ends with the thread: its pooled object
// reaches the next thread without one, whose alertable waits then leave the
// service's lock alone.
TEST(TimerService, AnEndedThreadLeavesNoRoutineTimerHeapToItsObject) {
    posix::ThreadObj* object = nullptr;
    std::thread([&] {
        HANDLE timer = pf::CreateWaitableTimerA(nullptr, FALSE, nullptr);
        EXPECT_EQ(Arm(timer, -1, 0, Ignore), TRUE);
        EXPECT_EQ(pf::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
        object = posix::CurrentThread();
        pf::CloseHandle(timer);
    }).join();
    EXPECT_EQ(object->ownedTimers, nullptr);  // pooled memory: readable after the thread's end
}

namespace {

int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1;
    return count;
}

}  // namespace

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

TEST(TimerService, AFailedStartLeavesNoDescriptorAndTheNextArmingStartsIt) {
    EXPECT_EQ(rvsys::test::RunHelper("service_start_at_descriptor_limit"), 0);
}

namespace {

bool FileExistsFor(const std::string& name) {
    struct stat status;
    return stat(("/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + name).c_str(), &status) == 0;
}

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

// A SIGKILLed last holder leaves the name's file, which the next open removes
// (2); a new create starts afresh. A fork child closing an inherited handle
// leaves the object alive; the last close removes the file.
TEST(SemaphoreLifetime, KilledLastHolderAndForkChildren) {
    const std::string name = UniqueName("killed");
    EXPECT_EQ(InChildren(1, [&] {
                  HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
                  pf::WaitForSingleObject(semaphore, 0);  // takes the unit and dies holding it
                  return kill(getpid(), SIGKILL);
              }),
              std::vector<int>{128 + SIGKILL});
    EXPECT_TRUE(FileExistsFor(name));
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(FileExistsFor(name));
    HANDLE fresh = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(CountOf(fresh), 1);  // its own initial count, not the dead one's 0

    EXPECT_EQ(InChildren(1, [&] { return pf::CloseHandle(fresh) == TRUE ? 0 : 1; }), std::vector<int>{0});
    HANDLE again = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(again, nullptr);
    pf::CloseHandle(again);
    pf::CloseHandle(fresh);
    EXPECT_FALSE(FileExistsFor(name));
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
    EXPECT_EQ(InChildren(4, [&] {
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
              }, true),
              std::vector<int>(4, 0));
    EXPECT_EQ(shared->overlaps.load(), 0);
    EXPECT_EQ(shared->plain, 4 * 300);
    EXPECT_FALSE(FileExistsFor(churn));
}
