// ThreadMutex and ThreadEvent: the wrappers' own logic. The event semantics
// underneath (auto/manual reset, waiters, timeouts) are the platform tests'.
#include <gtest/gtest.h>

#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/ThreadMutex.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using rvsys::test::Ms;

namespace {

constexpr unsigned long kFailed = 0xFFFFFFFFul;
constexpr unsigned long kTimeout = 258;

// Another thread takes a lock and says when it got it. A test that sees the
// lock held releases it before the probe goes out of scope (the probe joins).
class Probe {
public:
    Probe(std::function<void()> lock, std::function<void()> unlock)
        : mThread([this, lock, unlock] { lock(); mGot = true; unlock(); }) {}
    explicit Probe(ThreadEvent& event) : Probe([&event] { event.Lock(); }, [&event] { event.Unlock(); }) {}
    explicit Probe(pf::CRITICAL_SECTION* cs)
        : Probe([cs] { pf::EnterCriticalSection(cs); }, [cs] { pf::LeaveCriticalSection(cs); }) {}
    ~Probe() { mThread.join(); }
    bool GotWithin(Ms limit) { return rvsys::test::Eventually([this] { return mGot.load(); }, limit); }

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

// TryLock is refused only to other threads and nests for the holder; without
// its critical section (allocation failed) the mutex refuses everything.
TEST(ThreadMutex, TryLockIsPerThreadAndNestsAndAMutexWithoutSectionRefusesAll) {
    ThreadMutex mutex;
    ASSERT_TRUE(mutex);
    const auto freeElsewhere = [&] {
        bool taken = false;
        std::thread([&] { taken = mutex.TryLock() && mutex.Unlock(); }).join();
        return taken;
    };
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_FALSE(freeElsewhere());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(freeElsewhere());  // one level still held
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(freeElsewhere());

    rvsys::test::FailNothrowAllocations(1);
    ThreadMutex broken;
    rvsys::test::FailNothrowAllocations(0);
    EXPECT_FALSE(broken);
    EXPECT_FALSE(broken.Lock() || broken.TryLock() || broken.Unlock());
}

// Create works once, Destroy once, then the event may be created again; the
// reset mode reaches the system event, and a destroyed lock is not used.
TEST(ThreadEvent, CreatesOnceDestroysOnceAndKeepsTheResetMode) {
    ThreadEvent event;
    EXPECT_EQ(event.WaitForEvent(1000, nullptr), kFailed);  // not created: at once
    EXPECT_EQ(event.SetEvent() + event.ResetEvent() + event.Destroy(), 0);
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
    {
        Probe probe(event);  // the lock was taken back after every wait
        EXPECT_FALSE(probe.GotWithin(Ms(30)));
        event.Unlock();
    }
    EXPECT_EQ(event.Destroy(), 1);
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_EQ(event.Destroy(), 0);
    EXPECT_EQ(event.Lock(), 0);  // it had a lock, which is gone
    EXPECT_EQ(event.WaitForEvent(0, nullptr), kFailed);

    ASSERT_EQ(event.Create(0, 0), 1);  // auto-reset: SetEventAll keeps one signal for one wait
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

// Without a lock of its own the event's wait neither leaves nor takes the
// section it is given.
TEST(ThreadEvent, LocklessEventLeavesNothing) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(0, 0), 1);
    Section held;
    pf::EnterCriticalSection(&held.cs);
    {
        Probe probe(&held.cs);
        EXPECT_EQ(event.WaitForEvent(50, &held.cs), kTimeout);
        EXPECT_FALSE(probe.GotWithin(Ms(0)));
        pf::LeaveCriticalSection(&held.cs);
    }
    Section notHeld;
    EXPECT_EQ(event.WaitForEvent(0, &notHeld.cs), kTimeout);
    EXPECT_TRUE(Probe(&notHeld.cs).GotWithin(Ms(5000)));  // not taken either
}

// Only WaitForEventEx runs queued calls (returning 192), with the lock taken back after.
TEST(ThreadEvent, OnlyTheAlertableWaitRunsQueuedCalls) {
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    gCalls = 0;
    ASSERT_NE(pf::QueueUserAPC(CountCall, pf::GetCurrentThread(), 0), 0u);
    event.Lock();
    EXPECT_EQ(event.WaitForEvent(20, nullptr), kTimeout);
    EXPECT_EQ(gCalls.load(), 0);
    EXPECT_EQ(event.WaitForEventEx(1000, nullptr), 192ul);
    EXPECT_EQ(gCalls.load(), 1);
    Probe probe(event);
    EXPECT_FALSE(probe.GotWithin(Ms(30)));
    event.Unlock();
}

// Copies share the event but release nothing; assignment releases the event
// the target owned. Leaks or double releases show in the sanitizer builds.
TEST(ThreadEvent, CopiesShareWithoutOwning) {
    ThreadEvent owner;
    ASSERT_EQ(owner.Create(1, 0), 1);
    {
        ThreadEvent copy(owner);
        EXPECT_EQ(copy.SetEvent(), 1);
        owner.Lock();
        EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);  // the same event
        owner.Unlock();
        EXPECT_EQ(copy.Destroy(), 1);
        EXPECT_EQ(copy.GetHandle(), nullptr);
        ThreadEvent other(owner);
    }
    EXPECT_EQ(owner.SetEvent(), 1);  // still alive, with its lock
    EXPECT_EQ(owner.Lock(), 1);
    EXPECT_EQ(owner.WaitForEvent(0, nullptr), 0ul);
    owner.Unlock();
    ThreadEvent assigned;
    ASSERT_EQ(assigned.Create(0, 1), 1);
    assigned = owner;
    EXPECT_EQ(assigned.GetHandle(), owner.GetHandle());
}

// Memory running out for the cell or for the lock leaves the event not created.
TEST(ThreadEvent, AllocationFailureLeavesTheEventNotCreated) {
    for (int skip : {0, 1}) {
        ThreadEvent event;
        rvsys::test::FailNothrowAllocations(1, skip);
        EXPECT_EQ(event.Create(1, 0), 0);
        rvsys::test::FailNothrowAllocations(0);
        EXPECT_EQ(event.GetHandle(), nullptr);
        EXPECT_EQ(event.Create(1, 0), 1);
    }
}
