// ThreadEvent, ThreadBase and GetSystemUptime: the library's own logic, not
// the system calls underneath.
#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadEvent.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::test;

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

// A signaller that holds the event's lock until the waiter (in a section of
// its own) has woken does not deadlock with it.
TEST(ThreadEvent, ASignalUnderItsLockWakesAWaiterInAnotherSectionAtOnce) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    pf::CRITICAL_SECTION cs;
    pf::InitializeCriticalSection(&cs);
    std::atomic<bool> woken{false};
    std::thread signaller([&, waiter = KernelThreadId()] {
        EXPECT_TRUE(WaitUntilBlocked(waiter));
        event.Lock();
        event.SetEvent();
        EXPECT_TRUE(Eventually([&] { return woken.load(); }));
        event.Unlock();
    });
    pf::EnterCriticalSection(&cs);
    event.WaitForEvent(kInfinite, &cs);
    woken = true;
    pf::LeaveCriticalSection(&cs);
    signaller.join();
    pf::DeleteCriticalSection(&cs);
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
}

// An owner given its own copy stays the owner: the event is neither freed nor
// handed to the copy, which goes first.
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

std::atomic<int> gQueuedCalls{0};
void RVSYS_WINAPI CountQueuedCall(pf::ULONG_PTR) { gQueuedCalls.fetch_add(1); }

TEST(ThreadEvent, OnlyTheAlertableWaitRunsQueuedCalls) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    ASSERT_NE(pf::QueueUserAPC(CountQueuedCall, pf::GetCurrentThread(), 0), 0u);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 258ul);  // timed out, the call still queued
    EXPECT_EQ(gQueuedCalls.load(), 0);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), 192ul);
    EXPECT_EQ(gQueuedCalls.load(), 1);
}

// ---- ThreadBase ---------------------------------------------------------------------

namespace {

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

// Spins, writing to its object, which the sanitizers would see once it is
// freed; its frame and Destroy count in `gEndsRun` if they run. (Atomic:
// ThreadSanitizer delivers a signal only when the thread calls its runtime.)
std::atomic<int> gEndsRun{0};
std::atomic<void*> gSpinnerThread{nullptr};
struct FrameGuard {
    ~FrameGuard() { gEndsRun.fetch_add(1); }
};
class Spinner : public ThreadBase {
public:
    std::atomic<long> progress{0};

protected:
    unsigned long Run() override {
        FrameGuard guard;
        gSpinnerThread = Thread::GetCurrentThread(true);  // a handle of its own, for the test to wait on
        for (;;) progress.fetch_add(1, std::memory_order_relaxed);
    }
    void Destroy() override { gEndsRun.fetch_add(1); }
};

std::atomic<std::uint64_t> gFakeTicks{0};  // in 1/8 ms
pf::DWORD FakeTick() { return static_cast<pf::DWORD>(gFakeTicks.fetch_add(1) / 8); }
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

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

// Stopped where it stands, the object can be deleted right after Stop(0):
// the thread has ended with code 0, and neither Run nor Destroy runs again.
TEST(ThreadBase, CanBeDeletedRightAfterStop) {
    gEndsRun = 0;
    gSpinnerThread = nullptr;
    auto* object = new Spinner;
    ASSERT_EQ(object->Start(nullptr), 1);
    ASSERT_TRUE(Eventually([] { return gSpinnerThread.load() != nullptr; }));
    EXPECT_EQ(object->Stop(0), 0);
    delete object;
    EXPECT_EQ(Thread::WaitForThread(gSpinnerThread.load(), 1000ul * TimeScale(), nullptr), 0ul);
    Thread::Sleep(50);  // a thread still running would write to the freed object now
    EXPECT_EQ(gEndsRun.load(), 0);
}

// Rounds of four threads racing through a wrap of the 32-bit tick count:
// their results never decrease, and each round's wrap adds 2^32 exactly once
// (over the wraps counted before the test).
TEST(GetSystemUptime, CountsEachWrapOnceUnderConcurrentCalls) {
    constexpr std::uint64_t kRounds = 50;
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    gFakeTicks = 0xFFFFFFF0ull * 8;
    const std::uint64_t wraps = GetSystemUptime() >> 32 << 32;
    std::uint64_t last[4] = {};
    std::atomic<bool> decreased{false};
    for (std::uint64_t round = 0; round < kRounds; ++round) {
        gFakeTicks = 0xFFFFFFF0ull * 8;  // a jump forward from just after the last wrap
        std::atomic<int> ready{0};
        std::thread callers[4];
        for (int i = 0; i < 4; ++i) {
            callers[i] = std::thread([&, &mine = last[i]] {
                for (ready.fetch_add(1); ready.load() < 4;) std::this_thread::yield();  // all at the wrap at once
                for (int call = 0; call < 2000; ++call) {
                    const std::uint64_t now = GetSystemUptime();
                    decreased = decreased || now < mine;
                    mine = now;
                }
            });
        }
        for (auto& caller : callers) caller.join();
    }
    pf::SetClockSource(previous);
    EXPECT_FALSE(decreased.load());
    const std::uint64_t highest = *std::max_element(last, last + 4);
    EXPECT_GE(highest, wraps + (kRounds << 32));
    EXPECT_LT(highest, wraps + ((kRounds + 1) << 32));
}
