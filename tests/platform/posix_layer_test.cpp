// Behaviours of the Linux layer that Windows does not share or that only Linux
// can observe: the clock seam's system clocks, handle generations, cooperative
// termination, the timer service's wake-ups, and named semaphores shared by
// forked processes (killed holders, inherited handles, races with delays
// injected where the steps of different processes interleave).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/objects.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
namespace posix = rvsys::platform::posix;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

std::uint64_t Now(clockid_t clock, std::uint64_t unitNs) {
    timespec ts;
    clock_gettime(clock, &ts);
    return (static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec)) / unitNs;
}

LARGE_INTEGER InMs(std::int64_t milliseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -milliseconds * 10000;
    return due;
}

}  // namespace

// The tick is CLOCK_BOOTTIME in ms; the FILETIME is the wall clock from 1601.
TEST(ClockSeam, SystemClocksAreBootTimeAndTheWallClock) {
    const std::uint64_t before = Now(CLOCK_BOOTTIME, 1000000);
    const DWORD tick = pf::GetTickCount();
    EXPECT_GE(tick, static_cast<DWORD>(before));
    EXPECT_LE(tick, static_cast<DWORD>(Now(CLOCK_BOOTTIME, 1000000)));
    constexpr std::uint64_t kUnitsFrom1601To1970 = 116444736000000000ull;
    const std::uint64_t realBefore = Now(CLOCK_REALTIME, 100) + kUnitsFrom1601To1970;
    FILETIME file;
    pf::GetSystemTimeAsFileTime(&file);
    const std::uint64_t units = std::uint64_t{file.dwHighDateTime} << 32 | file.dwLowDateTime;
    EXPECT_GE(units, realBefore);
    EXPECT_LE(units, Now(CLOCK_REALTIME, 100) + kUnitsFrom1601To1970);
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

enum Target : std::intptr_t { kBlocked, kSpinning, kInLibraryCode, kOnACriticalSection };
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
    if (kind == kBlocked) pf::Sleep(INFINITE);
    if (kind == kOnACriticalSection) pf::EnterCriticalSection(&gHeld);
    while (!gStop.load()) {
    }
    if (kind == kInLibraryCode) pf::LeaveLibraryCode();  // a termination requested meanwhile ends the thread here
    pf::Sleep(1);  // the first blocking call: a terminated thread ends here
    gRanOn = true;
    return 0;
}

}  // namespace

// Cooperative termination: a blocked thread ends promptly; a spinning one at
// its next blocking call (TerminateThread returns at once); one in library
// code only once it leaves it (TerminateThread waits); one blocked on a
// critical section without taking it. Each unwinds its stack.
TEST(Termination, EndsTheTargetAtItsNextBlockingCallAndUnwinds) {
    pf::InitializeCriticalSection(&gHeld);
    for (Target target : {kBlocked, kSpinning, kInLibraryCode, kOnACriticalSection}) {
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
        const auto start = Clock::now();
        std::thread terminator([&] {
            EXPECT_EQ(pf::TerminateThread(thread, exitCode), TRUE);
            returned = true;
        });
        if (target == kSpinning) {
            EXPECT_TRUE(rvsys::test::Eventually([&] { return returned.load(); }));
            DWORD code = 0;
            pf::GetExitCodeThread(thread, &code);
            EXPECT_EQ(code, STILL_ACTIVE);
        } else if (target == kInLibraryCode) {
            pf::Sleep(30);
            EXPECT_FALSE(returned.load());
        }
        gStop = true;
        terminator.join();
        EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        if (target == kBlocked) {
            EXPECT_LT(ElapsedMs(start), 1000);
        }
        DWORD code = 0;
        pf::GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, exitCode);
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
    LARGE_INTEGER due = InMs(60000);
    ASSERT_EQ(pf::SetWaitableTimer(timers[0], &due, 0, nullptr, nullptr, FALSE), TRUE);
    pf::Sleep(20);  // let a wake-up for the first arming (if any) pass
    const std::uint64_t before = posix::TimerServiceWakeups();
    for (int i = 1; i <= 1000; ++i) {
        due = InMs(120000 + i);
        ASSERT_EQ(pf::SetWaitableTimer(timers[i], &due, 0, nullptr, nullptr, FALSE), TRUE);
    }
    for (int i = 1; i <= 500; ++i) pf::CancelWaitableTimer(timers[i]);
    pf::Sleep(20);
    EXPECT_EQ(posix::TimerServiceWakeups(), before);
    due = InMs(1);
    ASSERT_EQ(pf::SetWaitableTimer(timers[1], &due, 0, nullptr, nullptr, FALSE), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(timers[1], 5000), WAIT_OBJECT_0);
    EXPECT_GT(posix::TimerServiceWakeups(), before);
    for (HANDLE timer : timers) pf::CloseHandle(timer);
}

