// Conformance of named semaphores whose holders and waiters are other
// processes that get killed: a killed process gives nothing back and takes
// nothing with it.
#include <cstdlib>

#include "conformance.h"

namespace {

// The semaphore's name, passed to the helpers through the environment; its
// "-ready" twin is released by a helper just before it waits.
HANDLE Open(const char* suffix = "") {
    const std::string name = std::string(std::getenv("RVSYS_TEST_SEMAPHORE_NAME")) + suffix;
    return pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
}

}  // namespace

RVSYS_HELPER(take_the_unit_then_die) {
    HANDLE semaphore = Open();
    if (semaphore == nullptr || pf::WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0) return 2;
    rvsys::test::KillThisProcess();
}

RVSYS_HELPER(wait_for_a_unit) {
    HANDLE semaphore = Open();
    HANDLE ready = Open("-ready");
    if (semaphore == nullptr || ready == nullptr) return 2;
    pf::ReleaseSemaphore(ready, 1, nullptr);
    return pf::WaitForSingleObject(semaphore, 10000 * rvsys::test::TimeScale()) == WAIT_OBJECT_0 ? 0 : 1;
}

// A killed holder's unit stays taken while others hold the name; a waiter
// killed in its wait does not swallow a later release meant for the next one.
TEST(SemaphoreHolders, KilledHoldersAndWaitersGiveAndTakeNothing) {
    const std::string name = UniqueName("holders");
    rvsys::test::SetEnvironment("RVSYS_TEST_SEMAPHORE_NAME", name);
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    HANDLE ready = pf::CreateSemaphoreA(nullptr, 0, 2, (name + "-ready").c_str());
    ASSERT_TRUE(mine && ready);
    EXPECT_EQ(rvsys::test::RunHelper("take_the_unit_then_die"), rvsys::test::KilledExitStatus());
    EXPECT_EQ(pf::WaitForSingleObject(mine, 100), WAIT_TIMEOUT);
    for (bool kill : {true, false}) {
        rvsys::test::Helper waiter("wait_for_a_unit");
        ASSERT_EQ(pf::WaitForSingleObject(ready, 10000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
        pf::Sleep(50);  // into its wait
        if (kill) {
            waiter.Kill();
            EXPECT_EQ(waiter.Wait(), rvsys::test::KilledExitStatus());
        } else {
            EXPECT_EQ(pf::ReleaseSemaphore(mine, 1, nullptr), TRUE);
            EXPECT_EQ(waiter.Wait(), 0);
        }
    }
    pf::CloseHandle(ready);
    pf::CloseHandle(mine);
}
