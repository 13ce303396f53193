// ThreadMutex, ThreadEvent, ThreadBase with StartThread and StopThread, the
// Thread functions and GetSystemUptime: the library's own logic. What the
// system calls underneath do (event semantics, waits, priorities, suspension)
// is the platform tests' part.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/ThreadMutex.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // constants: macros on Windows
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Ms;

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul, kFailed = 0xFFFFFFFFul, kTimeout = 258;

// Another thread takes a lock and says when it got it. A test that sees the
// lock held releases it before the probe goes out of scope (the probe joins).
class Probe {
public:
    Probe(const std::function<void()>& lock, const std::function<void()>& unlock)
        : mThread([this, lock, unlock] {
              lock();
              mGot = true;
              unlock();
          }) {}
    explicit Probe(ThreadEvent& event) : Probe([&event] { event.Lock(); }, [&event] { event.Unlock(); }) {}
    explicit Probe(pf::CRITICAL_SECTION* cs)
        : Probe([cs] { pf::EnterCriticalSection(cs); }, [cs] { pf::LeaveCriticalSection(cs); }) {}
    ~Probe() { mThread.join(); }
    bool GotWithin(Ms limit) {
        return rvsys::test::Eventually([this] { return mGot.load(); }, limit);
    }

private:
    std::atomic<bool> mGot{false};
    std::thread mThread;
};

struct Section {
    Section() { pf::InitializeCriticalSection(&cs); }
    ~Section() { pf::DeleteCriticalSection(&cs); }
    pf::CRITICAL_SECTION cs;
};

}  // namespace

// ---- ThreadMutex and ThreadEvent -----------------------------------------------------

// TryLock is refused to other threads while the mutex is held; without its
// critical section (allocation failed) the mutex refuses everything. (Nesting
// is the critical section's, which the platform tests check; Lock's exclusion
// the event loop's four-thread test loads through its request queue.)
TEST(ThreadMutex, TryLockKeepsOthersOutAndAMutexWithoutSectionRefusesAll) {
    ThreadMutex mutex;
    ASSERT_TRUE(mutex && mutex.Lock());
    bool taken = true;
    std::thread([&] { taken = mutex.TryLock(); }).join();
    EXPECT_FALSE(taken);
    EXPECT_TRUE(mutex.Unlock() && mutex.TryLock() && mutex.Unlock());
    rvsys::test::FailNothrowAllocations(1);
    ThreadMutex broken;
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_FALSE(broken || broken.Lock() || broken.TryLock() || broken.Unlock());
}

// Memory running out for the cell or the lock leaves the event not created;
// then Create works once and Destroy once, the reset mode reaches the system
// event, a destroyed lock is not used, and the event may be created again.
// (Waits on an event never created fail: the event loop's test.)
TEST(ThreadEvent, CreatesOnceDestroysOnceAndKeepsTheResetMode) {
    ThreadEvent event;
    for (int skip : {0, 1}) {
        rvsys::test::FailNothrowAllocations(1, skip);
        EXPECT_EQ(event.Create(1, 1), 0);
        rvsys::test::FailNothrowAllocations(0);
        EXPECT_EQ(event.GetHandle(), nullptr);
    }
    ASSERT_EQ(event.Create(1, 1), 1);
    void** cell = event.GetHandle();
    ASSERT_TRUE(cell != nullptr && *cell != nullptr);
    EXPECT_EQ(event.Create(0, 0), 0);
    EXPECT_EQ(event.GetHandle(), cell);
    EXPECT_EQ(event.SetEvent(), 1);  // still manual-reset, with a lock
    event.Lock();
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.ResetEvent(), 1);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
    event.Unlock();
    EXPECT_EQ(event.Destroy(), 1);
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_EQ(event.Destroy() + event.Lock(), 0);  // it had a lock, which is gone
    ASSERT_EQ(event.Create(0, 0), 1);              // auto-reset: SetEventAll keeps one signal for one wait
    EXPECT_EQ(event.SetEventAll(), 1);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
}

