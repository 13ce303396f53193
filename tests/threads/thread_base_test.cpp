// ThreadBase, StartThread and StopThread.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadBase.h>
#include <rvsysutils/ThreadEvent.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/test_support.h"

using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Ms;

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

std::atomic<bool> gRelease{false};
std::atomic<bool> gStarted{false};
std::atomic<int> gGuardsDestroyed{0};
std::atomic<void*> gOwnHandle{nullptr};

struct Guard {
    ~Guard() { gGuardsDestroyed.fetch_add(1); }
};

void ResetFlags() {
    gRelease = false;
    gStarted = false;
    gGuardsDestroyed = 0;
    gOwnHandle = nullptr;
}

unsigned long RVSYS_WINAPI ReturnSeven(void*) {
    gStarted = true;
    return 7;
}

unsigned long RVSYS_WINAPI BlockForever(void*) {
    Guard guard;
    gOwnHandle = Thread::GetCurrentThread(true);
    gStarted = true;
    Thread::Sleep(kInfinite);
    return 1;
}

unsigned long RVSYS_WINAPI WaitForRelease(void*) {
    gOwnHandle = Thread::GetCurrentThread(true);
    gStarted = true;
    while (!gRelease.load()) Thread::Sleep(1);
    return 3;
}

// Spins in its own code, with no blocking call at all.
unsigned long RVSYS_WINAPI Spin(void*) {
    gOwnHandle = Thread::GetCurrentThread(true);
    gStarted = true;
    while (!gRelease.load()) {
    }
    return 4;
}

class Recorder : public ThreadBase {
public:
    ~Recorder() override { Stop(kInfinite); }
    std::string calls;
    unsigned long callerThread = Thread::GetCurrentThreadID(false);
    bool ranElsewhere = false;

protected:
    void Initialize() override {
        calls += "I";
        ranElsewhere = Thread::GetCurrentThreadID(false) != callerThread;
    }
    unsigned long Run() override {
        calls += "R";
        return 42;
    }
    void Destroy() override { calls += "D"; }
};

class StopsItself : public ThreadBase {
public:
    ~StopsItself() override { Stop(kInfinite); }
    long stopResult = -1;
    long waitResult = -1;

protected:
    unsigned long Run() override {
        stopResult = Stop(0);
        waitResult = WaitForThreadEnd(0);
        return 5;
    }
};

class BlocksInRun : public ThreadBase {
protected:
    unsigned long Run() override {
        Guard guard;
        gOwnHandle = Thread::GetCurrentThread(true);
        gStarted = true;
        Thread::Sleep(kInfinite);
        return 1;
    }
};

class SpinsInRun : public ThreadBase {
protected:
    unsigned long Run() override {
        gOwnHandle = Thread::GetCurrentThread(true);
        gStarted = true;
        while (!gRelease.load()) {
        }
        return 4;  // touches nothing of the object: it may be gone
    }
    void Destroy() override { gGuardsDestroyed.fetch_add(100); }  // must not run after a terminate
};

void WaitStarted() {
    while (!gStarted.load()) std::this_thread::yield();
}

// The thread behind `handle` (its own duplicate, closed here) was terminated:
// it has ended, promptly, with exit code 0. Linux ends it by unwinding its
// stack, so its guards have been destroyed; Windows stops it where it is.
void ExpectTerminated(void* handle, int guardsDestroyed) {
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(handle, 1000ul * rvsys::test::TimeScale(), &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gGuardsDestroyed.load(), rvsys::test::kTerminationUnwinds ? guardsDestroyed : 0);
}

}  // namespace

TEST(StartThread, RoutineResultIsReportedUntilStopThread) {
    ResetFlags();
    ThreadBase* thread = StartThread(ReturnSeven, nullptr, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return thread->IsRunning() == 0; }));
    unsigned long code = 0;
    EXPECT_EQ(thread->GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 7ul);
    code = 0;
    EXPECT_EQ(StopThread(&thread, kInfinite, &code), 1);
    EXPECT_EQ(code, 7ul);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);  // null variable: refused
}

TEST(ThreadBase, WaitForThreadEndCleansUpTheRun) {
    Recorder recorder;
    ASSERT_EQ(recorder.Start(nullptr), 1);
    EXPECT_EQ(recorder.WaitForThreadEnd(kInfinite), 1);
    EXPECT_EQ(recorder.calls, "IRD");
    EXPECT_TRUE(recorder.ranElsewhere);
    unsigned long code = 0;
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 0);  // cleaned up: nothing to report
    EXPECT_EQ(recorder.IsRunning(), 0);
    EXPECT_EQ(recorder.WaitForThreadEnd(0), 0);
    EXPECT_EQ(recorder.Stop(0), 0);
}

TEST(ThreadBase, ExitCodeOfAnEndedRunThenStopReturnsOne) {
    Recorder recorder;
    ASSERT_EQ(recorder.Start(nullptr), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return recorder.IsRunning() == 0; }));
    unsigned long code = 0;
    EXPECT_EQ(recorder.GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 42ul);
    EXPECT_EQ(recorder.Stop(0), 1);
}

TEST(ThreadBase, PlainObjectRunsTheEmptyOperationsAndEndsWithZero) {
    ThreadBase plain;
    EXPECT_EQ(plain.Stop(0), 0);  // never started
    ASSERT_EQ(plain.Start(nullptr), 1);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return plain.IsRunning() == 0; }));
    unsigned long code = 1;
    EXPECT_EQ(plain.GetThreadExitCode(&code), 1);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(plain.Start(nullptr), 1);  // may run again
    EXPECT_EQ(plain.WaitForThreadEnd(kInfinite), 1);
}

