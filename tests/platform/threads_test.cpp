// Conformance of threads (exit codes, suspension, priorities) and of
// critical sections.
#include <utility>

#include "conformance.h"

namespace {

HANDLE gGate = nullptr;  // a manual event that gated threads wait for

// Marks `started` (an std::atomic<bool>, may be null), then waits for the gate.
DWORD RVSYS_WINAPI Gated(LPVOID started) {
    if (started != nullptr) static_cast<std::atomic<bool>*>(started)->store(true);
    pf::WaitForSingleObject(gGate, INFINITE);
    return 3;
}
DWORD RVSYS_WINAPI ExitWithFive(LPVOID) { pf::ExitThread(5); }

}  // namespace

// The exit code is 259 while the thread runs, then ExitThread's code or
// TerminateThread's (given only once the thread runs its routine); the ended
// thread stays signalled.
TEST(Threads, ExitCodeIsStillActiveThenTheGivenOne) {
    gGate = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> started{false};
    HANDLE terminated = pf::CreateThread(nullptr, 0, Gated, &started, 0, nullptr);
    HANDLE exits = pf::CreateThread(nullptr, 0, ExitWithFive, nullptr, 0, nullptr);
    EXPECT_EQ(ExitCodeOf(terminated), STILL_ACTIVE);
    while (!started.load()) pf::Sleep(1);  // terminated only once in its routine
    EXPECT_EQ(pf::TerminateThread(terminated, 42), TRUE);
    const std::pair<HANDLE, DWORD> expected[] = {{terminated, 42}, {exits, 5}};
    for (const auto& [thread, code] : expected) {
        EXPECT_EQ(pf::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(pf::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(thread), code);
        pf::CloseHandle(thread);
    }
    pf::CloseHandle(gGate);
}

// Suspend and resume return the previous count, which stops at 127; resuming
// a thread that is not suspended does nothing.
TEST(Threads, TheSuspendCountStopsAt127) {
    gGate = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = pf::CreateThread(nullptr, 0, Gated, nullptr, CREATE_SUSPENDED, nullptr);
    for (DWORD i = 1; i < MAXIMUM_SUSPEND_COUNT; ++i) ASSERT_EQ(pf::SuspendThread(thread), i);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SuspendThread(thread), 0xFFFFFFFFu);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SIGNAL_REFUSED});
    for (DWORD i = MAXIMUM_SUSPEND_COUNT; i > 0; --i) ASSERT_EQ(pf::ResumeThread(thread), i);
    EXPECT_EQ(pf::ResumeThread(thread), 0u);
    pf::SetEvent(gGate);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::CloseHandle(thread);
    pf::CloseHandle(gGate);
}

// Priority levels are validated (87) and kept.
TEST(Threads, OnlyDocumentedPriorityLevelsAreAccepted) {
    HANDLE self = pf::GetCurrentThread();
    const int original = pf::GetThreadPriority(self);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetThreadPriority(self, 5), FALSE);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    for (int level :
         {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_IDLE, THREAD_PRIORITY_NORMAL}) {
        EXPECT_EQ(pf::SetThreadPriority(self, level), TRUE);
        EXPECT_EQ(pf::GetThreadPriority(self), level);
    }
    pf::SetThreadPriority(self, original);
}

// The holder re-enters through Enter and TryEnter and must leave as often
// before another thread gets in.
TEST(CriticalSections, TheHolderMustLeaveAsOftenAsItEntered) {
    CRITICAL_SECTION cs;
    pf::InitializeCriticalSection(&cs);
    auto tryFromAnotherThread = [&] {
        BOOL taken = FALSE;
        std::thread([&] {
            taken = pf::TryEnterCriticalSection(&cs);
            if (taken) pf::LeaveCriticalSection(&cs);
        }).join();
        return taken;
    };
    pf::EnterCriticalSection(&cs);
    pf::EnterCriticalSection(&cs);
    EXPECT_EQ(pf::TryEnterCriticalSection(&cs), TRUE);
    EXPECT_EQ(tryFromAnotherThread(), FALSE);
    pf::LeaveCriticalSection(&cs);
    pf::LeaveCriticalSection(&cs);
    EXPECT_EQ(tryFromAnotherThread(), FALSE);
    pf::LeaveCriticalSection(&cs);
    EXPECT_EQ(tryFromAnotherThread(), TRUE);
    pf::DeleteCriticalSection(&cs);
}