// The wait leaves the section it is given (not the event's own lock) while it
// blocks and holds it again when it returns; a timeout too large for 32 bits
// waits for the signal instead of wrapping to a short one.
TEST(ThreadEvent, WaitLeavesAndRetakesTheGivenSectionNotItsOwn) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    const unsigned long timeout =
        sizeof(unsigned long) > 4 ? static_cast<unsigned long>(0x100000000ull + 5) : 0xFFFFFFFEul;
    std::atomic<long> tid{0};
    std::atomic<unsigned long> result{1};
    bool heldAfterWait = false;
    std::thread waiter([&] {
        pf::GetCurrentThreadId();  // known to the platform layer before it is watched
        tid = rvsys::test::KernelThreadId();
        pf::EnterCriticalSection(&external.cs);
        result = event.WaitForEvent(timeout, &external.cs);
        Probe probe(&external.cs);
        heldAfterWait = !probe.GotWithin(Ms(30));
        pf::LeaveCriticalSection(&external.cs);
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(rvsys::test::WaitUntilBlocked(tid.load()));
    EXPECT_TRUE(Probe(&external.cs).GotWithin(Ms(5000)));
    EXPECT_TRUE(Probe(event).GotWithin(Ms(5000)));
    pf::Sleep(50);
    EXPECT_EQ(result.load(), 1ul);  // still waiting
    event.SetEvent();
    waiter.join();
    EXPECT_EQ(result.load(), 0ul);
    EXPECT_TRUE(heldAfterWait);
}

// A waiter that takes another section again is woken at once by a signal
// given under the event's own lock: a signaller that holds that lock while it
// waits for the waiter does not deadlock.
TEST(ThreadEvent, ASignalUnderItsLockWakesAWaiterOnAnotherSectionAtOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    std::atomic<long> tid{0};
    std::atomic<bool> woken{false};
    std::thread waiter([&] {
        pf::GetCurrentThreadId();  // known to the platform layer before it is watched
        tid = rvsys::test::KernelThreadId();
        pf::EnterCriticalSection(&external.cs);
        event.WaitForEvent(kInfinite, &external.cs);
        pf::LeaveCriticalSection(&external.cs);
        woken = true;
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(rvsys::test::WaitUntilBlocked(tid.load()));
    event.Lock();
    event.SetEvent();
    EXPECT_TRUE(rvsys::test::Eventually([&] { return woken.load(); }));
    event.Unlock();
    waiter.join();
}

static std::atomic<int> gCalls{0};
static void RVSYS_WINAPI CountCall(pf::ULONG_PTR) { gCalls.fetch_add(1); }

// Without a lock of its own the event's wait does not leave the section it is
// given; only WaitForEventEx runs queued calls (returning 192).
TEST(ThreadEvent, LocklessWaitsLeaveNoSectionAndOnlyTheAlertableOneRunsQueuedCalls) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    gCalls = 0;
    ASSERT_NE(pf::QueueUserAPC(CountCall, pf::GetCurrentThread(), 0), 0u);
    Section held;
    pf::EnterCriticalSection(&held.cs);
    Probe probe(&held.cs);
    EXPECT_EQ(event.WaitForEvent(50, &held.cs), kTimeout);
    EXPECT_FALSE(probe.GotWithin(Ms(0)));
    EXPECT_EQ(gCalls.load(), 0);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), 192ul);
    EXPECT_EQ(gCalls.load(), 1);
    pf::LeaveCriticalSection(&held.cs);
}

// Assignment releases the event the target owned (a leak shows in the
// sanitizer builds). That copies release nothing, the timer manager's copies
// show: its own event outlives them.
TEST(ThreadEvent, AssignmentReleasesTheTargetsOwnEvent) {
    ThreadEvent owner, assigned;
    ASSERT_EQ(owner.Create(1, 0) + assigned.Create(0, 1), 2);
    assigned = owner;
    EXPECT_EQ(assigned.GetHandle(), owner.GetHandle());
}

// A copy never reads the shared cell to learn that it is a copy: once the
// owner has freed the event, a copy's Destroy and destructor just forget it
// (a read of freed memory shows in the sanitizer builds).
TEST(ThreadEvent, CopiesForgetTheEventAfterTheOwnerIsGone) {
    auto* owner = new ThreadEvent;
    ASSERT_EQ(owner->Create(1, 0), 1);
    auto* copy = new ThreadEvent(*owner);
    auto* assigned = new ThreadEvent;
    *assigned = *owner;
    delete owner;
    EXPECT_EQ(copy->Destroy(), 1);
    EXPECT_EQ(copy->GetHandle(), nullptr);
    delete copy;
    delete assigned;
}