namespace {

std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "rvsys-proc-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(counter++);
}

bool FileExistsFor(const std::string& name) {
    struct stat status;
    return stat(("/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + name).c_str(), &status) == 0;
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

template <class T>
T* SharedMemory(std::size_t count = 1) {
    void* memory = mmap(nullptr, sizeof(T) * count, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return new (memory) T[count]();
}

void RandomDelay() {
    thread_local unsigned seed = static_cast<unsigned>(getpid());
    if (rand_r(&seed) % 2 == 0) usleep(static_cast<useconds_t>(rand_r(&seed) % 500));
}

// Runs `body` in `count` forked children with the race delay injected; true
// when every one exits with 0.
bool InRacingChildren(int count, const std::function<int()>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(Fork([&] {
            posix::SetSemaphoreRaceDelay(RandomDelay);
            return body();
        }));
    }
    bool allPassed = true;
    for (pid_t child : children) allPassed = Reap(child) == 0 && allPassed;
    return allPassed;
}

}  // namespace

// A SIGKILLed last holder leaves the name's file, which the next open removes
// (2); a new create starts afresh. A fork child closing an inherited handle
// leaves the object alive; the last close removes the file.
TEST(SemaphoreLifetime, KilledLastHolderAndForkChildren) {
    const std::string name = UniqueName("killed");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = Fork([&] {
        HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
        pf::WaitForSingleObject(semaphore, 0);  // takes the unit and dies holding it
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) return 3;
        for (;;) pause();
    });
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    kill(holder, SIGKILL);
    EXPECT_EQ(Reap(holder), 128 + SIGKILL);
    EXPECT_TRUE(FileExistsFor(name));
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(FileExistsFor(name));
    HANDLE fresh = pf::CreateSemaphoreA(nullptr, 1, 2, name.c_str());
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(pf::WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);  // its own initial count, not the dead one's 0

    EXPECT_EQ(Reap(Fork([&] { return pf::CloseHandle(fresh) == TRUE ? 0 : 1; })), 0);
    HANDLE again = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(again, nullptr);
    pf::CloseHandle(again);
    pf::CloseHandle(fresh);
    EXPECT_FALSE(FileExistsFor(name));
    close(ready[0]);
    close(ready[1]);
}

// Processes creating, taking and closing one name keep mutual exclusion, and
// the name is destroyed with every last close; releases racing to the maximum
// stop at it exactly, each count reported once.
TEST(SemaphoreRaces, ExclusionAndTheMaximumHoldWithInjectedDelays) {
    struct Exclusion {
        std::atomic<int> inside;
        std::atomic<int> mostInside;
        long long plain;  // changed only inside the critical section
    };
    const std::string churn = UniqueName("churn");
    auto* shared = SharedMemory<Exclusion>();
    EXPECT_TRUE(InRacingChildren(4, [&] {
        for (int round = 0; round < 300; ++round) {
            HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 1, churn.c_str());
            if (semaphore == nullptr || pf::WaitForSingleObject(semaphore, INFINITE) != WAIT_OBJECT_0) return 1;
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
    EXPECT_EQ(shared->mostInside.load(), 1);
    EXPECT_EQ(shared->plain, 4 * 300);
    EXPECT_FALSE(FileExistsFor(churn));

    const std::string name = UniqueName("max");
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 64535, 65535, name.c_str());
    auto* previous = SharedMemory<std::atomic<LONG>>(1004);
    auto* taken = SharedMemory<std::atomic<int>>();
    EXPECT_TRUE(InRacingChildren(4, [&] {
        HANDLE theirs = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
        LONG before = -1;
        while (pf::ReleaseSemaphore(theirs, 1, &before) == TRUE) previous[taken->fetch_add(1)].store(before);
        return pf::GetLastError() == ERROR_TOO_MANY_POSTS ? 0 : 1;
    }));
    ASSERT_EQ(taken->load(), 1000);
    std::vector<LONG> seen(previous, previous + 1000);
    std::sort(seen.begin(), seen.end());
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], 64535 + i);
    EXPECT_EQ(pf::ReleaseSemaphore(mine, 1, nullptr), FALSE);
    pf::CloseHandle(mine);
}
