// ThreadMutex and ThreadEvent.
#include <gtest/gtest.h>

#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/ThreadMutex.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Ms;

namespace {

constexpr unsigned long kFailed = 0xFFFFFFFFul;
constexpr unsigned long kTimeout = 258;
constexpr unsigned long kQueuedCall = 192;

bool TryLockElsewhere(ThreadMutex& mutex) {
    bool taken = false;
    std::thread other([&] {
        taken = mutex.TryLock();
        if (taken) mutex.Unlock();
    });
    other.join();
    return taken;
}

bool TryEnterElsewhere(pf::CRITICAL_SECTION* cs) {
    bool taken = false;
    std::thread other([&] {
        taken = pf::TryEnterCriticalSection(cs) != 0;
        if (taken) pf::LeaveCriticalSection(cs);
    });
    other.join();
    return taken;
}

// The event's own lock is not reachable from outside, so whether it is free is
// asked by locking it from another thread. The probe joins when destroyed, so a
// test that sees the lock held releases it before the probe goes out of scope.
class LockProbe {
public:
    explicit LockProbe(ThreadEvent& event)
        : mThread([this, &event] {
              event.Lock();
              mGot = true;
              event.Unlock();
          }) {}
    ~LockProbe() { mThread.join(); }
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

std::atomic<int> gCalls{0};
void RVSYS_WINAPI CountCall(pf::ULONG_PTR) { gCalls.fetch_add(1); }

}  // namespace

TEST(ThreadMutex, TryLockFailsOnlyForOtherThreadsAndNestsForTheHolder) {
    ThreadMutex mutex;
    ASSERT_TRUE(mutex);
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.TryLock());  // second level
    EXPECT_FALSE(TryLockElsewhere(mutex));
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(TryLockElsewhere(mutex));  // one level still held
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(TryLockElsewhere(mutex));
}

TEST(ThreadMutex, WithoutItsCriticalSectionEveryOperationFails) {
    rvsys::test::FailNothrowAllocations(1);
    ThreadMutex mutex;
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_FALSE(mutex);
    EXPECT_FALSE(mutex.Lock());
    EXPECT_FALSE(mutex.TryLock());
    EXPECT_FALSE(mutex.Unlock());
}

TEST(ThreadEvent, NotCreatedEventRefusesEverythingWithoutWaiting) {
    ThreadEvent event;
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_EQ(event.SetEvent(), 0);
    EXPECT_EQ(event.SetEventAll(), 0);
    EXPECT_EQ(event.ResetEvent(), 0);
    const auto start = Clock::now();
    EXPECT_EQ(event.WaitForEvent(1000, nullptr), kFailed);
    EXPECT_EQ(event.WaitForEvent(nullptr), kFailed);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), kFailed);
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(event.Lock(), 1);  // no lock flag: nothing to lock
    EXPECT_EQ(event.Unlock(), 1);
    EXPECT_EQ(event.Destroy(), 0);
}

TEST(ThreadEvent, CreateOnceDestroyOnceThenCreateAgain) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 1), 1);
    void** cell = event.GetHandle();
    ASSERT_NE(cell, nullptr);
    EXPECT_NE(*cell, nullptr);
    EXPECT_EQ(event.Create(0, 0), 0);
    EXPECT_EQ(event.GetHandle(), cell);
    // Still manual-reset with a lock.
    EXPECT_EQ(event.SetEvent(), 1);
    EXPECT_EQ(event.Lock(), 1);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    {
        LockProbe probe(event);
        EXPECT_FALSE(probe.GotWithin(Ms(30)));
        EXPECT_EQ(event.Unlock(), 1);
    }

    EXPECT_EQ(event.Destroy(), 1);
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_EQ(event.Destroy(), 0);
    EXPECT_EQ(event.Lock(), 0);  // it had a lock, which is gone
    EXPECT_EQ(event.Unlock(), 0);
    EXPECT_EQ(event.Create(0, 0), 1);
    EXPECT_EQ(event.Lock(), 1);
}

TEST(ThreadEvent, EventWithoutLockNeitherLeavesNorTakesTheGivenSection) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    Section held;
    pf::EnterCriticalSection(&held.cs);
    std::atomic<bool> enteredDuringWait{false};
    std::atomic<bool> waiting{true};
    std::thread prober([&] {
        while (waiting.load()) {
            if (pf::TryEnterCriticalSection(&held.cs)) {
                enteredDuringWait = true;
                pf::LeaveCriticalSection(&held.cs);
            }
        }
    });
    EXPECT_EQ(event.WaitForEvent(50, &held.cs), kTimeout);
    waiting = false;
    prober.join();
    EXPECT_FALSE(enteredDuringWait.load());
    pf::LeaveCriticalSection(&held.cs);
    EXPECT_TRUE(TryEnterElsewhere(&held.cs));

    Section notHeld;
    EXPECT_EQ(event.WaitForEvent(0, &notHeld.cs), kTimeout);
    EXPECT_TRUE(TryEnterElsewhere(&notHeld.cs));
}

TEST(ThreadEvent, ZeroWaitTimesOutAtOnceAndKeepsTheLock) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    event.Lock();
    const auto start = Clock::now();
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
    EXPECT_LT(ElapsedMs(start), 500);
    LockProbe probe(event);
    EXPECT_FALSE(probe.GotWithin(Ms(30)));
    event.Unlock();
    EXPECT_TRUE(probe.GotWithin(Ms(5000)));
}

