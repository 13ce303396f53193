// Conformance of named semaphores: results and error codes as on Windows.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;
using rvsys::test::Slack;

namespace {

std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "rvsys-sem-" + std::to_string(rvsys::test::ProcessId()) + "-" + tag + "-" + std::to_string(counter++);
}

// The count, read by the probe the library uses: release one, take it back.
LONG CountOf(HANDLE semaphore) {
    LONG previous = -1;
    if (pf::ReleaseSemaphore(semaphore, 1, &previous) == FALSE) return -1;
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    return previous;
}

}  // namespace

TEST(Semaphores, CreateThenCreateAgainGives183AndKeepsTheFirstCountAndMaximum) {
    const std::string name = UniqueName("create");
    HANDLE first = pf::CreateSemaphoreA(nullptr, 2, 3, name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);
    HANDLE second = pf::CreateSemaphoreA(nullptr, 0, 100, name.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(first, second);
    EXPECT_EQ(CountOf(second), 2);
    LONG previous = -1;
    EXPECT_EQ(pf::ReleaseSemaphore(second, 1, &previous), TRUE);  // 3, the first maximum
    EXPECT_EQ(previous, 2);
    EXPECT_EQ(pf::ReleaseSemaphore(first, 1, nullptr), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(pf::CloseHandle(first), TRUE);
    EXPECT_EQ(pf::CloseHandle(second), TRUE);
}

TEST(Semaphores, OpenFindsOnlyLiveNamesAndSharesTheCount) {
    const std::string name = UniqueName("open");
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE created = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    HANDLE opened = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(pf::WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(created, 0), WAIT_TIMEOUT);
    EXPECT_EQ(pf::ReleaseSemaphore(created, 1, nullptr), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    pf::CloseHandle(created);
    EXPECT_EQ(pf::ReleaseSemaphore(opened, 1, nullptr), TRUE);  // still alive through `opened`
    pf::CloseHandle(opened);
    // The last handle is gone: the name is gone, and a new create starts afresh.
    EXPECT_EQ(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE fresh = pf::CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(pf::WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    pf::CloseHandle(fresh);
}

TEST(Semaphores, ReleaseChecksTheMaximumAtomicallyAndChangesNothingWhenRefused) {
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 2, UniqueName("max").c_str());
    LONG previous = 77;
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 1, &previous), TRUE);
    EXPECT_EQ(previous, 1);
    previous = 77;
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 1, &previous), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, 77);  // not written
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 2, &previous), FALSE);  // 1 + 2 > 2
    EXPECT_EQ(previous, 77);
    EXPECT_EQ(CountOf(semaphore), 1);
    pf::CloseHandle(semaphore);
}

TEST(Semaphores, ReleasingZeroOrFewerUnitsFailsWithError87) {
    RVSYS_SKIP_ON_WINE("ReleaseSemaphore accepts a count of 0 and fails a negative one with 298 (Windows: 87 for both)");
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 1, 2, UniqueName("zero").c_str());
    for (LONG count : {0, -1}) {
        pf::SetLastError(0);
        EXPECT_EQ(pf::ReleaseSemaphore(semaphore, count, nullptr), FALSE);
        EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(CountOf(semaphore), 1);
    pf::CloseHandle(semaphore);
}