// An owner assigned another owner's event becomes a copy: destroying the
// other first leaves it nothing to release.
TEST(ThreadEvent, AnAssignedOwnerMayOutliveTheEventItWasGiven) {
    auto* target = new ThreadEvent;
    auto* source = new ThreadEvent;
    ASSERT_EQ(target->Create(1, 0) + source->Create(0, 0), 2);
    *target = *source;
    delete source;
    delete target;
}

// Assigning an owner its own copy keeps it the owner (no leak, no double free).
TEST(ThreadEvent, AssigningAnOwnerItsOwnCopyKeepsItTheOwner) {
    ThreadEvent owner;
    ASSERT_EQ(owner.Create(1, 1), 1);
    {
        ThreadEvent copy(owner);
        owner = copy;
    }
    EXPECT_EQ(owner.SetEvent(), 1);
    EXPECT_EQ(owner.Lock(), 1);
    EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(owner.Unlock(), 1);
}

// ---- ThreadBase, StartThread, StopThread ---------------------------------------------

namespace {

std::atomic<bool> gRelease{false};
std::atomic<bool> gStarted{false};
std::atomic<int> gGuardsDestroyed{0};
std::atomic<void*> gOwnHandle{nullptr};

struct Guard {
    ~Guard() { gGuardsDestroyed.fetch_add(1); }
};

// Clears the flags, runs `start`, and waits until the routine is under way.
template <typename Start>
auto Started(Start start) {
    gRelease = gStarted = false;
    gGuardsDestroyed = 0;
    auto result = start();
    while (!gStarted.load()) std::this_thread::yield();
    return result;
}

void MarkStarted() {
    gOwnHandle = Thread::GetCurrentThread(true);  // a handle of its own, for the test to wait on
    gStarted = true;
}

unsigned long RVSYS_WINAPI ReturnSeven(void*) { return 7; }
unsigned long RVSYS_WINAPI BlockForever(void*) {
    Guard guard;
    MarkStarted();
    Thread::Sleep(kInfinite);
    return 1;
}
// Waits for gRelease, sleeping; with a null argument it spins without any blocking call.
unsigned long RVSYS_WINAPI WaitForRelease(void* sleeps) {
    MarkStarted();
    while (!gRelease.load()) {
        if (sleeps != nullptr) Thread::Sleep(1);
    }
    return 3;
}
void* const kSleeps = &gRelease;

class Recorder : public ThreadBase {
public:
    ~Recorder() override { Stop(kInfinite); }
    std::string calls;
    unsigned long callerThread = Thread::GetCurrentThreadID(false);

protected:
    void Initialize() override { calls += Thread::GetCurrentThreadID(false) != callerThread ? "I" : "i"; }
    unsigned long Run() override {
        calls += Stop(0) == 0 && WaitForThreadEnd(0) == 0 ? "R" : "r";  // from its own thread: 0, no effect
        return 42;
    }
    void Destroy() override { calls += "D"; }
};

class BlocksInRun : public ThreadBase {
protected:
    unsigned long Run() override { return BlockForever(nullptr); }
};

// Runs writing to its own object, so anything it did after the object is
// freed would show under the sanitizers. (Atomic, because ThreadSanitizer
// delivers a signal only when the thread calls into its runtime.)
class SpinsInRun : public ThreadBase {
public:
    std::atomic<unsigned long> spins{0};

protected:
    unsigned long Run() override {
        Guard guard;
        MarkStarted();
        for (;;) spins.fetch_add(1, std::memory_order_relaxed);
    }
    void Destroy() override { gGuardsDestroyed.fetch_add(100); }  // must not run after a terminate
};

class ReadsInRun : public ThreadBase {
public:
    explicit ReadsInRun(rvsys::test::SilentPipe& pipe) : mPipe(pipe) {}
    long result = 0;

protected:
    unsigned long Run() override {
        Guard guard;
        MarkStarted();
        result = mPipe.Read();
        return 5;
    }
    void Destroy() override { gGuardsDestroyed.fetch_add(100); }

private:
    rvsys::test::SilentPipe& mPipe;
};

// The thread behind `handle` (its own duplicate, closed here) ended with exit
// code 0, promptly, and nothing of its frames or of Destroy ran.
void ExpectTerminated(void* handle) {
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(handle, 1000ul * rvsys::test::TimeScale(), &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gGuardsDestroyed.load(), 0);
}

}  // namespace

