// ThreadMutex, ThreadEvent, ThreadBase with StartThread and StopThread, the
// Thread functions and GetSystemUptime: the library's own logic. What the
// system calls underneath do (event semantics, waits, priorities, suspension)
// is not tested here.
#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/ThreadMutex.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::test;

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul, kFailed = 0xFFFFFFFFul, kTimeout = 258;

// Another thread takes a lock and says when it got it; the destructor joins,
// so a test that sees the lock held releases it first.
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
        return Eventually([this] { return mGot.load(); }, limit);
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

// A thread that enters `section`, then runs `wait` (which must leave it while
// it blocks); constructed once the thread sleeps in the wait.
struct WaiterOn {
    WaiterOn(Section& section, std::function<void()> wait)
        : thread([this, &section, wait = std::move(wait)] {
              pf::GetCurrentThreadId();  // known to the platform layer before it is watched
              tid = KernelThreadId();
              pf::EnterCriticalSection(&section.cs);
              wait();
              woken = true;
              pf::LeaveCriticalSection(&section.cs);
          }) {
        while (tid.load() == 0) std::this_thread::yield();
        EXPECT_TRUE(WaitUntilBlocked(tid.load()));
    }
    ~WaiterOn() { thread.join(); }
    std::atomic<long> tid{0};
    std::atomic<bool> woken{false};
    std::thread thread;
};

}  // namespace

// ---- ThreadMutex and ThreadEvent -----------------------------------------------------

TEST(ThreadMutex, TryLockFromAnotherThreadFailsWhileHeld) {
    ThreadMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    bool taken = true;
    std::thread([&] { taken = mutex.TryLock(); }).join();
    EXPECT_FALSE(taken);
    EXPECT_TRUE(mutex.Unlock());
}

TEST(ThreadMutex, WithoutItsSectionRefusesEveryOperation) {
    FailNothrowAllocations(1);
    ThreadMutex broken;
    FailNothrowAllocations(0);
    EXPECT_FALSE(broken);
    EXPECT_FALSE(broken.Lock());
    EXPECT_FALSE(broken.TryLock());
    EXPECT_FALSE(broken.Unlock());
}

// Memory running out for the cell (skip 0) or for the lock (skip 1).
TEST(ThreadEvent, AllocationFailureLeavesItNotCreated) {
    ThreadEvent event;
    for (int skip : {0, 1}) {
        SCOPED_TRACE(skip);
        FailNothrowAllocations(1, skip);
        EXPECT_EQ(event.Create(1, 1), 0);
        FailNothrowAllocations(0);
        EXPECT_EQ(event.GetHandle(), nullptr);
    }
    EXPECT_EQ(event.Create(1, 1), 1);
}

TEST(ThreadEvent, ASecondCreateKeepsTheFirstEvent) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 1), 1);
    void** cell = event.GetHandle();
    EXPECT_EQ(event.Create(0, 0), 0);
    EXPECT_EQ(event.GetHandle(), cell);
    ASSERT_EQ(event.SetEvent(), 1);  // still manual-reset: the signal stays
    ASSERT_EQ(event.Lock(), 1);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.Unlock(), 1);
}

TEST(ThreadEvent, DestroyWorksOnlyOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 1), 1);
    EXPECT_EQ(event.Destroy(), 1);
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_EQ(event.Destroy(), 0);
    EXPECT_EQ(event.Lock(), 0);
    EXPECT_EQ(event.Create(0, 0), 1);
}

