// The Thread functions over raw handles (their own handle rules; the system
// calls underneath are the platform tests'), and GetSystemUptime.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // constants: macros on Windows

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

std::atomic<bool> gRelease{false};
std::atomic<bool> gWaiting{false};
std::atomic<int> gRuns{0};

unsigned int RVSYS_WINAPI NarrowRoutine(void*) { return gRuns.fetch_add(1), 11; }
unsigned long RVSYS_WINAPI WideRoutine(void*) { return gRuns.fetch_add(1), 12; }
unsigned int RVSYS_WINAPI WaitForRelease(void*) {
    gWaiting = true;
    while (!gRelease.load()) Thread::Sleep(1);
    return 13;
}

void* StartWaiting() {
    gRelease = gWaiting = false;
    void* thread = Thread::BeginThread(WaitForRelease, nullptr, 0);
    // Never terminated while it may still be starting up: killed inside the
    // runtime's start-up code it can leave its locks held (Windows too).
    while (thread != nullptr && !gWaiting.load()) Thread::Sleep(1);
    return thread;
}

}  // namespace

// WaitForThread reports 259 and keeps the handle while the thread runs,
// closes it once the thread has ended; TerminateThread closes it only when it
// succeeds.
TEST(ThreadFunctions, WaitAndTerminateCloseTheHandleOnlyOnSuccess) {
    void* thread = StartWaiting();
    ASSERT_NE(thread, nullptr);
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), 258ul);
    EXPECT_EQ(code, 259ul);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, nullptr), 258ul);  // still open
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 13ul);
    pf::SetLastError(0);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), 0xFFFFFFFFul);  // closed
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, 13ul);

    thread = StartWaiting();
    void* watcher = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), thread, pf::GetCurrentProcess(), &watcher, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS),
              TRUE);
    EXPECT_TRUE(Thread::TerminateThread(thread, 77));
    EXPECT_EQ(Thread::WaitForThread(watcher, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 77ul);
    EXPECT_FALSE(Thread::TerminateThread(thread, 1));  // closed by the first call
}

// Both routine types start suspended (flag 4) and run once resumed.
TEST(ThreadFunctions, BothRoutineTypesStartSuspendedAndRunAfterResume) {
    gRuns = 0;
    void* threads[] = {Thread::BeginThread(NarrowRoutine, nullptr, 4), Thread::BeginThread(WideRoutine, nullptr, 4)};
    EXPECT_EQ(Thread::WaitForThread(threads[0], 20, nullptr), 258ul);
    EXPECT_EQ(gRuns.load(), 0);
    for (unsigned long i = 0; i < 2; ++i) {
        ASSERT_NE(threads[i], nullptr);
        EXPECT_EQ(Thread::ResumeThread(threads[i]), 1ul);
        unsigned long code = 0;
        EXPECT_EQ(Thread::WaitForThread(threads[i], kInfinite, &code), 0ul);
        EXPECT_EQ(code, 11ul + i);
    }
    EXPECT_EQ(gRuns.load(), 2);
}

// The pseudo-handle is one value on every thread, a duplicate a new real
// handle; ids differ between threads. Priority and suspension pass through,
// and Sleep never returns early.
TEST(ThreadFunctions, CurrentThreadPriorityAndSleep) {
    const unsigned long id = Thread::GetCurrentThreadID(false);
    EXPECT_EQ(Thread::GetCurrentThreadID(true), id);
    void* pseudo = Thread::GetCurrentThread(false);
    void* real = Thread::GetCurrentThread(true);
    EXPECT_TRUE(real != nullptr && real != pseudo);
    bool asSeenElsewhere = false;
    std::thread([&] {
        asSeenElsewhere = Thread::GetCurrentThread(false) == pseudo && Thread::GetCurrentThreadID(false) != id &&
                          pf::GetThreadId(real) == id;
    }).join();
    EXPECT_TRUE(asSeenElsewhere);
    pf::CloseHandle(real);

    EXPECT_TRUE(Thread::SetThreadPriority(pseudo, 1) && !Thread::SetThreadPriority(pseudo, 3));
    EXPECT_EQ(Thread::GetThreadPriority(pseudo), 1);
    EXPECT_TRUE(Thread::SetThreadPriority(pseudo, 0));
    EXPECT_EQ(Thread::GetThreadPriority(nullptr), 0x7FFFFFFF);
    EXPECT_EQ(Thread::SuspendThread(nullptr) & Thread::ResumeThread(nullptr), 0xFFFFFFFFul);
    const auto start = rvsys::test::Clock::now();
    Thread::Sleep(25);
    EXPECT_GE(rvsys::test::ElapsedMs(start), 25);
}

namespace {

std::atomic<std::uint64_t> gFakeTicks{0};  // in 1/8 ms
std::atomic<std::uint64_t> gTickStep{0};   // per call, in 1/8 ms
pf::DWORD FakeTick() { return static_cast<pf::DWORD>(gFakeTicks.fetch_add(gTickStep.load()) / 8); }
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

std::uint64_t UptimeAt(std::uint64_t milliseconds, std::uint64_t stepEighths = 0) {
    gFakeTicks = milliseconds * 8;
    gTickStep = stepEighths;
    return GetSystemUptime();
}

}  // namespace

// Each wrap of the 32-bit tick count (through the clock seam) adds 2^32, also
// with four threads racing through a wrap: their results never decrease and
// exactly one wrap is counted. Relative to the wraps counted before the test.
TEST(GetSystemUptime, CountsWrapsOfTheTickCountEvenUnderConcurrentCalls) {
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    const std::uint64_t wraps = UptimeAt(0xFFFFFFF0ull) >> 32 << 32;
    EXPECT_EQ(UptimeAt(0xFFFFFFF0ull), wraps + 0xFFFFFFF0ull);
    EXPECT_EQ(UptimeAt(16), wraps + 0x100000010ull);
    EXPECT_EQ(UptimeAt(0xFFFFFFFFull), wraps + 0x1FFFFFFFFull);
    UptimeAt(0xFFFFFFFFull, 1);
    std::atomic<bool> decreased{false};
    std::atomic<std::uint64_t> highest{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            std::uint64_t last = 0;
            for (int i = 0; i < 20000; ++i) {
                const std::uint64_t now = GetSystemUptime();
                if (now < last) decreased = true;
                last = now;
            }
            std::uint64_t seen = highest.load();
            while (last > seen && !highest.compare_exchange_weak(seen, last)) {
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_FALSE(decreased.load());
    EXPECT_GE(highest.load(), wraps + 0x200000000ull);
    EXPECT_LT(highest.load(), wraps + 0x300000000ull);
    pf::SetClockSource(previous);
}