// Initialize, Run and Destroy run in order on the new thread; the exit code is
// reported from the end of the run until its clean-up; a caller's event is
// used but not destroyed; the object may run again. StopThread takes only
// objects that StartThread made. (Exit codes through StopThread: the stress runs.)
TEST(ThreadBase, RunsItsOperationsInOrderAndReportsTheExitCodeUntilCleanup) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Recorder recorder;
    unsigned long code = 0;
    ASSERT_EQ(recorder.Start(nullptr), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return recorder.IsRunning() == 0; }));
    EXPECT_EQ(recorder.calls, "IRD");
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 42ul);
    EXPECT_EQ(recorder.Stop(0), 1);
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 0);  // cleaned up
    ASSERT_EQ(recorder.Start(&event), 1);
    EXPECT_EQ(recorder.WaitForThreadEnd(kInfinite), 1);
    EXPECT_EQ(recorder.WaitForThreadEnd(0) + recorder.Stop(0) + recorder.GetThreadExitCode(&code), 0);
    EXPECT_EQ(event.Destroy(), 1);  // still the caller's
    ThreadBase* thread = &recorder;
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(thread, &recorder);  // untouched
}

// A wait too short leaves the run alone; Stop(0) of a thread blocked for ever
// terminates it at once and reports the exit code of no run, 0xFFFFFFFF;
// Start on a running object terminates the old thread. (Copies, which own
// nothing and leave the run alone: the timer manager's tests.)
TEST(Termination, BlockedThreadsAreTerminatedPromptly) {
    ThreadBase* thread = Started([] { return StartThread(BlockForever, nullptr, nullptr, 0); });
    EXPECT_EQ(thread->WaitForThreadEnd(0) + thread->WaitForThreadEnd(10), 0);
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(code, 0xFFFFFFFFul);
    EXPECT_EQ(thread, nullptr);
    EXPECT_LT(ElapsedMs(start), 1000 * rvsys::test::TimeScale());
    ExpectTerminated(gOwnHandle.load());

    BlocksInRun object;
    ASSERT_EQ(Started([&] { return object.Start(nullptr); }), 1);
    void* first = gOwnHandle.load();
    gStarted = false;
    ASSERT_EQ(object.Start(nullptr), 1);
    ExpectTerminated(first);
    while (!gStarted.load()) std::this_thread::yield();  // the new run
    EXPECT_EQ(object.Stop(0), 0);
    ExpectTerminated(gOwnHandle.load());
}

// A subclass whose Run spins in its own code is stopped where it stands: the
// object can be destroyed right after Stop(0), and neither Run nor Destroy
// touches it again.
TEST(Termination, SpinningSubclassCanBeDestroyedRightAfterStop) {
    auto* object = new SpinsInRun;
    ASSERT_EQ(Started([&] { return object->Start(nullptr); }), 1);
    EXPECT_EQ(object->Stop(0), 0);
    delete object;
    ExpectTerminated(gOwnHandle.load());
    Thread::Sleep(50);  // a thread still running would write to the freed object now
}

// The same for a Run blocked in the system's read() on a pipe: closing the
// pipe afterwards wakes nothing of it.
TEST(Termination, SubclassBlockedInReadCanBeDestroyedRightAfterStop) {
    rvsys::test::SilentPipe pipe;
    auto* object = new ReadsInRun(pipe);
    ASSERT_EQ(Started([&] { return object->Start(nullptr); }), 1);
    Thread::Sleep(20);  // into read() by now, most likely; a little earlier ends the same way
    EXPECT_EQ(object->Stop(0), 0);
    delete object;
    ExpectTerminated(gOwnHandle.load());
}

// Memory running out leaves an idle object that can start again, or no object.
TEST(ThreadBase, AllocationFailureLeavesAnIdleObjectThatCanStartAgain) {
    ThreadBase plain;
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_EQ(plain.Start(nullptr), 0);
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_EQ(StartThread(ReturnSeven, nullptr, nullptr, 0), nullptr);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_EQ(plain.IsRunning(), 0);
    EXPECT_EQ(plain.Start(nullptr), 1);
    EXPECT_EQ(plain.WaitForThreadEnd(kInfinite), 1);
}

// ---- The Thread functions --------------------------------------------------------------

namespace {

unsigned long RVSYS_WINAPI ReturnTwelve(void*) { return 12; }
unsigned int RVSYS_WINAPI WaitThenReturn13(void*) { return static_cast<unsigned>(WaitForRelease(kSleeps)) + 10; }

}  // namespace

