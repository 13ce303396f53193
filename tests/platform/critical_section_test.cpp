// Conformance of critical sections.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

struct Section {
    Section() { pf::InitializeCriticalSection(&cs); }
    ~Section() { pf::DeleteCriticalSection(&cs); }
    CRITICAL_SECTION cs;
};

BOOL TryFromAnotherThread(CRITICAL_SECTION* cs) {
    BOOL taken = FALSE;
    std::thread other([&] {
        taken = pf::TryEnterCriticalSection(cs);
        if (taken) pf::LeaveCriticalSection(cs);
    });
    other.join();
    return taken;
}

}  // namespace

TEST(CriticalSection, HolderReentersThroughEnterAndTryEnterAndNeedsEveryLeave) {
    Section s;
    pf::EnterCriticalSection(&s.cs);
    pf::EnterCriticalSection(&s.cs);
    EXPECT_EQ(pf::TryEnterCriticalSection(&s.cs), TRUE);
    EXPECT_EQ(TryFromAnotherThread(&s.cs), FALSE);
    pf::LeaveCriticalSection(&s.cs);
    pf::LeaveCriticalSection(&s.cs);
    EXPECT_EQ(TryFromAnotherThread(&s.cs), FALSE);
    pf::LeaveCriticalSection(&s.cs);
    EXPECT_EQ(TryFromAnotherThread(&s.cs), TRUE);
}

TEST(CriticalSection, BlockedEnterProceedsWhenTheHolderLeaves) {
    Section s;
    pf::EnterCriticalSection(&s.cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        pf::EnterCriticalSection(&s.cs);
        entered = true;
        pf::LeaveCriticalSection(&s.cs);
    });
    pf::Sleep(20);
    EXPECT_FALSE(entered.load());
    pf::LeaveCriticalSection(&s.cs);
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(CriticalSection, ExcludesUnderContention) {
    Section s;
    long counter = 0;  // guarded by s.cs only
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto work = [&](bool useTry) {
        for (int i = 0; i < 20000; ++i) {
            if (useTry) {
                while (pf::TryEnterCriticalSection(&s.cs) == FALSE) std::this_thread::yield();
            } else {
                pf::EnterCriticalSection(&s.cs);
            }
            if (inside.fetch_add(1) != 0) overlap = true;
            ++counter;
            inside.fetch_sub(1);
            pf::LeaveCriticalSection(&s.cs);
        }
    };
    std::thread a(work, false), b(work, true), c(work, false);
    a.join();
    b.join();
    c.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, 60000);
}
