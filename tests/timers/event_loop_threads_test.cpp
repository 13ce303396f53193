// TimersAndEventManager with real threads and real time: outside requests from
// several threads against a model, events from another thread, and the loop's
// waits. Times are asserted loosely, order and counts exactly.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/TimersAndEventManager.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "support/test_support.h"

using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Slack;
using TimerEntry = TimersAndEventManager::TimerEntry;

namespace {

void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }

// User data of the model test: thread, slot, and whether the timer is due at
// once (those are never removed, only counted when they fire).
std::uintptr_t UserData(int thread, int slot, bool dueNow) {
    return static_cast<std::uintptr_t>(thread) << 16 | static_cast<std::uintptr_t>(slot) << 1 | (dueNow ? 1u : 0u);
}
int ThreadOf(std::uintptr_t userData) { return static_cast<int>(userData >> 16); }

std::atomic<int> gDueNowFired{0};
void CountFire(void*) { gDueNowFired.fetch_add(1, std::memory_order_relaxed); }
void FarAway(void*) { ADD_FAILURE() << "a far-future timer fired"; }

std::vector<std::uintptr_t>* gSeen = nullptr;

}  // namespace

TEST(EventLoopThreads, OutsideRequestsFromFourThreadsMatchAModel) {
    constexpr int kThreads = 4;
    constexpr int kOperations = 3000;
    constexpr int kSlots = 32;
    TimersAndEventManager loop(1);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    const unsigned long long far = loop.GetKeyTime() + 1000000000ull;

    // Each thread keeps the list its own requests should leave: removals take
    // every earlier addition of the slot, additions keep their order.
    std::vector<std::vector<std::uintptr_t>> model(kThreads);
    std::vector<int> dueNowAdded(kThreads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1u);
            std::vector<std::uintptr_t>& mine = model[static_cast<size_t>(t)];
            for (int i = 0; i < kOperations; ++i) {
                const int roll = static_cast<int>(random() % 100);
                const int slot = static_cast<int>(random() % kSlots);
                const std::uintptr_t data = UserData(t, slot, false);
                if (roll < 60) {
                    loop.AddTimerFromOutside(far, &FarAway, reinterpret_cast<void*>(data));
                    mine.push_back(data);
                } else if (roll < 85) {
                    loop.RemoveTimerFromOutside(reinterpret_cast<void*>(data));
                    std::erase(mine, data);
                } else {
                    loop.AddTimerFromOutside(0, &CountFire, reinterpret_cast<void*>(UserData(t, slot, true)));
                    ++dueNowAdded[static_cast<size_t>(t)];
                }
                if (i % 500 == 0) event.SetEvent();
            }
        });
    }
    // Queued after every request of the workers, so the pass that fires it has
    // applied them all.
    std::thread closer([&] {
        for (auto& worker : workers) worker.join();
        loop.AddTimerFromOutside(0, &Cease, &loop);
        event.SetEvent();
    });
    EXPECT_TRUE(loop.Start(event));
    closer.join();

    int expectedDueNow = 0;
    for (int count : dueNowAdded) expectedDueNow += count;
    EXPECT_EQ(gDueNowFired.load(), expectedDueNow);

    std::vector<std::uintptr_t> seen;
    gSeen = &seen;
    loop.ClearTimersFromCallbackIf([](const TimerEntry& entry) {
        gSeen->push_back(reinterpret_cast<std::uintptr_t>(entry.second.second));
        return false;
    });
    for (int t = 0; t < kThreads; ++t) {
        std::vector<std::uintptr_t> ofThread;
        for (std::uintptr_t data : seen) {
            if (ThreadOf(data) == t) ofThread.push_back(data);
        }
        EXPECT_EQ(ofThread, model[static_cast<size_t>(t)]) << "thread " << t;
    }
}

namespace {

struct EndToEnd {
    TimersAndEventManager* loop;
    unsigned long loopThread;
    std::atomic<int> events{0};
    std::atomic<bool> eventsOnLoopThread{true};
    unsigned long long key = 0;
    unsigned long long firedAt = 0;
};

void OnEvent(void* state) {
    auto& s = *static_cast<EndToEnd*>(state);
    s.events.fetch_add(1);
    if (Thread::GetCurrentThreadID(false) != s.loopThread) s.eventsOnLoopThread = false;
}

void OnFire(void* state) {
    auto& s = *static_cast<EndToEnd*>(state);
    s.firedAt = s.loop->GetKeyTime();
    s.loop->CeaseExecution();
}

}  // namespace

TEST(EventLoopThreads, TimerAndEventFromAnotherThreadOnTheRealClock) {
    TimersAndEventManager loop(10);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    EndToEnd state{&loop, Thread::GetCurrentThreadID(false)};
    loop.SetEventCallback(&OnEvent);
    loop.SetEventUserData(&state);
    const auto start = Clock::now();
    std::thread other([&] {
        state.key = loop.GetKeyTime() + 50;
        loop.AddTimerFromOutside(state.key, &OnFire, &state);
        event.SetEvent();
    });
    EXPECT_TRUE(loop.Start(event));
    other.join();
    EXPECT_GT(state.firedAt, state.key);  // never before its key
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_LE(ElapsedMs(start), 50 + Slack(2000).count());
    EXPECT_GE(state.events.load(), 1);
    EXPECT_TRUE(state.eventsOnLoopThread.load());
}

namespace {
struct PassCounter {
    TimersAndEventManager* loop;
    int passes;
    int limit;
};
void CountPass(void* counter) {
    auto& c = *static_cast<PassCounter*>(counter);
    if (++c.passes == c.limit) return c.loop->CeaseExecution();
    c.loop->AddTimerFromCallback(0u, &CountPass, counter);  // due in the next pass
}
}  // namespace

TEST(EventLoopThreads, AnUncreatedEventMakesEachPassSleepItsPeriod) {
    TimersAndEventManager loop(20);
    ThreadEvent never;
    PassCounter counter{&loop, 0, 6};
    loop.AddTimerFromCallback(0u, &CountPass, &counter);
    const auto start = Clock::now();
    EXPECT_TRUE(loop.Start(never));
    EXPECT_EQ(counter.passes, 6);
    EXPECT_GE(ElapsedMs(start), 6 * 20);
}
