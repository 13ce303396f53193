// Four threads add, reset and remove timers among 10,000 ids while callbacks
// fire, checked against a model of which timers may still call back.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/TimerManager.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr int kThreads = 4;
constexpr unsigned long kIdsPerThread = 2500;
constexpr std::uint32_t kMaxTokens = 1 << 20;
constexpr std::uint32_t kNoLimit = 0xFFFFFFFF;

// Each successful AddTimer gets a token, passed as the user data.
struct Model {
    std::atomic<std::uint32_t> nextToken{1};
    std::unique_ptr<std::atomic<std::uint32_t>[]> calls{new std::atomic<std::uint32_t>[kMaxTokens]()};
    std::unique_ptr<std::atomic<std::uint32_t>[]> limit{new std::atomic<std::uint32_t>[kMaxTokens]()};
    // Calls allowed in total once the token is known to be gone (kNoLimit: not gone).
    std::unique_ptr<std::atomic<std::uint32_t>[]> allowed{new std::atomic<std::uint32_t>[kMaxTokens]()};
    std::atomic<unsigned long> timerThread{0};
    std::atomic<bool> wrongThread{false};
    std::atomic<std::uint64_t> totalCalls{0};
};
Model* gModel = nullptr;

void Callback(unsigned long, void* userData) {
    const auto token = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(userData));
    gModel->calls[token].fetch_add(1);
    gModel->totalCalls.fetch_add(1);
    unsigned long expected = 0;
    const unsigned long self = Thread::GetCurrentThreadID(false);
    if (!gModel->timerThread.compare_exchange_strong(expected, self) && expected != self) gModel->wrongThread = true;
}

void Worker(TimerManager& manager, int index, std::atomic<bool>& stop) {
    std::mt19937 random(static_cast<unsigned>(index) * 7919u + 1u);
    std::vector<std::uint32_t> current(kIdsPerThread + 1, 0);  // the token last added under each id
    // A queued reset applies to whichever timer runs under the id when the thread
    // takes it, possibly one added later: counts are not checked on such ids.
    std::vector<bool> everReset(kIdsPerThread + 1, false);
    const unsigned long base = static_cast<unsigned long>(index) * kIdsPerThread;
    // The token under `slot` is gone for good once this returns: it may still
    // finish one call that had already started.
    auto retire = [&](unsigned long slot, std::uint32_t extra) {
        const std::uint32_t token = current[slot];
        if (token == 0) return;
        std::uint32_t open = kNoLimit;
        gModel->allowed[token].compare_exchange_strong(open, gModel->calls[token].load() + extra);
        current[slot] = 0;
    };
    while (!stop.load(std::memory_order_relaxed)) {
        const unsigned long slot = 1 + random() % kIdsPerThread;
        const unsigned long id = base + slot;
        // Busy but not saturating even under the sanitizers: Stop must still end
        // the thread within its second.
        const long due = static_cast<long>(random() % 20);
        const long period = 10 + static_cast<long>(random() % 90);
        switch (random() % 3) {
            case 0: {
                const std::uint32_t token = gModel->nextToken.fetch_add(1);
                if (token >= kMaxTokens) return;
                const unsigned long count = random() % 10 == 0 ? 0 : 1 + random() % 3;  // 0: unlimited
                gModel->limit[token] = count == 0 || everReset[slot] ? kNoLimit : static_cast<std::uint32_t>(count);
                gModel->allowed[token] = kNoLimit;
                void* userData = reinterpret_cast<void*>(std::uintptr_t{token});
                if (manager.AddTimer(id, Callback, userData, due, count, period) == 1) {
                    // Accepted, so the id was not running: an earlier token under
                    // it was a replaced addition or had run out. Neither calls again.
                    retire(slot, 0);
                    current[slot] = token;
                }
                break;
            }
            case 1:
                if (manager.ResetTimer(id, due, random() % 4, period, nullptr, nullptr) == 1) {
                    everReset[slot] = true;
                    if (current[slot] != 0) gModel->limit[current[slot]] = kNoLimit;
                }
                break;
            case 2:
                if (manager.RemoveTimer(id) == 1) retire(slot, 1);
                break;
        }
    }
}

}  // namespace

TEST(TimerManagerStress, FourThreadsChurnTenThousandIdsWhileCallbacksFire) {
    RVSYS_SKIP_ON_WINE(
        "every waitable timer is served by the single wineserver process, which this load saturates: its calls then "
        "take seconds, and Stop has to terminate the timer thread inside Wine's own code");
    Model model;
    gModel = &model;
    TimerManager manager;
    ASSERT_EQ(manager.Start(), 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) workers.emplace_back(Worker, std::ref(manager), t, std::ref(stop));
    Thread::Sleep(3000);
    stop = true;
    for (auto& worker : workers) worker.join();
    ASSERT_EQ(manager.Stop(), 1);
    const std::uint64_t afterStop = model.totalCalls.load();
    Thread::Sleep(20);

    EXPECT_EQ(model.totalCalls.load(), afterStop);  // nothing after Stop returned
    EXPECT_FALSE(model.wrongThread.load());
    EXPECT_GT(afterStop, 1000u);  // the timers really fired meanwhile
    const std::uint32_t tokens = std::min(model.nextToken.load(), kMaxTokens);
    for (std::uint32_t token = 1; token < tokens; ++token) {
        const std::uint32_t calls = model.calls[token].load();
        const std::uint32_t allowed = model.allowed[token].load();
        if (allowed != kNoLimit) {
            ASSERT_LE(calls, allowed) << "token " << token << " called after it was gone";
        }
        const std::uint32_t limit = model.limit[token].load();
        if (limit != kNoLimit) {
            ASSERT_LE(calls, limit) << "token " << token << " over its count";
        }
    }
    gModel = nullptr;
}
