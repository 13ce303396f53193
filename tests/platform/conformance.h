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

// A real handle of the calling thread, usable from other threads.
inline HANDLE DuplicateOwnHandle() {
    HANDLE self = nullptr;
    EXPECT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    return self;
}

// `count` threads that each wait once on `object`; constructed once all of
// them sleep in that wait. `last` is the last wait's result, `woken` the
// number of waits that took a signal.
struct BlockedWaiters {
    BlockedWaiters(HANDLE object, int count, DWORD timeout = INFINITE) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, object, timeout, i] {
                pf::CloseHandle(DuplicateOwnHandle());  // the layer knows this thread before it announces itself
                tids[i] = rvsys::test::KernelThreadId();
                last = pf::WaitForSingleObject(object, timeout);
                if (last == WAIT_OBJECT_0) woken.fetch_add(1);
            });
        }
        for (int i = 0; i < count; ++i) {
            while (tids[i].load() == 0) std::this_thread::yield();
            EXPECT_TRUE(rvsys::test::WaitUntilBlocked(tids[i]));
        }
    }
    void Join() {
        for (auto& thread : threads) thread.join();
        threads.clear();
    }
    ~BlockedWaiters() { Join(); }
    std::atomic<long> tids[4] = {};
    std::atomic<int> woken{0};
    std::atomic<DWORD> last{0};
    std::vector<std::thread> threads;
};

// Releases `count` signals to `object` through `release`, which three blocked
// waiters share: exactly `count` of them wake, and a signal more wakes the last.
template <class Release>
void ExpectEachSignalWakesOneOfThree(HANDLE object, int count, Release release) {
    BlockedWaiters waiters(object, 3);
    release(count);
    ASSERT_TRUE(rvsys::test::Eventually([&] { return waiters.woken.load() == count; }));
    pf::Sleep(5);
    ASSERT_EQ(waiters.woken.load(), count);
    release(3 - count);
    waiters.Join();
    ASSERT_EQ(waiters.woken.load(), 3);
}

inline DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_EQ(pf::GetExitCodeThread(thread, &code), TRUE);
    return code;
}

// Sets a waitable timer due at `due` (negative: relative, in ms; else an
// absolute FILETIME), with `period` and `routine`, whose argument is the timer.
inline BOOL Arm(HANDLE timer, std::int64_t due, LONG period = 0, PTIMERAPCROUTINE routine = nullptr) {
    LARGE_INTEGER value;
    value.QuadPart = due < 0 ? due * 10000 : due;
    return pf::SetWaitableTimer(timer, &value, period, routine, timer, FALSE);
}

#endif  // RVSYS_TESTS_PLATFORM_CONFORMANCE_H
