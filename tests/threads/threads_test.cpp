// ThreadMutex, ThreadEvent, ThreadBase with StartThread and StopThread, the
// Thread functions and GetSystemUptime: the library's own logic, not the
// system calls underneath.
#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadEvent.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::test;

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul, kTimeout = 258;

struct Section {
    Section() { pf::InitializeCriticalSection(&cs); }
    ~Section() { pf::DeleteCriticalSection(&cs); }
    pf::CRITICAL_SECTION cs;
};

// Whether another thread could enter `cs` at some moment while `during` ran.
bool EnterableDuring(pf::CRITICAL_SECTION* cs, const std::function<void()>& during) {
    std::atomic<bool> stop{false}, entered{false};
    std::thread probe([&] {
        while (!stop.load() && !entered.load()) {
            if (pf::TryEnterCriticalSection(cs) != 0) {
                entered = true;
                pf::LeaveCriticalSection(cs);
            }
        }
    });
    during();
    stop = true;
    probe.join();
    return entered.load();
}

// A thread that enters `section` and runs `wait` inside it; constructed once
// the thread sleeps in the wait, joined at destruction.
struct Waiter {
    Waiter(Section& section, std::function<void()> wait)
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
    ~Waiter() { thread.join(); }
    std::atomic<long> tid{0};
    std::atomic<bool> woken{false};
    std::thread thread;
};

}  // namespace

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

TEST(ThreadEvent, CreateAndDestroyEachSucceedOnlyOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 1), 1);
    void** cell = event.GetHandle();
    EXPECT_EQ(event.Create(0, 0), 0);
    EXPECT_EQ(event.GetHandle(), cell);
    EXPECT_EQ(event.Destroy(), 1);
    EXPECT_EQ(event.Destroy(), 0);
}

// The wait leaves the section it is given (not the event's own lock) only
// while it blocks; a timeout too large for 32 bits does not wrap to a short one.
TEST(ThreadEvent, WaitReleasesTheGivenSectionOnlyWhileBlocked) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    const unsigned long timeout =
        sizeof(unsigned long) > 4 ? static_cast<unsigned long>(0x100000000ull + 5) : 0xFFFFFFFEul;
    std::atomic<unsigned long> result{1};
    bool enterableAfter = true;
    {
        Waiter waiter(external, [&] {
            result = event.WaitForEvent(timeout, &external.cs);
            enterableAfter = EnterableDuring(&external.cs, [] { pf::Sleep(30); });
        });
        EXPECT_TRUE(EnterableDuring(&external.cs, [] { pf::Sleep(50); }));
        EXPECT_EQ(result.load(), 1ul);  // still waiting
        event.SetEvent();
    }
    EXPECT_EQ(result.load(), 0ul);
    EXPECT_FALSE(enterableAfter);
}

// A signaller that holds the event's lock while the waiter (on another
// section) wakes does not deadlock with it.
TEST(ThreadEvent, ASignalUnderItsLockWakesAWaiterOnAnotherSectionAtOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    Waiter waiter(external, [&] { event.WaitForEvent(kInfinite, &external.cs); });
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
    EXPECT_FALSE(EnterableDuring(&held.cs, [&] { EXPECT_EQ(event.WaitForEvent(50, &held.cs), kTimeout); }));
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

// Only the creator frees the event: a leak, a double free or a read of freed
// memory shows in the sanitizer builds.
TEST(ThreadEvent, CopiesAndAssignedObjectsNeverFreeTheOwnersEvent) {
    auto owner = std::make_unique<ThreadEvent>();
    ASSERT_EQ(owner->Create(1, 0), 1);
    ThreadEvent copy(*owner), assigned;
    ASSERT_EQ(assigned.Create(0, 0), 1);  // its own event goes at the assignment
    assigned = *owner;
    owner.reset();
    EXPECT_EQ(copy.Destroy(), 1);
    EXPECT_EQ(copy.GetHandle(), nullptr);
}

TEST(ThreadEvent, AssigningAnOwnerItsOwnCopyKeepsItTheOwner) {
    ThreadEvent owner;
    ASSERT_EQ(owner.Create(0, 1), 1);
    {
        ThreadEvent copy(owner);
        owner = copy;
    }
    EXPECT_EQ(owner.SetEvent(), 1);
    EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);
}

// ---- ThreadBase, StartThread, StopThread, the Thread functions -------------------