TEST(Semaphores, BadCountsNamesAndHandlesGiveTheWindowsCodes) {
    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, 2, 1, UniqueName("bad").c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, 0, 0, UniqueName("bad").c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, -1, 1, UniqueName("bad").c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, 1, 1, "a\\b"), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, 1, 1, "Local\\"), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_NAME);
    const std::string base = UniqueName("long");
    const std::string longest = base + std::string(259 - base.size(), 'x');
    HANDLE ok = pf::CreateSemaphoreA(nullptr, 1, 1, longest.c_str());  // hashed file name
    EXPECT_NE(ok, nullptr);
    HANDLE again = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, longest.c_str());
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(pf::CreateSemaphoreA(nullptr, 1, 1, (longest + "x").c_str()), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    pf::CloseHandle(again);
    pf::CloseHandle(ok);

    HANDLE closed = pf::CreateSemaphoreA(nullptr, 1, 1, nullptr);
    pf::CloseHandle(closed);
    EXPECT_EQ(pf::ReleaseSemaphore(closed, 1, nullptr), FALSE);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(pf::WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(pf::ReleaseSemaphore(event, 1, nullptr), FALSE);  // not a semaphore
    EXPECT_EQ(pf::GetLastError(), ERROR_INVALID_HANDLE);
    pf::CloseHandle(event);
}

TEST(Semaphores, NamesAreCaseSensitiveEscapedAndLocalPrefixIsTheBareName) {
    const std::string base = UniqueName("names");
    HANDLE bare = pf::CreateSemaphoreA(nullptr, 1, 1, base.c_str());
    HANDLE local = pf::CreateSemaphoreA(nullptr, 1, 1, ("Local\\" + base).c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE upper = pf::CreateSemaphoreA(nullptr, 1, 1, (base + "X").c_str());
    HANDLE lower = pf::CreateSemaphoreA(nullptr, 1, 1, (base + "x").c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);
    HANDLE slash = pf::CreateSemaphoreA(nullptr, 1, 1, (base + "a/b").c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);
    HANDLE escaped = pf::CreateSemaphoreA(nullptr, 1, 1, (base + "a%2Fb").c_str());
    EXPECT_EQ(pf::GetLastError(), ERROR_SUCCESS);  // escaping never maps two names to one file
    for (HANDLE handle : {bare, local, upper, lower, slash, escaped}) {
        ASSERT_NE(handle, nullptr);
        pf::CloseHandle(handle);
    }
}

TEST(Semaphores, UnnamedSemaphoresAreSeparateObjects) {
    HANDLE first = pf::CreateSemaphoreA(nullptr, 1, 5, nullptr);
    HANDLE second = pf::CreateSemaphoreA(nullptr, 0, 5, "");
    EXPECT_EQ(pf::WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    HANDLE duplicate = nullptr;
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), second, pf::GetCurrentProcess(), &duplicate, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS),
              TRUE);
    pf::CloseHandle(second);
    EXPECT_EQ(pf::ReleaseSemaphore(duplicate, 1, nullptr), TRUE);  // the duplicate keeps it alive
    EXPECT_EQ(pf::WaitForSingleObject(duplicate, 0), WAIT_OBJECT_0);
    pf::CloseHandle(duplicate);
    pf::CloseHandle(first);
}

TEST(Semaphores, WaitsTimeOutNeverEarlyAndReleaseWakesAsManyWaitersAsUnits) {
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 10, UniqueName("wait").c_str());
    auto start = Clock::now();
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    EXPECT_LT(ElapsedMs(start), Slack(50).count());
    start = Clock::now();
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 60), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 60);

    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto& waiter : waiters) {
        waiter = std::thread([&] {
            if (pf::WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0) woken.fetch_add(1);
        });
    }
    pf::Sleep(20);
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 2, nullptr), TRUE);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return woken.load() == 2; }));
    pf::Sleep(20);
    EXPECT_EQ(woken.load(), 2);  // two units, two waiters
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 1, nullptr), TRUE);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    pf::CloseHandle(semaphore);
}

namespace {

HANDLE gBlockedOn = nullptr;
std::atomic<int> gQueuedCalls{0};

DWORD RVSYS_WINAPI WaitForever(LPVOID) {
    pf::WaitForSingleObject(gBlockedOn, INFINITE);
    return 0;
}

void RVSYS_WINAPI CountCall(ULONG_PTR) { gQueuedCalls.fetch_add(1); }

}  // namespace

TEST(Semaphores, QueuedCallsEndAlertableWaitsAndTerminationEndsBlockedOnes) {
    HANDLE semaphore = pf::CreateSemaphoreA(nullptr, 0, 1, UniqueName("alert").c_str());
    std::atomic<DWORD> result{0};
    HANDLE self = nullptr;
    std::atomic<bool> ready{false};
    std::thread waiter([&] {
        pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        ready = true;
        result = pf::WaitForSingleObjectEx(semaphore, INFINITE, TRUE);
    });
    while (!ready.load()) pf::Sleep(1);
    pf::Sleep(20);
    EXPECT_EQ(pf::QueueUserAPC(CountCall, self, 0), 1u);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_IO_COMPLETION);
    EXPECT_EQ(gQueuedCalls.load(), 1);
    pf::CloseHandle(self);

    gBlockedOn = semaphore;
    HANDLE thread = pf::CreateThread(nullptr, 0, WaitForever, nullptr, 0, nullptr);
    pf::Sleep(20);
    EXPECT_EQ(pf::TerminateThread(thread, 9), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 9u);
    pf::CloseHandle(thread);
    // The terminated waiter took no unit and left no wake-up behind.
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 1, nullptr), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    pf::CloseHandle(semaphore);
}