TEST(ThreadBase, CallersEventIsUsedButNeitherCreatedNorDestroyed) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    void** handle = event.GetHandle();
    {
        Recorder recorder;
        ASSERT_EQ(recorder.Start(&event), 1);
        EXPECT_EQ(recorder.WaitForThreadEnd(kInfinite), 1);
    }
    EXPECT_EQ(event.GetHandle(), handle);
    EXPECT_EQ(event.Destroy(), 1);
}

TEST(StopThread, TerminatesAThreadBlockedForeverAndReportsTheOldExitCode) {
    ResetFlags();
    ThreadBase* thread = StartThread(BlockForever, nullptr, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    WaitStarted();
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(code, 0xFFFFFFFFul);
    EXPECT_EQ(thread, nullptr);
    EXPECT_LT(ElapsedMs(start), 1000 * rvsys::test::TimeScale());
    ExpectTerminated(gOwnHandle.load(), 1);
}

TEST(ThreadBase, WaitForThreadEndWithoutEnoughTimeChangesNothing) {
    ResetFlags();
    ThreadBase* thread = StartThread(WaitForRelease, nullptr, nullptr, 0);
    WaitStarted();
    EXPECT_EQ(thread->WaitForThreadEnd(0), 0);
    EXPECT_EQ(thread->WaitForThreadEnd(10), 0);
    EXPECT_EQ(thread->IsRunning(), 1);
    gRelease = true;
    EXPECT_EQ(thread->WaitForThreadEnd(kInfinite), 1);
    EXPECT_EQ(thread->IsRunning(), 0);
    unsigned long code = 0;
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);  // already cleaned up: Stop on an idle object
    EXPECT_EQ(code, 3ul);
    Thread::WaitForThread(gOwnHandle.load(), kInfinite, nullptr);
}

TEST(ThreadBase, StartOnARunningObjectTerminatesTheOldThreadFirst) {
    ResetFlags();
    BlocksInRun object;
    ASSERT_EQ(object.Start(nullptr), 1);
    WaitStarted();
    void* first = gOwnHandle.load();
    gStarted = false;
    ASSERT_EQ(object.Start(nullptr), 1);
    ExpectTerminated(first, 1);
    WaitStarted();  // the new run
    EXPECT_EQ(object.IsRunning(), 1);
    EXPECT_EQ(object.Stop(0), 0);
    ExpectTerminated(gOwnHandle.load(), 2);
}

TEST(ThreadBase, StopAndWaitFromTheObjectsOwnThreadReturnZero) {
    StopsItself object;
    ASSERT_EQ(object.Start(nullptr), 1);
    EXPECT_EQ(object.WaitForThreadEnd(kInfinite), 1);
    EXPECT_EQ(object.stopResult, 0);
    EXPECT_EQ(object.waitResult, 0);
}

TEST(StopThread, RefusesObjectsWithoutARoutine) {
    Recorder recorder;
    ThreadBase* base = &recorder;
    unsigned long code = 99;
    EXPECT_EQ(StopThread(&base, 0, &code), 0);
    EXPECT_EQ(base, &recorder);
    EXPECT_EQ(code, 99ul);
}

TEST(StartThread, SelfDeletingObjectReleasesEverythingAtItsEnd) {
    // Leaks of the object, its event or its handle are reported by the
    // sanitizer build at exit.
    ResetFlags();
    ThreadBase* thread = StartThread(WaitForRelease, nullptr, nullptr, 1);
    ASSERT_NE(thread, nullptr);
    WaitStarted();
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 3ul);
}

TEST(Termination, StopOfASpinningThreadReturnsAtOnceAndTheThreadLaterEndsCleanly) {
    ResetFlags();
    ThreadBase* thread = StartThread(Spin, nullptr, nullptr, 0);
    WaitStarted();
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);  // the object is gone from here on
    EXPECT_LT(ElapsedMs(start), 500 * rvsys::test::TimeScale());
    gRelease = true;
    code = 0;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 0ul);  // ended by the termination, as it left its routine
}

TEST(Termination, DestroyingASubclassWhoseRunSpinsNeverCallsDestroyLater) {
    ResetFlags();
    auto* object = new SpinsInRun;
    ASSERT_EQ(object->Start(nullptr), 1);
    WaitStarted();
    delete object;  // Stop(0) from the destructor
    gRelease = true;
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gGuardsDestroyed.load(), 0);
}

TEST(ThreadBase, CopyOfARunningObjectOwnsNothing) {
    ResetFlags();
    ThreadBase* thread = StartThread(WaitForRelease, nullptr, nullptr, 0);
    WaitStarted();
    {
        ThreadBase copy(*thread);
        ThreadBase assigned;
        assigned = *thread;
        EXPECT_EQ(copy.Stop(0), 0);
    }  // neither terminated the thread nor released its handle or event
    EXPECT_EQ(thread->IsRunning(), 1);
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(StopThread(&thread, kInfinite, &code), 1);
    EXPECT_EQ(code, 3ul);
    Thread::WaitForThread(gOwnHandle.load(), kInfinite, nullptr);
}

TEST(ThreadBase, AllocationFailureLeavesAnIdleObjectThatCanStartAgain) {
    ThreadBase plain;
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_EQ(plain.Start(nullptr), 0);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_EQ(plain.IsRunning(), 0);
    EXPECT_EQ(plain.Stop(0), 0);
    EXPECT_EQ(plain.Start(nullptr), 1);
    EXPECT_EQ(plain.WaitForThreadEnd(kInfinite), 1);

    rvsys::test::FailNothrowAllocations(1);
    EXPECT_EQ(StartThread(ReturnSeven, nullptr, nullptr, 0), nullptr);
    rvsys::test::FailNothrowAllocations(0);
}