// The largest finite timeout is no timeout to speak of, and on Linux, where
// unsigned long has 64 bits, a larger one saturates to the infinite wait
// rather than wrapping to a short one: either wait ends by the signal.
TEST(ThreadEvent, HugeTimeoutsEndOnlyByTheSignal) {
    std::vector<unsigned long> timeouts{0xFFFFFFFEul};
    if (sizeof(unsigned long) > 4) timeouts.push_back(static_cast<unsigned long>(0x100000000ull + 5));
    for (const unsigned long timeout : timeouts) {
        ThreadEvent event;
        ASSERT_EQ(event.Create(1, 0), 1);
        std::atomic<unsigned long> result{kTimeout + 1};
        std::thread waiter([&] {
            event.Lock();
            result = event.WaitForEvent(timeout, nullptr);
            event.Unlock();
        });
        pf::Sleep(50);
        EXPECT_EQ(result.load(), kTimeout + 1) << "timeout " << timeout;
        event.Lock();
        event.SetEvent();
        event.Unlock();
        waiter.join();
        EXPECT_EQ(result.load(), 0ul) << "timeout " << timeout;
    }
}

TEST(ThreadEvent, AutoResetKeepsOneSignalForTheNextWait) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    EXPECT_EQ(event.SetEvent(), 1);
    event.Lock();
    EXPECT_EQ(event.WaitForEvent(1000, nullptr), 0ul);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
    event.Unlock();
}

TEST(ThreadEvent, ManualResetReleasesEveryWaitUntilReset) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 1), 1);
    EXPECT_EQ(event.SetEventAll(), 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(event.WaitForEvent(0, nullptr), 0ul);
    EXPECT_EQ(event.ResetEvent(), 1);
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kTimeout);
}

TEST(ThreadEvent, SetEventAllOnAutoResetReleasesOneWaiterOnly) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    std::atomic<int> woken{0};
    std::atomic<long> tids[2] = {};
    std::atomic<int> ready{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&, i] {
            pf::GetCurrentThreadId();
            tids[i] = rvsys::test::KernelThreadId();
            event.Lock();
            ready.fetch_add(1);
            if (event.WaitForEvent(nullptr) == 0) woken.fetch_add(1);
            event.Unlock();
        });
    }
    while (ready.load() < 2) std::this_thread::yield();
    for (auto& tid : tids) ASSERT_TRUE(rvsys::test::WaitUntilBlocked(tid.load()));
    event.Lock();
    EXPECT_EQ(event.SetEventAll(), 1);
    event.Unlock();
    ASSERT_TRUE(rvsys::test::Eventually([&] { return woken.load() == 1; }));
    std::this_thread::sleep_for(Ms(10));
    EXPECT_EQ(woken.load(), 1);
    event.SetEvent();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(ThreadEvent, WaitLeavesAndRetakesTheGivenSectionNotItsOwn) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    Section external;
    std::atomic<long> tid{0};
    std::atomic<bool> heldAfterWait{false};
    std::thread waiter([&] {
        pf::GetCurrentThreadId();
        tid = rvsys::test::KernelThreadId();
        pf::EnterCriticalSection(&external.cs);
        if (event.WaitForEvent(5000, &external.cs) == 0) heldAfterWait = !TryEnterElsewhere(&external.cs);
        pf::LeaveCriticalSection(&external.cs);
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(rvsys::test::WaitUntilBlocked(tid.load()));
    EXPECT_TRUE(TryEnterElsewhere(&external.cs));  // left while blocked
    {
        LockProbe probe(event);  // its own lock was never taken
        EXPECT_TRUE(probe.GotWithin(Ms(5000)));
    }
    event.SetEvent();
    waiter.join();
    EXPECT_TRUE(heldAfterWait.load());
}

TEST(ThreadEvent, OnlyTheAlertableWaitRunsQueuedCalls) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    gCalls = 0;
    ASSERT_NE(pf::QueueUserAPC(CountCall, pf::GetCurrentThread(), 0), 0u);
    event.Lock();
    EXPECT_EQ(event.WaitForEvent(20, nullptr), kTimeout);
    EXPECT_EQ(gCalls.load(), 0);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), kQueuedCall);
    EXPECT_EQ(gCalls.load(), 1);
    LockProbe probe(event);  // taken again after the call ran
    EXPECT_FALSE(probe.GotWithin(Ms(30)));
    event.Unlock();
}

TEST(ThreadEvent, CopiesShareWithoutOwning) {
    ThreadEvent owner;
    ASSERT_EQ(owner.Create(1, 0), 1);
    {
        ThreadEvent copy(owner);
        EXPECT_EQ(copy.GetHandle(), owner.GetHandle());
        EXPECT_EQ(copy.SetEvent(), 1);
        owner.Lock();
        EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);  // one event
        owner.Unlock();
        EXPECT_EQ(copy.Destroy(), 1);  // forgets only
        EXPECT_EQ(copy.GetHandle(), nullptr);
    }
    {
        ThreadEvent copy(owner);
    }  // the copy's destructor releases nothing either
    EXPECT_EQ(owner.SetEvent(), 1);
    EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);

    ThreadEvent assigned;
    ASSERT_EQ(assigned.Create(0, 1), 1);
    assigned = owner;  // its own event is released, not leaked
    EXPECT_EQ(assigned.GetHandle(), owner.GetHandle());
    EXPECT_EQ(assigned.Destroy(), 1);
    EXPECT_EQ(owner.Destroy(), 1);
}

TEST(ThreadEvent, AllocationFailureLeavesTheEventNotCreated) {
    ThreadEvent cellFails;
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_EQ(cellFails.Create(1, 0), 0);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_EQ(cellFails.GetHandle(), nullptr);

    ThreadEvent lockFails;
    rvsys::test::FailNothrowAllocations(1, 1);
    EXPECT_EQ(lockFails.Create(1, 0), 0);
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_EQ(lockFails.GetHandle(), nullptr);
    EXPECT_EQ(lockFails.Create(1, 0), 1);
}
