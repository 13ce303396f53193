// Conformance of named semaphores whose holders and waiters are other
// processes that get killed: a killed process gives nothing back and takes
// nothing with it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

// The semaphore's name, passed to the helpers through the environment; its
// "-ready" twin is released by a helper just before it waits or dies.
std::string Name() { return std::getenv("RVSYS_TEST_SEMAPHORE_NAME"); }

std::string UseNewName(const char* tag) {
    static int counter = 0;
    const std::string name =
        "rvsys-holders-" + std::to_string(rvsys::test::ProcessId()) + "-" + tag + "-" + std::to_string(counter++);
    rvsys::test::SetEnvironment("RVSYS_TEST_SEMAPHORE_NAME", name);
    return name;
}

HANDLE Open(const std::string& name) { return pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()); }

}  // namespace

RVSYS_HELPER(take_the_unit_then_die) {
    HANDLE semaphore = Open(Name());
    if (semaphore == nullptr || pf::WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0) return 2;
    rvsys::test::KillThisProcess();
}

RVSYS_HELPER(wait_for_a_unit) {
    HANDLE semaphore = Open(Name());
    HANDLE ready = Open(Name() + "-ready");
    if (semaphore == nullptr || ready == nullptr) return 2;
    pf::ReleaseSemaphore(ready, 1, nullptr);
    return pf::WaitForSingleObject(semaphore, 10000 * rvsys::test::TimeScale()) == WAIT_OBJECT_0 ? 0 : 1;
}

TEST(SemaphoreHolders, UnitOfAKilledHolderStaysTakenWhileOthersHoldTheName) {
    const std::string name = UseNewName("unit");
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(rvsys::test::RunHelper("take_the_unit_then_die"), rvsys::test::KilledExitStatus());
    EXPECT_EQ(pf::WaitForSingleObject(mine, 100), WAIT_TIMEOUT);
    pf::CloseHandle(mine);
}

TEST(SemaphoreHolders, WaiterKilledInItsWaitDoesNotSwallowALaterRelease) {
    const std::string name = UseNewName("waiter");
    HANDLE mine = pf::CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    HANDLE ready = pf::CreateSemaphoreA(nullptr, 0, 2, (name + "-ready").c_str());
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(ready, nullptr);
    {
        rvsys::test::Helper killed("wait_for_a_unit");
        ASSERT_EQ(pf::WaitForSingleObject(ready, 10000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
        pf::Sleep(50);  // into its wait
        killed.Kill();
        EXPECT_EQ(killed.Wait(), rvsys::test::KilledExitStatus());
    }
    rvsys::test::Helper second("wait_for_a_unit");
    ASSERT_EQ(pf::WaitForSingleObject(ready, 10000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
    pf::Sleep(50);
    EXPECT_EQ(pf::ReleaseSemaphore(mine, 1, nullptr), TRUE);
    EXPECT_EQ(second.Wait(), 0);
    pf::CloseHandle(ready);
    pf::CloseHandle(mine);
}
