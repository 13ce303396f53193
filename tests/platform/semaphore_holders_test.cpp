// Conformance of named semaphores whose waiters are other processes that get
// killed: a killed waiter takes nothing with it.
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

RVSYS_HELPER(wait_for_a_unit) {
    HANDLE semaphore = Open();
    HANDLE ready = Open("-ready");
    if (semaphore == nullptr || ready == nullptr) return 2;
    pf::ReleaseSemaphore(ready, 1, nullptr);
    return pf::WaitForSingleObject(semaphore, 10000 * rvsys::test::TimeScale()) == WAIT_OBJECT_0 ? 0 : 1;
}

// A waiter killed in its wait does not swallow a later release meant for the
// next one.
TEST(SemaphoreHolders, AKilledWaiterTakesNothing) {
    const std::string name = UniqueName("holders");
    rvsys::test::SetEnvironment("RVSYS_TEST_SEMAPHORE_NAME", name);
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    HANDLE ready = pf::CreateSemaphoreA(nullptr, 0, 2, (name + "-ready").c_str());
    ASSERT_TRUE(mine && ready);
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
