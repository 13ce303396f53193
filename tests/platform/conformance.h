// What the platform tests share: the layer's names, and small helpers.
#ifndef RVSYS_TESTS_PLATFORM_CONFORMANCE_H
#define RVSYS_TESTS_PLATFORM_CONFORMANCE_H

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::CountOf;
using rvsys::test::ElapsedMs;
using rvsys::test::UniqueName;

inline HANDLE NewEvent(BOOL manual = FALSE) { return pf::CreateEventA(nullptr, manual, FALSE, nullptr); }

// Three threads wait on `object`; once all of them sleep in that wait,
// `release(n)` gives it n signals (or units): exactly `count` of the threads
// wake, and the rest with the remaining signals.
template <class Release>
void ExpectEachSignalWakesOneOfThree(HANDLE object, int count, Release release) {
    std::atomic<long> tids[3] = {};
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (auto& tid : tids) {
        threads.emplace_back([&] {
            HANDLE self = nullptr;  // a real handle: the layer knows this thread before it announces itself
            pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                                FALSE, DUPLICATE_SAME_ACCESS);
            pf::CloseHandle(self);
            tid = rvsys::test::KernelThreadId();
            if (pf::WaitForSingleObject(object, INFINITE) == WAIT_OBJECT_0) woken.fetch_add(1);
        });
    }
    for (auto& tid : tids) {
        while (tid.load() == 0) std::this_thread::yield();
        EXPECT_TRUE(rvsys::test::WaitUntilBlocked(tid));
    }
    release(count);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return woken.load() == count; }));
    pf::Sleep(5);
    EXPECT_EQ(woken.load(), count);
    release(3 - count);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(woken.load(), 3);
}

// Sets a waitable timer due at `due` (negative: relative, in ms; else an
// absolute FILETIME), with `period` and `routine`, whose argument is the timer.
inline BOOL Arm(HANDLE timer, std::int64_t due, LONG period = 0, PTIMERAPCROUTINE routine = nullptr) {
    LARGE_INTEGER value;
    value.QuadPart = due < 0 ? due * 10000 : due;
    return pf::SetWaitableTimer(timer, &value, period, routine, timer, FALSE);
}

#endif  // RVSYS_TESTS_PLATFORM_CONFORMANCE_H
