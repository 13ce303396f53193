// TimersAndEventManager with real threads and real time: outside requests from
// several threads against a model, events from another thread, and the loop's
// waits. Times are asserted loosely, order and counts exactly.
#include <gtest/gtest.h>

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

namespace {

void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }
void FarAway(void*) { ADD_FAILURE() << "a far-future timer fired"; }
std::atomic<int> gDueNowFired{0};
void CountFire(void*) { gDueNowFired.fetch_add(1, std::memory_order_relaxed); }
std::vector<std::uintptr_t>* gSeen = nullptr;

}  // namespace

TEST(EventLoopThreads, OutsideRequestsFromFourThreadsMatchAModel) {
    constexpr int kThreads = 4;
    TimersAndEventManager loop(1);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    const unsigned long long far = loop.GetKeyTime() + 1000000000ull;

    // Thread t's timers carry user data t * 100 + slot + 1. Each thread keeps
    // the list its own requests should leave: a removal takes every earlier
    // addition of its slot, additions stay in their order. Timers due at once
    // carry no user data; they are only counted when they fire.
    std::vector<std::vector<std::uintptr_t>> model(kThreads);
    std::atomic<int> dueNowAdded{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1u);
            std::vector<std::uintptr_t>& mine = model[static_cast<size_t>(t)];
            for (int i = 0; i < 3000; ++i) {
                const auto roll = random() % 100;
                const std::uintptr_t data = static_cast<std::uintptr_t>(t) * 100 + random() % 32 + 1;
                if (roll < 60) {
                    loop.AddTimerFromOutside(far, &FarAway, reinterpret_cast<void*>(data));
                    mine.push_back(data);
                } else if (roll < 85) {
                    loop.RemoveTimerFromOutside(reinterpret_cast<void*>(data));
                    std::erase(mine, data);
                } else {
                    loop.AddTimerFromOutside(0, &CountFire, nullptr);
                    dueNowAdded.fetch_add(1);
                }
                if (i % 500 == 0) event.SetEvent();
            }
        });
    }
    // Queued after every request of the workers: the pass that fires it has
    // applied them all.
    std::thread closer([&] {
        for (auto& worker : workers) worker.join();
        loop.AddTimerFromOutside(0, &Cease, &loop);
        event.SetEvent();
    });
    EXPECT_TRUE(loop.Start(event));
    closer.join();
    EXPECT_EQ(gDueNowFired.load(), dueNowAdded.load());

    std::vector<std::uintptr_t> seen;
    gSeen = &seen;
    loop.ClearTimersFromCallbackIf([](const TimersAndEventManager::TimerEntry& entry) {
        gSeen->push_back(reinterpret_cast<std::uintptr_t>(entry.second.second));
        return false;
    });
    for (int t = 0; t < kThreads; ++t) {
        std::vector<std::uintptr_t> ofThread;
        for (std::uintptr_t data : seen) {
            if ((data - 1) / 100 == static_cast<std::uintptr_t>(t)) ofThread.push_back(data);
        }
        EXPECT_EQ(ofThread, model[static_cast<size_t>(t)]) << "thread " << t;
    }
}

namespace {
struct EndToEnd {
    TimersAndEventManager* loop;
    int events;  // touched on the loop's thread only
    unsigned long long key;
    unsigned long long firedAt;
};
void OnEvent(void* state) { ++static_cast<EndToEnd*>(state)->events; }
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
    EndToEnd state{&loop, 0, 0, 0};
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
    EXPECT_GE(state.events, 1);
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