// The wait leaves the section it is given, not the event's own lock, only
// while it blocks; a timeout too large for 32 bits waits for the signal
// instead of wrapping to a short one.
TEST(ThreadEvent, WaitReleasesTheGivenSectionOnlyWhileBlocked) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    const unsigned long timeout =
        sizeof(unsigned long) > 4 ? static_cast<unsigned long>(0x100000000ull + 5) : 0xFFFFFFFEul;
    std::atomic<unsigned long> result{1};
    bool heldAfterWait = false;
    std::unique_ptr<Probe> after;  // joined once the waiter has left the section
    {
        WaiterOn waiter(external, [&] {
            result = event.WaitForEvent(timeout, &external.cs);
            after = std::make_unique<Probe>(&external.cs);
            heldAfterWait = !after->GotWithin(Ms(30));
        });
        EXPECT_TRUE(Probe(&external.cs).GotWithin(Ms(5000)));
        EXPECT_TRUE(Probe(event).GotWithin(Ms(5000)));
        pf::Sleep(50);
        EXPECT_EQ(result.load(), 1ul);  // still waiting
        event.SetEvent();
    }
    EXPECT_EQ(result.load(), 0ul);
    EXPECT_TRUE(heldAfterWait);
}

// A signaller that holds the event's lock while it waits for the waiter (on
// another section) does not deadlock.
TEST(ThreadEvent, ASignalUnderItsLockWakesAWaiterOnAnotherSectionAtOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    WaiterOn waiter(external, [&] { event.WaitForEvent(kInfinite, &external.cs); });
    event.Lock();
    event.SetEvent();
    EXPECT_TRUE(Eventually([&] { return waiter.woken.load(); }));
    event.Unlock();
}

TEST(ThreadEvent, WaitWithoutALockOfItsOwnKeepsTheGivenSection) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    Section held;
    pf::EnterCriticalSection(&held.cs);
    Probe probe(&held.cs);
    EXPECT_EQ(event.WaitForEvent(50, &held.cs), kTimeout);
    EXPECT_FALSE(probe.GotWithin(Ms(0)));
    pf::LeaveCriticalSection(&held.cs);
}

std::atomic<int> gCalls{0};
void RVSYS_WINAPI CountCall(pf::ULONG_PTR) { gCalls.fetch_add(1); }

TEST(ThreadEvent, OnlyTheAlertableWaitRunsQueuedCalls) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    gCalls = 0;
    ASSERT_NE(pf::QueueUserAPC(CountCall, pf::GetCurrentThread(), 0), 0u);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
    EXPECT_EQ(gCalls.load(), 0);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), 192ul);
    EXPECT_EQ(gCalls.load(), 1);
}

// Ownership of copies and assignment: a leak, a double free or a read of freed
// memory shows in the sanitizer builds; each case ends with every object gone.
// A copy never reads the shared cell to learn that it is a copy.
TEST(ThreadEvent, CopiesForgetTheEventAfterTheOwnerIsGone) {
    auto owner = std::make_unique<ThreadEvent>();
    ASSERT_EQ(owner->Create(1, 0), 1);
    ThreadEvent copy(*owner), assigned;
    assigned = *owner;
    owner.reset();
    EXPECT_EQ(copy.Destroy(), 1);
    EXPECT_EQ(copy.GetHandle(), nullptr);
}

TEST(ThreadEvent, AnAssignedOwnerMayOutliveTheEventItWasGiven) {
    auto target = std::make_unique<ThreadEvent>();
    auto source = std::make_unique<ThreadEvent>();
    ASSERT_EQ(target->Create(1, 0), 1);
    ASSERT_EQ(source->Create(0, 0), 1);
    *target = *source;
    source.reset();
}

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

std::atomic<bool> gRelease{false}, gStarted{false};
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

unsigned long RVSYS_WINAPI BlockForever(void*) {
    Guard guard;
    MarkStarted();
    Thread::Sleep(kInfinite);
    return 1;
}
unsigned long RVSYS_WINAPI WaitForRelease(void*) {
    MarkStarted();
    while (!gRelease.load()) Thread::Sleep(1);
    return 3;
}

class Recorder : public ThreadBase {
public:
    ~Recorder() override { Stop(kInfinite); }
    std::string calls;
    unsigned long callerThread = Thread::GetCurrentThreadID(false);
    long stopFromOwnThread = -1, waitFromOwnThread = -1;

protected:
    void Initialize() override { calls += Thread::GetCurrentThreadID(false) != callerThread ? "I" : "i"; }
    unsigned long Run() override {
        stopFromOwnThread = Stop(0);
        waitFromOwnThread = WaitForThreadEnd(0);
        calls += "R";
        return 42;
    }
    void Destroy() override { calls += "D"; }
};

