// Four threads add, reset and remove timers among 10,000 ids while callbacks
// fire, checked against a model of which timers may still call back.
#include <rvsysutils/Thread.h>
#include <rvsysutils/TimerManager.h>

#include <random>

#include "support/test_support.h"

namespace {

constexpr unsigned long kIdsPerThread = 2500;
constexpr std::uint32_t kTokens = 1 << 20, kOpen = 0xFFFFFFFF;

// Each addition gets a token, passed as its user data: the calls it made and,
// once it is gone for good, how many it may make in all (kOpen: not gone).
struct Token {
    std::atomic<std::uint32_t> calls{0}, allowed{kOpen};
};
std::vector<Token> gTokens(kTokens);
std::atomic<std::uint32_t> gNextToken{1};
std::atomic<std::uint64_t> gTotalCalls{0};

void Callback(unsigned long, void* token) {
    gTokens[reinterpret_cast<std::uintptr_t>(token)].calls.fetch_add(1);
    gTotalCalls.fetch_add(1);
}

void Worker(TimerManager& manager, unsigned long index, const std::atomic<bool>& stop) {
    std::mt19937 random(static_cast<unsigned>(index) + 1u);
    std::vector<std::uint32_t> current(kIdsPerThread, 0);  // the token last added under each id; 0: none
    // The token under `slot` is gone: it may still finish `extra` call that had started.
    const auto retire = [&](unsigned long slot, std::uint32_t extra) {
        Token& token = gTokens[std::exchange(current[slot], 0)];
        std::uint32_t open = kOpen;
        token.allowed.compare_exchange_strong(open, token.calls.load() + extra);
    };
    while (!stop.load(std::memory_order_relaxed)) {
        const unsigned long slot = random() % kIdsPerThread, id = index * kIdsPerThread + slot + 1;
        // Busy but not saturating under the sanitizers: Stop must still end the thread in its second.
        const long due = static_cast<long>(random() % 20), period = 10 + static_cast<long>(random() % 90);
        const auto operation = random() % 3;
        if (operation == 0) {
            const std::uint32_t token = gNextToken.fetch_add(1);
            if (token >= kTokens) return;
            const unsigned long count = random() % 10 == 0 ? 0 : 1 + random() % 3;  // 0: unlimited
            // Accepted: the id was not running, so an earlier token under it was
            // a replaced addition or had run out; neither calls again.
            if (manager.AddTimer(id, Callback, reinterpret_cast<void*>(std::uintptr_t{token}), due, count, period)) {
                retire(slot, 0);
                current[slot] = token;
            }
        } else if (operation == 1) {
            manager.ResetTimer(id, due, random() % 4, period, nullptr, nullptr);
        } else if (manager.RemoveTimer(id) == 1) {
            retire(slot, 1);
        }
    }
}

}  // namespace

TEST(TimerManagerStress, FourThreadsChurnTenThousandIdsWhileCallbacksFire) {
    RVSYS_SKIP_ON_WINE("the one wineserver serves every waitable timer, and this load saturates it");
    TimerManager manager;
    ASSERT_EQ(manager.Start(), 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (unsigned long t = 0; t < 4; ++t) workers.emplace_back(Worker, std::ref(manager), t, std::cref(stop));
    Thread::Sleep(3000);
    stop = true;
    for (auto& worker : workers) worker.join();
    ASSERT_EQ(manager.Stop(), 1);
    const std::uint64_t afterStop = gTotalCalls.load();
    Thread::Sleep(20);
    EXPECT_EQ(gTotalCalls.load(), afterStop);  // nothing after Stop returned
    EXPECT_GT(afterStop, 1000u);               // the timers really fired meanwhile
    for (std::uint32_t t = 1; t < std::min(gNextToken.load(), kTokens); ++t) {
        ASSERT_LE(gTokens[t].calls.load(), gTokens[t].allowed.load()) << "token " << t << " called after it was gone";
    }
}