// Both routine types start; the creation flags reach the system (4: suspended).
// WaitForThread reports 259 and keeps the handle while the thread runs,
// closes it once the thread has ended; TerminateThread closes it only when it
// succeeds (and terminates only a thread that runs its routine: killed inside
// the runtime's start-up code it can leave the runtime's locks held).
TEST(ThreadFunctions, WaitAndTerminateCloseTheHandleOnlyOnSuccess) {
    unsigned long code = 0;
    void* thread = Thread::BeginThread(ReturnTwelve, nullptr, 4);
    EXPECT_EQ(Thread::WaitForThread(thread, 20, nullptr), kTimeout);
    EXPECT_EQ(Thread::ResumeThread(thread), 1ul);
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 12ul);

    thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), kTimeout);
    EXPECT_EQ(code, 259ul);
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 13ul);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), kFailed);  // closed
    EXPECT_EQ(code, 13ul);
    pf::CloseHandle(gOwnHandle.load());

    thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_TRUE(Thread::TerminateThread(thread, 77));
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 77ul);
    EXPECT_FALSE(Thread::TerminateThread(thread, 1));  // closed by the first call
}

// A thread terminated while it runs its own code, which then leaves its
// routine (Linux ends it there), reports the code it was given, not the
// routine's result.
TEST(ThreadFunctions, ATerminatedThreadReportsTheGivenCodeNotItsRoutines) {
    void* thread = Started([] { return Thread::BeginThread(WaitForRelease, nullptr, 0); });
    EXPECT_TRUE(Thread::TerminateThread(thread, 42));
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 42ul);
}

// Null pointers where an object is expected give the documented failure
// results, never a crash.
TEST(ThreadFunctions, NullArgumentsGiveTheDocumentedFailures) {
    EXPECT_EQ(Thread::BeginThread(static_cast<unsigned long(RVSYS_WINAPI*)(void*)>(nullptr), nullptr, 0), nullptr);
    EXPECT_EQ(Thread::BeginThread(static_cast<unsigned int(RVSYS_WINAPI*)(void*)>(nullptr), nullptr, 0), nullptr);
    EXPECT_EQ(Thread::GetCommandLineA(nullptr, 100, true, false, false), -1);
    EXPECT_EQ(StartThread(nullptr, nullptr, nullptr, 0), nullptr);
    Recorder ended;
    ASSERT_EQ(ended.Start(nullptr), 1);
    while (ended.IsRunning() != 0) Thread::Sleep(1);
    EXPECT_EQ(ended.GetThreadExitCode(nullptr), 0);
}

namespace {

std::atomic<std::uint64_t> gFakeTicks{0};  // in 1/8 ms
std::atomic<std::uint64_t> gTickStep{0};   // per call, in 1/8 ms
pf::DWORD FakeTick() { return static_cast<pf::DWORD>(gFakeTicks.fetch_add(gTickStep.load()) / 8); }
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

std::uint64_t UptimeAt(std::uint64_t milliseconds, std::uint64_t stepEighths = 0) {
    gFakeTicks = milliseconds * 8;
    gTickStep = stepEighths;
    return GetSystemUptime();
}

}  // namespace

// Four threads race through a wrap of the 32-bit tick count (through the
// clock seam): their results never decrease, and the wrap adds 2^32 exactly
// once. Relative to the wraps counted before the test.
TEST(GetSystemUptime, CountsWrapsOfTheTickCountEvenUnderConcurrentCalls) {
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    const std::uint64_t wraps = UptimeAt(0xFFFFFFF0ull) >> 32 << 32;
    EXPECT_EQ(UptimeAt(0xFFFFFFFFull, 1), wraps + 0xFFFFFFFFull);
    std::uint64_t last[4] = {};
    std::atomic<bool> decreased{false};
    std::vector<std::thread> callers;
    for (auto& slot : last) {
        callers.emplace_back([&decreased, &mine = slot] {
            for (int i = 0; i < 20000; ++i) {
                const std::uint64_t now = GetSystemUptime();
                decreased = decreased || now < mine;
                mine = now;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_FALSE(decreased.load());
    const std::uint64_t highest = *std::max_element(last, last + 4);
    EXPECT_GE(highest, wraps + 0x100000000ull);
    EXPECT_LT(highest, wraps + 0x200000000ull);
    pf::SetClockSource(previous);
}
