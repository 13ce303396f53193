// Conformance of threads (exit codes, suspension, priorities, pseudo-handles)
// and of critical sections.
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
DWORD RVSYS_WINAPI ReturnSeven(LPVOID) { return 7; }
DWORD RVSYS_WINAPI ExitWithFive(LPVOID) { pf::ExitThread(5); }

BOOL TryFromAnotherThread(CRITICAL_SECTION* cs) {
    BOOL taken = FALSE;
    std::thread([&] {
        taken = pf::TryEnterCriticalSection(cs);
        if (taken) pf::LeaveCriticalSection(cs);
    }).join();
    return taken;
}

}  // namespace

// The exit code is 259 while the thread runs, then its routine's result,
// ExitThread's code or TerminateThread's; the ended thread stays signalled.
TEST(Threads, ExitCodes) {
    gGate = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> started{false};
    DWORD id = 0;
    HANDLE gated = pf::CreateThread(nullptr, 0, Gated, nullptr, 0, nullptr);
    HANDLE terminated = pf::CreateThread(nullptr, 0, Gated, &started, 0, nullptr);
    HANDLE returns = pf::CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, &id);
    HANDLE exits = pf::CreateThread(nullptr, 0, ExitWithFive, nullptr, 0, nullptr);
    EXPECT_EQ(pf::GetThreadId(returns), id);
    EXPECT_EQ(ExitCodeOf(gated), STILL_ACTIVE);
    EXPECT_EQ(pf::WaitForSingleObject(gated, 0), WAIT_TIMEOUT);
    while (!started.load()) pf::Sleep(1);  // terminated only once in its routine
    EXPECT_EQ(pf::TerminateThread(terminated, 42), TRUE);
    pf::SetEvent(gGate);
    const std::pair<HANDLE, DWORD> expected[] = {{gated, 3}, {terminated, 42}, {returns, 7}, {exits, 5}};
    for (const auto& [thread, code] : expected) {
        EXPECT_EQ(pf::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(pf::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(thread), code);
        pf::CloseHandle(thread);
    }
    pf::CloseHandle(gGate);
}

// A thread created suspended runs only after ResumeThread, and never if it is
// terminated before; suspend and resume return the previous count, which
// stops at 127.
TEST(Threads, SuspendAndResume) {
    gGate = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> ran{false};
    HANDLE never = pf::CreateThread(nullptr, 0, Gated, &ran, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(pf::TerminateThread(never, 9), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(never, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(never), 9u);
    HANDLE thread = pf::CreateThread(nullptr, 0, Gated, &ran, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());
    for (DWORD i = 1; i < MAXIMUM_SUSPEND_COUNT; ++i) ASSERT_EQ(pf::SuspendThread(thread), i);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SuspendThread(thread), 0xFFFFFFFFu);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SIGNAL_REFUSED});
    for (DWORD i = MAXIMUM_SUSPEND_COUNT; i > 1; --i) ASSERT_EQ(pf::ResumeThread(thread), i);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(pf::ResumeThread(thread), 1u);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return ran.load(); }));
    EXPECT_EQ(pf::SuspendThread(thread), 0u);
    EXPECT_EQ(pf::ResumeThread(thread), 1u);
    EXPECT_EQ(pf::ResumeThread(thread), 0u);  // not suspended: nothing to do
    pf::SetEvent(gGate);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    for (HANDLE handle : {never, thread, gGate}) pf::CloseHandle(handle);
    EXPECT_EQ(pf::SuspendThread(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

// Priority levels are validated (87) and kept. The current thread's
// pseudo-handle duplicates into a real handle that other threads can use;
// closing the pseudo-handle does nothing.
TEST(Threads, PrioritiesAndPseudoHandles) {
    HANDLE self = pf::GetCurrentThread();
    const int original = pf::GetThreadPriority(self);
    pf::SetLastError(0);
    EXPECT_EQ(pf::SetThreadPriority(self, 5), FALSE);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    for (int level : {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_IDLE,
                      THREAD_PRIORITY_NORMAL}) {
        EXPECT_EQ(pf::SetThreadPriority(self, level), TRUE);
        EXPECT_EQ(pf::GetThreadPriority(self), level);
    }
    pf::SetThreadPriority(self, original);
    EXPECT_EQ(pf::GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_HANDLE});

    HANDLE real = DuplicateOwnHandle();
    EXPECT_NE(real, self);
    DWORD seenId = 0;
    DWORD waited = 0;
    std::thread([&] {
        seenId = pf::GetThreadId(real);
        waited = pf::WaitForSingleObject(real, 10);  // the owner is alive
    }).join();
    EXPECT_EQ(seenId, pf::GetCurrentThreadId());
    EXPECT_EQ(waited, WAIT_TIMEOUT);
    EXPECT_EQ(pf::CloseHandle(real), TRUE);
    EXPECT_EQ(pf::CloseHandle(self), TRUE);
}

// The holder re-enters through Enter and TryEnter and must leave as often;
// under contention (blocking Enter, spinning TryEnter) it excludes.
TEST(CriticalSections, ReentryTryEnterAndExclusion) {
    CRITICAL_SECTION cs;
    pf::InitializeCriticalSection(&cs);
    pf::EnterCriticalSection(&cs);
    pf::EnterCriticalSection(&cs);
    EXPECT_EQ(pf::TryEnterCriticalSection(&cs), TRUE);
    EXPECT_EQ(TryFromAnotherThread(&cs), FALSE);
    pf::LeaveCriticalSection(&cs);
    pf::LeaveCriticalSection(&cs);
    EXPECT_EQ(TryFromAnotherThread(&cs), FALSE);
    pf::LeaveCriticalSection(&cs);
    EXPECT_EQ(TryFromAnotherThread(&cs), TRUE);

    long counter = 0;  // guarded by cs only
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto work = [&](bool useTry) {
        for (int i = 0; i < 20000; ++i) {
            if (!useTry) pf::EnterCriticalSection(&cs);
            while (useTry && pf::TryEnterCriticalSection(&cs) == FALSE) std::this_thread::yield();
            if (inside.fetch_add(1) != 0) overlap = true;
            ++counter;
            inside.fetch_sub(1);
            pf::LeaveCriticalSection(&cs);
        }
    };
    std::thread a(work, false), b(work, true), c(work, false);
    a.join();
    b.join();
    c.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, 60000);
    pf::DeleteCriticalSection(&cs);
}
