// Conformance of named semaphores: results and error codes as on Windows.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

namespace {

std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "rvsys-sem-" + std::to_string(rvsys::test::ProcessId()) + "-" + tag + "-" + std::to_string(counter++);
}

// The count, read as the library reads it: release one, take it back.
LONG CountOf(HANDLE semaphore) {
    LONG previous = -1;
    if (pf::ReleaseSemaphore(semaphore, 1, &previous) == FALSE) return -1;
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    return previous;
}

HANDLE Create(const std::string& name, LONG initial, LONG maximum) {
    return pf::CreateSemaphoreA(nullptr, initial, maximum, name.empty() ? nullptr : name.c_str());
}
HANDLE Open(const std::string& name) { return pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()); }

HANDLE gBlockedOn = nullptr;
std::atomic<long> gWaiter{0};
DWORD RVSYS_WINAPI WaitForever(LPVOID) {
    gWaiter = rvsys::test::KernelThreadId();
    pf::WaitForSingleObject(gBlockedOn, INFINITE);
    return 0;
}
void RVSYS_WINAPI Nothing(ULONG_PTR) {}

}  // namespace

// Create on a live name gives 183 and the first count and maximum; open finds
// only live names (2) and shares the count; a refused release changes nothing;
// the last close removes the name, and a new create starts afresh.
TEST(Semaphores, CreateOpenShareAndMaximum) {
    const std::string name = UniqueName("create");
    EXPECT_EQ(Open(name), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    HANDLE first = Create(name, 1, 2);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    HANDLE second = Create(name, 0, 100);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    HANDLE opened = Open(name);
    ASSERT_TRUE(first && second && opened && first != second);
    EXPECT_EQ(pf::WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::WaitForSingleObject(first, 0), WAIT_TIMEOUT);
    LONG previous = 77;
    EXPECT_EQ(pf::ReleaseSemaphore(second, 2, &previous), TRUE);
    EXPECT_EQ(previous, 0);
    previous = 77;
    EXPECT_EQ(pf::ReleaseSemaphore(first, 1, &previous), FALSE);  // 2 is the first maximum
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_TOO_MANY_POSTS});
    EXPECT_EQ(previous, 77);
    EXPECT_EQ(pf::WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_EQ(pf::ReleaseSemaphore(opened, 2, &previous), FALSE);  // 1 + 2 > 2
    EXPECT_EQ(CountOf(first), 1);
    pf::CloseHandle(first);
    pf::CloseHandle(second);
    EXPECT_EQ(CountOf(opened), 1);  // alive through the last handle
    pf::CloseHandle(opened);
    EXPECT_EQ(Open(name), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    HANDLE fresh = Create(name, 0, 1);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(CountOf(fresh), 0);
    pf::CloseHandle(fresh);
}

// Bad counts give 87, bad names 3, 123 and 206 (the longest name works);
// names are case-sensitive, escaped, and "Local\" is the bare name; unnamed
// semaphores are separate objects that a duplicate keeps alive.
TEST(Semaphores, CountsAndNames) {
    for (auto [initial, maximum] : {std::pair{2, 1}, std::pair{0, 0}, std::pair{-1, 1}}) {
        EXPECT_EQ(Create(UniqueName("bad"), initial, maximum), nullptr);
        EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_EQ(Create("a\\b", 1, 1), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
    EXPECT_EQ(Create("Local\\", 1, 1), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_NAME});
    const std::string base = UniqueName("names");
    const std::string longest = base + std::string(259 - base.size(), 'x');
    EXPECT_EQ(Create(longest + "x", 1, 1), nullptr);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_FILENAME_EXCED_RANGE});
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {{longest, ERROR_SUCCESS},        {base, ERROR_SUCCESS},         {"Local\\" + base, ERROR_ALREADY_EXISTS},
                 {base + "X", ERROR_SUCCESS},     {base + "x", ERROR_SUCCESS},   {base + "a/b", ERROR_SUCCESS},
                 {base + "a%2Fb", ERROR_SUCCESS}, {"", ERROR_SUCCESS},           {"", ERROR_SUCCESS}};
    HANDLE handles[std::size(cases)];
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        handles[i] = Create(cases[i].name, 1, 2);
        EXPECT_NE(handles[i], nullptr) << cases[i].name;
        EXPECT_EQ(pf::GetLastError(), cases[i].error) << cases[i].name;
    }
    HANDLE again = Open(longest);  // its file name is hashed
    EXPECT_NE(again, nullptr);
    HANDLE duplicate = nullptr;
    const std::size_t unnamed = std::size(cases) - 1;
    EXPECT_EQ(pf::WaitForSingleObject(handles[unnamed - 1], 0), WAIT_OBJECT_0);
    ASSERT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), handles[unnamed], pf::GetCurrentProcess(), &duplicate, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    for (HANDLE handle : handles) pf::CloseHandle(handle);
    EXPECT_EQ(CountOf(duplicate), 1);  // the other unnamed one's wait took nothing from it
    pf::CloseHandle(duplicate);
    pf::CloseHandle(again);
}

// Releasing zero or fewer units fails with 87 and changes nothing.
TEST(Semaphores, ReleasingZeroOrFewerUnitsFailsWith87) {
    RVSYS_SKIP_ON_WINE("ReleaseSemaphore accepts a count of 0 and fails a negative one with 298 (Windows: 87 for both)");
    HANDLE semaphore = Create(UniqueName("zero"), 1, 2);
    for (LONG count : {0, -1}) {
        EXPECT_EQ(pf::ReleaseSemaphore(semaphore, count, nullptr), FALSE);
        EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        pf::SetLastError(0);
    }
    EXPECT_EQ(CountOf(semaphore), 1);
    pf::CloseHandle(semaphore);
}

// Waits time out never early; a release of n units wakes n waiters; a queued
// call ends an alertable wait; a terminated waiter takes no unit.
TEST(Semaphores, Waits) {
    HANDLE semaphore = Create(UniqueName("wait"), 0, 10);
    const auto start = Clock::now();
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 60), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 60);

    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto& waiter : waiters) {
        waiter = std::thread([&] { woken += pf::WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0; });
    }
    pf::Sleep(20);
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 2, nullptr), TRUE);
    EXPECT_TRUE(rvsys::test::Eventually([&] { return woken.load() == 2; }));
    pf::Sleep(20);
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(pf::ReleaseSemaphore(semaphore, 1, nullptr), TRUE);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3);

    HANDLE self = nullptr;
    DWORD result = 0;
    std::atomic<long> tid{0};
    std::thread alertable([&] {
        pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        tid = rvsys::test::KernelThreadId();
        result = pf::WaitForSingleObjectEx(semaphore, INFINITE, TRUE);
    });
    while (tid.load() == 0) std::this_thread::yield();
    rvsys::test::WaitUntilBlocked(tid);
    EXPECT_NE(pf::QueueUserAPC(Nothing, self, 0), 0u);
    alertable.join();
    EXPECT_EQ(result, WAIT_IO_COMPLETION);
    pf::CloseHandle(self);

    gBlockedOn = semaphore;
    gWaiter = 0;
    HANDLE thread = pf::CreateThread(nullptr, 0, WaitForever, nullptr, 0, nullptr);
    while (gWaiter.load() == 0) pf::Sleep(1);
    rvsys::test::WaitUntilBlocked(gWaiter);
    EXPECT_EQ(pf::TerminateThread(thread, 9), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::CloseHandle(thread);
    EXPECT_EQ(CountOf(semaphore), 0);  // no unit taken, no wake-up left behind
    pf::CloseHandle(semaphore);
}
