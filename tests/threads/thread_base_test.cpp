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

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

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
unsigned long RVSYS_WINAPI WaitForRelease(void*) {
    MarkStarted();
    while (!gRelease.load()) Thread::Sleep(1);
    return 3;
}
unsigned long RVSYS_WINAPI Spin(void*) {  // no blocking call at all
    MarkStarted();
    while (!gRelease.load()) {
    }
    return 4;
}

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

class SpinsInRun : public ThreadBase {
protected:
    unsigned long Run() override { return Spin(nullptr); }  // touches nothing of the object: it may be gone
    void Destroy() override { gGuardsDestroyed.fetch_add(100); }  // must not run after a terminate
};

// The thread behind `handle` (its own duplicate, closed here) ended with exit
// code 0, promptly. Linux ends it by unwinding (its guards are destroyed);
// Windows stops it where it is.
void ExpectTerminated(void* handle, int guardsDestroyed) {
    unsigned long code = 1;
    EXPECT_EQ(Thread::WaitForThread(handle, 1000ul * rvsys::test::TimeScale(), &code), 0ul);
    EXPECT_EQ(code, 0ul);
    EXPECT_EQ(gGuardsDestroyed.load(), rvsys::test::kTerminationUnwinds ? guardsDestroyed : 0);
}

}  // namespace

// Initialize, Run and Destroy run in order on the new thread; the exit code is
// reported from the end of the run until its clean-up; a caller's event is
// used but not destroyed; the object may run again.
TEST(ThreadBase, RunsItsOperationsInOrderAndReportsTheExitCodeUntilCleanup) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Recorder recorder;
    unsigned long code = 0;
    EXPECT_EQ(recorder.Stop(0), 0);  // idle
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

    ThreadBase* thread = StartThread(ReturnSeven, nullptr, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(StopThread(&thread, kInfinite, &code), 1);
    EXPECT_EQ(code, 7ul);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    thread = &recorder;  // not made by StartThread: refused, untouched
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(thread, &recorder);
}

// Stop(0) of a thread blocked for ever terminates it at once and reports the
// exit code of no run, 0xFFFFFFFF; Start on a running object terminates the old thread.
TEST(Termination, BlockedThreadsAreTerminatedPromptly) {
    ThreadBase* thread = Started([] { return StartThread(BlockForever, nullptr, nullptr, 0); });
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_EQ(code, 0xFFFFFFFFul);
    EXPECT_EQ(thread, nullptr);
    EXPECT_LT(ElapsedMs(start), 1000 * rvsys::test::TimeScale());
    ExpectTerminated(gOwnHandle.load(), 1);

    BlocksInRun object;
    ASSERT_EQ(Started([&] { return object.Start(nullptr); }), 1);
    void* first = gOwnHandle.load();
    gStarted = false;
    ASSERT_EQ(object.Start(nullptr), 1);
    ExpectTerminated(first, 1);
    while (!gStarted.load()) std::this_thread::yield();  // the new run
    EXPECT_EQ(object.Stop(0), 0);
    ExpectTerminated(gOwnHandle.load(), 2);
}

// Neither a wait too short nor copies (which own nothing) change a running
// thread; a self-deleting object releases everything at its end (leaks show
// in the sanitizer builds).
TEST(ThreadBase, ShortWaitsAndCopiesLeaveTheRunAloneAndSelfDeletingObjectsRelease) {
    ThreadBase* thread = Started([] { return StartThread(WaitForRelease, nullptr, nullptr, 0); });
    EXPECT_EQ(thread->WaitForThreadEnd(0), 0);
    EXPECT_EQ(thread->WaitForThreadEnd(10), 0);
    {
        ThreadBase copy(*thread);
        ThreadBase assigned;
        assigned = *thread;
        EXPECT_EQ(copy.Stop(0), 0);
    }
    EXPECT_EQ(thread->IsRunning(), 1);
    gRelease = true;
    unsigned long code = 0;
    EXPECT_EQ(StopThread(&thread, kInfinite, &code), 1);
    EXPECT_EQ(code, 3ul);
    Thread::WaitForThread(gOwnHandle.load(), kInfinite, nullptr);

    Started([] { return StartThread(WaitForRelease, nullptr, nullptr, 1); });
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(gOwnHandle.load(), kInfinite, &code), 0ul);
    EXPECT_EQ(code, 3ul);
}

// Stopping a thread that spins without blocking returns at once; the thread
// ends cleanly (exit code 0) when it leaves its routine, and a subclass never
// gets Destroy after such a terminate.
TEST(Termination, StopOfASpinningThreadReturnsAtOnceAndItEndsCleanlyLater) {
    ThreadBase* thread = Started([] { return StartThread(Spin, nullptr, nullptr, 0); });
    void* plain = gOwnHandle.load();
    unsigned long code = 0;
    const auto start = Clock::now();
    EXPECT_EQ(StopThread(&thread, 0, &code), 0);
    EXPECT_LT(ElapsedMs(start), 500 * rvsys::test::TimeScale());
    auto* object = new SpinsInRun;
    gStarted = false;
    ASSERT_EQ(object->Start(nullptr), 1);
    while (!gStarted.load()) std::this_thread::yield();
    delete object;  // Stop(0) from the destructor
    gRelease = true;
    for (void* handle : {plain, gOwnHandle.load()}) {
        code = 1;
        EXPECT_EQ(Thread::WaitForThread(handle, kInfinite, &code), 0ul);
        EXPECT_EQ(code, 0ul);
    }
    EXPECT_EQ(gGuardsDestroyed.load(), 0);
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
