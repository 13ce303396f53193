// Conformance of threads: exit codes, suspension, priorities, pseudo-handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

std::atomic<int> gRuns{0};
HANDLE gGate = nullptr;

DWORD RVSYS_WINAPI ReturnSeven(LPVOID) { return 7; }
DWORD RVSYS_WINAPI WaitForGate(LPVOID) {
    gRuns.fetch_add(1);
    pf::WaitForSingleObject(gGate, INFINITE);
    return 3;
}
DWORD RVSYS_WINAPI ExitWithFive(LPVOID) {
    pf::ExitThread(5);
}
DWORD RVSYS_WINAPI CountRuns(LPVOID) {
    gRuns.fetch_add(1);
    return 0;
}
DWORD RVSYS_WINAPI SleepForever(LPVOID) {
    pf::Sleep(INFINITE);
    return 1;
}

struct Gate {
    Gate() { gGate = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Gate() {
        pf::SetEvent(gGate);
        pf::CloseHandle(gGate);
    }
    void Open() { pf::SetEvent(gGate); }
};

}  // namespace

TEST(Thread, ExitCodeIs259WhileRunningThenTheResult) {
    Gate gate;
    HANDLE thread = pf::CreateThread(nullptr, 0, WaitForGate, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_EQ(pf::GetExitCodeThread(thread, &code), TRUE);
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    gate.Open();
    EXPECT_EQ(pf::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_EQ(pf::GetExitCodeThread(thread, &code), TRUE);
    EXPECT_EQ(code, 3u);
    pf::CloseHandle(thread);
}

TEST(Thread, ReturnValueAndExitThreadBecomeTheExitCode) {
    DWORD id = 0;
    HANDLE returns = pf::CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, &id);
    HANDLE exits = pf::CreateThread(nullptr, 0, ExitWithFive, nullptr, 0, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(pf::GetThreadId(returns), id);
    DWORD code = 0;
    ASSERT_EQ(pf::WaitForSingleObject(returns, INFINITE), WAIT_OBJECT_0);
    pf::GetExitCodeThread(returns, &code);
    EXPECT_EQ(code, 7u);
    ASSERT_EQ(pf::WaitForSingleObject(exits, INFINITE), WAIT_OBJECT_0);
    pf::GetExitCodeThread(exits, &code);
    EXPECT_EQ(code, 5u);
    pf::CloseHandle(returns);
    pf::CloseHandle(exits);
}

TEST(Thread, CreateSuspendedRunsOnlyAfterResume) {
    gRuns = 0;
    HANDLE thread = pf::CreateThread(nullptr, 0, CountRuns, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
    EXPECT_EQ(gRuns.load(), 0);
    EXPECT_EQ(pf::ResumeThread(thread), 1u);
    EXPECT_EQ(pf::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(gRuns.load(), 1);
    pf::CloseHandle(thread);
}

TEST(Thread, TerminateEndsABlockedThreadWithTheGivenCode) {
    HANDLE thread = pf::CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    pf::Sleep(10);
    EXPECT_EQ(pf::TerminateThread(thread, 42), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 42u);
    pf::CloseHandle(thread);
}

TEST(Thread, ThreadTerminatedBeforeItStartedNeverRunsItsRoutine) {
    gRuns = 0;
    HANDLE thread = pf::CreateThread(nullptr, 0, CountRuns, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(pf::TerminateThread(thread, 9), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(gRuns.load(), 0);
    pf::CloseHandle(thread);
}

TEST(Thread, SuspendCountsAsOnWindows) {
    Gate gate;
    HANDLE thread = pf::CreateThread(nullptr, 0, WaitForGate, nullptr, 0, nullptr);
    EXPECT_EQ(pf::SuspendThread(thread), 0u);
    EXPECT_EQ(pf::SuspendThread(thread), 1u);
    EXPECT_EQ(pf::ResumeThread(thread), 2u);
    EXPECT_EQ(pf::ResumeThread(thread), 1u);
    EXPECT_EQ(pf::ResumeThread(thread), 0u);  // not suspended: nothing to do

    for (DWORD i = 0; i < MAXIMUM_SUSPEND_COUNT; ++i) ASSERT_EQ(pf::SuspendThread(thread), i);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SuspendThread(thread), 0xFFFFFFFFu);
    EXPECT_EQ(pf::GetLastError(), ERROR_SIGNAL_REFUSED);
    for (DWORD i = MAXIMUM_SUSPEND_COUNT; i > 0; --i) ASSERT_EQ(pf::ResumeThread(thread), i);

    gate.Open();
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::CloseHandle(thread);

    pf::SetLastError(0);
    EXPECT_EQ(pf::SuspendThread(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Thread, PriorityLevelsAreValidatedAndKept) {
    HANDLE self = pf::GetCurrentThread();
    const int original = pf::GetThreadPriority(self);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetThreadPriority(self, 5), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);
    for (int level : {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_IDLE,
                      THREAD_PRIORITY_NORMAL}) {
        EXPECT_EQ(pf::SetThreadPriority(self, level), TRUE);
        EXPECT_EQ(pf::GetThreadPriority(self), level);
    }
    pf::SetThreadPriority(self, original);
    pf::SetLastError(0);
    EXPECT_EQ(pf::GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Thread, PseudoHandleDuplicatesIntoARealHandleForOtherThreads) {
    HANDLE real = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &real, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    EXPECT_NE(real, pf::GetCurrentThread());
    EXPECT_EQ(pf::GetThreadId(real), pf::GetCurrentThreadId());
    DWORD seenId = 0;
    DWORD waited = 0;
    std::thread other([&] {
        seenId = pf::GetThreadId(real);
        waited = pf::WaitForSingleObject(real, 10);  // this thread is alive
    });
    other.join();
    EXPECT_EQ(seenId, pf::GetCurrentThreadId());
    EXPECT_EQ(waited, WAIT_TIMEOUT);
    EXPECT_EQ(pf::CloseHandle(real), TRUE);
    EXPECT_EQ(pf::CloseHandle(pf::GetCurrentThread()), TRUE);  // no effect
}