// Ended by itself, so the test reads what it recorded.
struct EndedRecorder : testing::Test {
    void SetUp() override {
        ASSERT_EQ(recorder.Start(nullptr), 1);
        ASSERT_TRUE(Eventually([&] { return recorder.IsRunning() == 0; }));
    }
    Recorder recorder;
};

class BlocksInRun : public ThreadBase {
protected:
    unsigned long Run() override { return BlockForever(nullptr); }
};

// A subclass whose Run spins in its own code or blocks in the system's read()
// (ReadFile); both write to their object afterwards, which the sanitizers
// would see once it is freed. (Atomic: ThreadSanitizer delivers a signal only
// when the thread calls into its runtime.)
class Busy : public ThreadBase {
public:
    explicit Busy(SilentPipe* pipe) : mPipe(pipe) {}
    std::atomic<long> progress{0};

protected:
    unsigned long Run() override {
        Guard guard;
        MarkStarted();
        if (mPipe != nullptr) progress = mPipe->Read();
        for (;;) progress.fetch_add(1, std::memory_order_relaxed);
    }
    void Destroy() override { gGuardsDestroyed.fetch_add(100); }  // must not run after a terminate

private:
    SilentPipe* mPipe;
};

// The thread behind `handle` (its own duplicate) ended with exit code 0,
// promptly, and nothing of its frames or of Destroy ran.
void ExpectTerminated(void* handle) {
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(handle, 1000ul * TimeScale(), &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gGuardsDestroyed.load(), 0);
}

}  // namespace

TEST_F(EndedRecorder, RunsInitializeRunDestroyInOrderOnTheNewThread) { EXPECT_EQ(recorder.calls, "IRD"); }

TEST_F(EndedRecorder, StopOrWaitFromItsOwnThreadIsRefused) {
    EXPECT_EQ(recorder.stopFromOwnThread, 0);
    EXPECT_EQ(recorder.waitFromOwnThread, 0);
}

TEST_F(EndedRecorder, ReportsTheExitCodeUntilStopCleansUp) {
    unsigned long code = 0;
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 42ul);
    EXPECT_EQ(recorder.Stop(0), 1);
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 0);
}

TEST(ThreadBase, UsesTheCallersEventWithoutDestroyingIt) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Recorder recorder;
    ASSERT_EQ(recorder.Start(&event), 1);
    EXPECT_EQ(recorder.WaitForThreadEnd(kInfinite), 1);
    EXPECT_EQ(recorder.WaitForThreadEnd(0), 0);
    EXPECT_EQ(event.Destroy(), 1);
}

TEST(ThreadBase, StopThreadRefusesAnObjectNotMadeByStartThread) {
    Recorder recorder;
    ThreadBase* thread = &recorder;
    unsigned long code = 0;
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(thread, &recorder);
}

TEST(ThreadBase, AllocationFailureLeavesAnIdleObjectThatCanStartAgain) {
    ThreadBase plain;
    FailNothrowAllocations(1);
    EXPECT_EQ(plain.Start(nullptr), 0);
    FailNothrowAllocations(0);
    EXPECT_EQ(plain.IsRunning(), 0);
    EXPECT_EQ(plain.Start(nullptr), 1);
    EXPECT_EQ(plain.WaitForThreadEnd(kInfinite), 1);
}

TEST(Termination, StopThreadTerminatesABlockedThreadPromptly) {
    ThreadBase* thread = Started([] { return StartThread(BlockForever, nullptr, nullptr, 0); });
    EXPECT_EQ(thread->WaitForThreadEnd(10), 0);
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(code, 0xFFFFFFFFul);  // no run's exit code
    EXPECT_EQ(thread, nullptr);
    EXPECT_LT(ElapsedMs(start), 1000 * TimeScale());
    ExpectTerminated(gOwnHandle.load());
}