namespace {

std::atomic<bool> gRelease{false}, gStarted{false};
std::atomic<int> gFramesLeft{0};
std::atomic<void*> gOwnHandle{nullptr};

struct Guard {
    ~Guard() { gFramesLeft.fetch_add(1); }
};

// Clears the flags, runs `start`, and waits until the routine is under way.
template <typename Start>
auto Started(Start start) {
    gRelease = gStarted = false;
    gFramesLeft = 0;
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
unsigned int RVSYS_WINAPI WaitThenReturn13(void*) {
    MarkStarted();
    while (!gRelease.load()) Thread::Sleep(1);
    return 13;
}

// The thread behind `handle` (its own duplicate) ended with exit code 0,
// promptly, and nothing of its frames or of Destroy ran.
void ExpectTerminated(void* handle) {
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(handle, 1000ul * TimeScale(), &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gFramesLeft.load(), 0);
}

// Records the calls it gets, and on which thread. Stop from its own thread is
// refused: accepted, it would end the run before "R".
class Recorder : public ThreadBase {
public:
    ~Recorder() override { Stop(kInfinite); }
    std::string calls;
    unsigned long callerThread = Thread::GetCurrentThreadID(false);

protected:
    void Initialize() override { calls += Thread::GetCurrentThreadID(false) != callerThread ? "I" : "i"; }
    unsigned long Run() override {
        Stop(0);
        calls += "R";
        return 42;
    }
    void Destroy() override { calls += "D"; }
};

// Started on the caller's event and ended by itself, so the test reads what it recorded.
struct EndedRecorder : testing::Test {
    void SetUp() override {
        ASSERT_EQ(event.Create(1, 0), 1);
        ASSERT_EQ(recorder.Start(&event), 1);
        ASSERT_TRUE(Eventually([&] { return recorder.IsRunning() == 0; }));
    }
    ThreadEvent event;
    Recorder recorder;
};

// Spins in its own code or blocks in the system's read(), then writes to its
// object, which the sanitizers would see once it is freed. (Atomic:
// ThreadSanitizer delivers a signal only when the thread calls its runtime.)
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
    void Destroy() override { gFramesLeft.fetch_add(100); }

private:
    SilentPipe* mPipe;
};

}  // namespace

TEST_F(EndedRecorder, RunsInitializeRunDestroyInOrderOnTheNewThread) { EXPECT_EQ(recorder.calls, "IRD"); }

TEST_F(EndedRecorder, ReportsTheExitCodeUntilStopCleansUp) {
    unsigned long code = 0;
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 42ul);
    EXPECT_EQ(recorder.Stop(0), 1);
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 0);
}

TEST_F(EndedRecorder, LeavesTheCallersEventToTheCaller) {
    EXPECT_EQ(recorder.Stop(0), 1);
    EXPECT_EQ(event.Destroy(), 1);
}

TEST(ThreadBase, StopThreadRefusesAnObjectNotMadeByStartThread) {
    Recorder recorder;
    ThreadBase* thread = &recorder;
    EXPECT_EQ(StopThread(&thread, 0, nullptr), 0);
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

TEST(Termination, StartOnARunningObjectTerminatesTheOldThread) {
    auto* first = Started([] { return StartThread(BlockForever, nullptr, nullptr, 0); });
    void* firstHandle = gOwnHandle.load();
    gStarted = false;
    ASSERT_EQ(first->Start(nullptr), 1);
    ExpectTerminated(firstHandle);
    while (!gStarted.load()) std::this_thread::yield();  // the new run
    EXPECT_EQ(StopThread(&first, 0, nullptr), 0);
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

TEST(ThreadFunctions, WaitForThreadClosesTheHandleOnlyOnceTheThreadEnded) {
    unsigned long code = 0;
    void* thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), kTimeout);
    EXPECT_EQ(code, 259ul);
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 13ul);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, nullptr), 0xFFFFFFFFul);
    pf::CloseHandle(gOwnHandle.load());
}

// The routine returns after the termination (Linux ends the thread as it
// leaves its own code): the code given wins, and the handle is closed.
TEST(ThreadFunctions, TerminateThreadSetsTheGivenCodeAndClosesTheHandle) {
    void* thread = Started([] { return Thread::BeginThread(WaitThenReturn13, nullptr, 0); });
    EXPECT_TRUE(Thread::TerminateThread(thread, 42));
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 42ul);
    EXPECT_FALSE(Thread::TerminateThread(thread, 1));
}

namespace {

std::atomic<std::uint64_t> gFakeTicks{0};  // in 1/8 ms
pf::DWORD FakeTick() { return static_cast<pf::DWORD>(gFakeTicks.fetch_add(1) / 8); }
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

}  // namespace

// Four threads race through a wrap of the 32-bit tick count: their results
// never decrease, and the wrap adds 2^32 exactly once (over the wraps counted
// before the test).
TEST(GetSystemUptime, CountsEachWrapOnceUnderConcurrentCalls) {
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    gFakeTicks = 0xFFFFFFF0ull * 8;
    const std::uint64_t wraps = GetSystemUptime() >> 32 << 32;
    std::uint64_t last[4] = {};
    std::atomic<bool> decreased{false};
    std::vector<std::thread> callers;
    for (auto& mine : last) {
        callers.emplace_back([&decreased, &mine] {
            for (int i = 0; i < 20000; ++i) {
                const std::uint64_t now = GetSystemUptime();
                decreased = decreased || now < mine;
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
