// The Thread functions over raw handles, and GetSystemUptime.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // constants: macros on Windows
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;
constexpr unsigned long kTimeout = 258;
constexpr unsigned long kStillActive = 259;

std::atomic<bool> gRelease{false};
std::atomic<int> gRuns{0};

unsigned int RVSYS_WINAPI NarrowRoutine(void*) {
    gRuns.fetch_add(1);
    return 11;
}
unsigned long RVSYS_WINAPI WideRoutine(void*) {
    gRuns.fetch_add(1);
    return 12;
}
std::atomic<bool> gWaiting{false};
unsigned int RVSYS_WINAPI WaitForRelease(void*) {
    gWaiting = true;
    while (!gRelease.load()) Thread::Sleep(1);
    return 13;
}

}  // namespace

TEST(ThreadFunctions, WaitForThreadReportsAndClosesOnlyOnceTheThreadHasEnded) {
    gRelease = false;
    void* thread = Thread::BeginThread(WaitForRelease, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), kTimeout);
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, nullptr), kTimeout);  // handle still open
    gRelease = true;
    EXPECT_EQ(Thread::WaitForThread(thread, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 13ul);
    // The handle is closed now.
    pf::SetLastError(0);
    EXPECT_EQ(Thread::WaitForThread(thread, 0, &code), 0xFFFFFFFFul);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, 13ul);  // left as it was
}

TEST(ThreadFunctions, BothRoutineTypesStartSuspendedAndRunAfterResume) {
    gRuns = 0;
    void* narrow = Thread::BeginThread(NarrowRoutine, nullptr, 4);
    void* wide = Thread::BeginThread(WideRoutine, nullptr, 4);
    ASSERT_NE(narrow, nullptr);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(Thread::WaitForThread(narrow, 20, nullptr), kTimeout);
    EXPECT_EQ(gRuns.load(), 0);
    EXPECT_EQ(Thread::ResumeThread(narrow), 1ul);
    EXPECT_EQ(Thread::ResumeThread(wide), 1ul);
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(narrow, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 11ul);
    EXPECT_EQ(Thread::WaitForThread(wide, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 12ul);
    EXPECT_EQ(gRuns.load(), 2);
}

TEST(ThreadFunctions, TerminateClosesTheHandleOnlyWhenItSucceeds) {
    gRelease = false;
    gWaiting = false;
    void* thread = Thread::BeginThread(WaitForRelease, nullptr, 0);
    // Not while it may still be starting up: a thread killed inside the
    // runtime's start-up code can leave its locks held for good (Windows too).
    while (!gWaiting.load()) Thread::Sleep(1);
    void* watcher = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), thread, pf::GetCurrentProcess(), &watcher, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS),
              TRUE);
    EXPECT_TRUE(Thread::TerminateThread(thread, 77));
    unsigned long code = 0;
    EXPECT_EQ(Thread::WaitForThread(watcher, kInfinite, &code), 0ul);
    EXPECT_EQ(code, 77ul);
    EXPECT_FALSE(Thread::TerminateThread(thread, 1));  // closed by the first call
    EXPECT_FALSE(Thread::TerminateThread(nullptr, 1));
}

TEST(ThreadFunctions, CurrentThreadHandlesAndIds) {
    EXPECT_EQ(Thread::GetCurrentThreadID(true), Thread::GetCurrentThreadID(false));
    EXPECT_NE(Thread::GetCurrentThreadID(false), 0ul);
    void* pseudo = Thread::GetCurrentThread(false);
    void* first = Thread::GetCurrentThread(true);
    void* second = Thread::GetCurrentThread(true);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first, pseudo);
    void* pseudoElsewhere = nullptr;
    unsigned long idElsewhere = 0;
    unsigned long seenThroughHandle = 0;
    std::thread other([&] {
        pseudoElsewhere = Thread::GetCurrentThread(false);
        idElsewhere = Thread::GetCurrentThreadID(false);
        seenThroughHandle = pf::GetThreadId(first);
    });
    other.join();
    EXPECT_EQ(pseudoElsewhere, pseudo);
    EXPECT_NE(idElsewhere, Thread::GetCurrentThreadID(false));
    EXPECT_EQ(seenThroughHandle, Thread::GetCurrentThreadID(false));
    pf::CloseHandle(first);
    pf::CloseHandle(second);
}

TEST(ThreadFunctions, PriorityAndSuspensionPassThrough) {
    void* self = Thread::GetCurrentThread(false);
    EXPECT_TRUE(Thread::SetThreadPriority(self, 1));
    EXPECT_EQ(Thread::GetThreadPriority(self), 1);
    EXPECT_FALSE(Thread::SetThreadPriority(self, 3));
    EXPECT_EQ(Thread::GetThreadPriority(self), 1);
    EXPECT_TRUE(Thread::SetThreadPriority(self, 0));
    EXPECT_EQ(Thread::GetThreadPriority(nullptr), 0x7FFFFFFF);
    EXPECT_EQ(Thread::SuspendThread(nullptr), 0xFFFFFFFFul);
    EXPECT_EQ(Thread::ResumeThread(nullptr), 0xFFFFFFFFul);
}

TEST(ThreadFunctions, SleepNeverReturnsEarly) {
    const auto start = Clock::now();
    Thread::Sleep(25);
    EXPECT_GE(ElapsedMs(start), 25);
}

namespace {

std::atomic<std::uint64_t> gFakeTicks{0};
std::atomic<std::uint64_t> gTickStep{0};  // per call, in 1/8 ms
pf::DWORD FakeTick() {
    return static_cast<pf::DWORD>(gFakeTicks.fetch_add(gTickStep.load()) / 8);
}
void RealTime(pf::FILETIME* time) { time->dwLowDateTime = time->dwHighDateTime = 0; }
const pf::ClockSource kFake{FakeTick, RealTime};

void SetFakeTick(std::uint64_t milliseconds, std::uint64_t stepEighths = 0) {
    gFakeTicks = milliseconds * 8;
    gTickStep = stepEighths;
}

}  // namespace

TEST(GetSystemUptime, CountsWrapsOfTheTickCountEvenUnderConcurrentCalls) {
    const pf::ClockSource* previous = pf::SetClockSource(&kFake);
    // The first call counts from the tick it finds.
    SetFakeTick(0xFFFFFFF0ull);
    EXPECT_EQ(GetSystemUptime(), 0xFFFFFFF0ull);
    EXPECT_EQ(GetSystemUptime(), 0xFFFFFFF0ull);  // same millisecond, same value
    SetFakeTick(16);
    EXPECT_EQ(GetSystemUptime(), 0x100000010ull);
    SetFakeTick(0xFFFFFFFFull);
    EXPECT_EQ(GetSystemUptime(), 0x1FFFFFFFFull);

    // Four threads race through the next wrap: each sees its results rise, and
    // exactly one wrap is counted.
    SetFakeTick(0xFFFFFFFFull, 1);
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
    EXPECT_GE(highest.load(), 0x200000000ull);
    EXPECT_LT(highest.load(), 0x300000000ull);
    pf::SetClockSource(previous);
}