TEST(Termination, StartOnARunningObjectTerminatesTheOldThread) {
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

// Stopped where it stands, the object can be deleted right after Stop(0):
// neither Run nor Destroy touches it again, nor does closing the pipe later.
class BusySubclass : public testing::TestWithParam<bool> {};

TEST_P(BusySubclass, CanBeDeletedRightAfterStop) {
    SilentPipe pipe;
    auto* object = new Busy(GetParam() ? &pipe : nullptr);
    ASSERT_EQ(Started([&] { return object->Start(nullptr); }), 1);
    if (GetParam()) Thread::Sleep(20);  // into read() by now, most likely; a little earlier ends the same way
    EXPECT_EQ(object->Stop(0), 0);
    delete object;
    ExpectTerminated(gOwnHandle.load());
    Thread::Sleep(50);  // a thread still running would write to the freed object now
}

INSTANTIATE_TEST_SUITE_P(RunIs, BusySubclass, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& row) { return row.param ? "Reading" : "Spinning"; });

// ---- The Thread functions --------------------------------------------------------------

namespace {

unsigned long RVSYS_WINAPI ReturnTwelve(void*) { return 12; }
unsigned int RVSYS_WINAPI WaitThenReturn13(void*) { return static_cast<unsigned>(WaitForRelease(nullptr)) + 10; }

}  // namespace

TEST(ThreadFunctions, WaitForThreadKeepsTheHandleWhileTheThreadRuns) {
    unsigned long code = 0;
    void* thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), kTimeout);
    EXPECT_EQ(code, 259ul);
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 13ul);
    pf::CloseHandle(gOwnHandle.load());
}

TEST(ThreadFunctions, WaitForThreadClosesTheHandleOfAnEndedThread) {
    void* thread = Thread::BeginThread(ReturnTwelve, nullptr, 0);
    ASSERT_EQ(Thread::WaitForThread(thread, kInfinite, nullptr), 0ul);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, nullptr), kFailed);
}

TEST(ThreadFunctions, TerminateThreadClosesTheHandleOnSuccess) {
    unsigned long code = 0;
    void* thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_TRUE(Thread::TerminateThread(thread, 77));
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 77ul);
    EXPECT_FALSE(Thread::TerminateThread(thread, 1));
}

// Terminated while in its own code, which then leaves its routine (Linux ends
// the thread there).
TEST(ThreadFunctions, ATerminatedThreadReportsTheGivenCodeNotItsRoutines) {
    void* thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_TRUE(Thread::TerminateThread(thread, 42));
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 42ul);
}

namespace {

std::atomic<std::uint64_t> gFakeTicks{0};  // in 1/8 ms
pf::DWORD FakeTick() { return static_cast<pf::DWORD>(gFakeTicks.fetch_add(1) / 8); }
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

}  // namespace

// Four threads race through a wrap of the 32-bit tick count: their results
// never decrease, and the wrap adds 2^32 exactly once (relative to the wraps
// counted before the test).
TEST(GetSystemUptime, CountsEachWrapOnceUnderConcurrentCalls) {
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    gFakeTicks = 0xFFFFFFF0ull * 8;
    const std::uint64_t wraps = GetSystemUptime() >> 32 << 32;
    std::uint64_t last[4] = {};
    std::atomic<bool> decreased{false};
    std::vector<std::thread> callers;
    for (auto& slot : last) {
        callers.emplace_back([&decreased, &mine = slot] {
            for (int i = 0; i < 20000; ++i) {
                const std::uint64_t now = GetSystemUptime();
                if (now < mine) decreased = true;
                mine = now;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    pf::SetClockSource(previous);
    EXPECT_FALSE(decreased.load());
    const std::uint64_t highest = *std::max_element(last, last + 4);
    EXPECT_GE(highest, wraps + 0x100000000ull);
    EXPECT_LT(highest, wraps + 0x200000000ull);
}
