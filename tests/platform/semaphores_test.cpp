// Conformance of named semaphores: results and error codes as on Windows.
#include "conformance.h"

namespace {

HANDLE Create(const std::string& name, LONG initial, LONG maximum) {
    return pf::CreateSemaphoreA(nullptr, initial, maximum, name.c_str());
}

HANDLE gSemaphore = nullptr;
std::atomic<long> gWaiter{0};
DWORD RVSYS_WINAPI WaitForTheSemaphore(LPVOID) {
    gWaiter = rvsys::test::KernelThreadId();
    return pf::WaitForSingleObject(gSemaphore, INFINITE);
}

}  // namespace

// Bad counts give 87, bad names 123 and 206 (the longest name works, and is
// found again though its file name is hashed); "Local\" is the bare name; a
// slash is only a character of the name.
TEST(Semaphores, CreateValidatesItsArguments) {
    const std::string base = UniqueName("names");
    const std::string longest = base + std::string(259 - base.size(), 'x');
    const struct {
        std::string name;
        LONG initial, maximum;
        DWORD error;
    } cases[] = {{base, 2, 1, ERROR_INVALID_PARAMETER},
                 {base, -1, 1, ERROR_INVALID_PARAMETER},
                 {"Local\\", 1, 2, ERROR_INVALID_NAME},
                 {longest + "x", 1, 2, ERROR_FILENAME_EXCED_RANGE},
                 {longest, 1, 2, ERROR_SUCCESS},
                 {base, 1, 2, ERROR_SUCCESS},
                 {"Local\\" + base, 1, 2, ERROR_ALREADY_EXISTS},
                 {base + "a/b", 1, 2, ERROR_SUCCESS}};
    std::vector<HANDLE> handles;
    for (const auto& c : cases) {
        handles.push_back(Create(c.name, c.initial, c.maximum));
        EXPECT_EQ(handles.back() != nullptr, c.error == ERROR_SUCCESS || c.error == ERROR_ALREADY_EXISTS) << c.name;
        EXPECT_EQ(pf::GetLastError(), c.error) << c.name;
    }
    handles.push_back(pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, longest.c_str()));
    EXPECT_NE(handles.back(), nullptr);
    for (HANDLE handle : handles) pf::CloseHandle(handle);
}

TEST(Semaphores, AReleaseOfNUnitsWakesNWaiters) {
    HANDLE semaphore = Create(UniqueName("wait"), 0, 10);
    ExpectEachSignalWakesOneOfThree(semaphore, 2, [&](int n) { pf::ReleaseSemaphore(semaphore, n, nullptr); });
    pf::CloseHandle(semaphore);
}

// A terminated waiter takes no unit and leaves no wake-up behind.
TEST(Semaphores, ATerminatedWaiterTakesNothing) {
    gSemaphore = Create(UniqueName("terminated"), 0, 10);
    HANDLE thread = pf::CreateThread(nullptr, 0, WaitForTheSemaphore, nullptr, 0, nullptr);
    while (gWaiter.load() == 0) pf::Sleep(1);
    rvsys::test::WaitUntilBlocked(gWaiter);
    EXPECT_EQ(pf::TerminateThread(thread, 9), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(pf::ReleaseSemaphore(gSemaphore, 1, nullptr), TRUE);
    EXPECT_EQ(CountOf(gSemaphore), 1);
    pf::CloseHandle(thread);
    pf::CloseHandle(gSemaphore);
}
