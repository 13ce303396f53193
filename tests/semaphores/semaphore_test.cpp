// Semaphore in one process and between processes: shared counts, names,
// resetting, clean-up at destruction, assignment, and the error reports.
#include <gtest/gtest.h>

#include <rvsysutils/Semaphore.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "semaphore_support.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // constants: macros on Windows
using rvsys::test::CountOf;
using rvsys::test::OpenRaw;
using rvsys::test::SystemText;
using rvsys::test::UniqueBase;

namespace {

const std::string kTooManyPosts = "Unlock semaphore error : " + SystemText(ERROR_TOO_MANY_POSTS);
const std::string kCreateFailed = "Create semaphore error : " + SystemText(ERROR_PATH_NOT_FOUND);

// Raises the count of the semaphore behind `raw` to the maximum, 65535.
void FillUp(void* raw) {
    pf::LONG previous = 0;
    pf::ReleaseSemaphore(raw, 1, &previous);
    if (previous + 1 < 0xFFFF) pf::ReleaseSemaphore(raw, 0xFFFF - previous - 1, nullptr);
}

}  // namespace

TEST(SemaphoreObject, ANewSemaphoreHasOneUnitThatObjectsOfTheSameNameShare) {
    const std::string base = UniqueBase("share");
    Semaphore first(1, base.c_str());
    Semaphore second(1, base.c_str());
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(first.TryLock(true));
    EXPECT_FALSE(first.TryLock(true));  // one unit only
    EXPECT_FALSE(second.TryLock(true));
    EXPECT_TRUE(first.Unlock());
    EXPECT_TRUE(second.TryLock(true));
    EXPECT_TRUE(second.Unlock());
    Semaphore other(2, base.c_str());  // another number, another semaphore
    EXPECT_TRUE(first.Lock(true));
    EXPECT_TRUE(other.TryLock(true));
    EXPECT_EQ(Semaphore::GetLastError(), "No errors");
}

TEST(SemaphoreObject, NameIsTheBaseFollowedByTheNumberInDecimal) {
    const std::string base = UniqueBase("name");
    Semaphore negative(-1, base.c_str());
    void* raw = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, (base + "-1").c_str());
    EXPECT_NE(raw, nullptr);
    pf::CloseHandle(raw);

    const int digitsOnly = 100000 + rvsys::test::ProcessId() % 100000;  // unique to this run
    Semaphore unnamedBase(digitsOnly, "");
    ASSERT_TRUE(unnamedBase);
    raw = pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, std::to_string(digitsOnly).c_str());
    EXPECT_NE(raw, nullptr);
    pf::CloseHandle(raw);
}

TEST(SemaphoreObject, OpeningAnExistingSemaphoreKeepsItsCount) {
    const std::string base = UniqueBase("keep");
    for (long count : {0L, 3L}) {
        void* raw = pf::CreateSemaphoreA(nullptr, static_cast<pf::LONG>(count), 0xFFFF,
                                         (base + std::to_string(count)).c_str());
        Semaphore object(static_cast<int>(count), base.c_str());
        ASSERT_TRUE(object);
        EXPECT_EQ(CountOf(raw), count);
        pf::CloseHandle(raw);
    }
}

TEST(SemaphoreObject, FailedConstructionLeavesAnInvalidObjectThatDoesNothing) {
    Semaphore bad(1, "no\\backslash");  // Linux and Windows: error 3 for both open and create
    EXPECT_FALSE(bad);
    EXPECT_EQ(Semaphore::GetLastError(), kCreateFailed);
    EXPECT_FALSE(bad.Lock(true));
    EXPECT_FALSE(bad.TryLock(true));
    EXPECT_FALSE(bad.Unlock());
    EXPECT_FALSE(bad.ResetSemaphore());
    Semaphore null(1, nullptr);
    EXPECT_FALSE(null);
    Semaphore copy(bad);
    EXPECT_FALSE(copy);
}

TEST(SemaphoreObject, ResetBringsAnyCountToOneUnit) {
    const std::string base = UniqueBase("reset");
    Semaphore object(1, base.c_str());
    void* raw = OpenRaw(base, 1);

    pf::ReleaseSemaphore(raw, 2, nullptr);  // 3
    EXPECT_TRUE(object.ResetSemaphore());
    EXPECT_EQ(CountOf(raw), 1);

    // From 1, held: count and held flag stay, so destruction still gives the unit back.
    {
        Semaphore holder(1, base.c_str());
        ASSERT_TRUE(holder.Lock(true));
        pf::ReleaseSemaphore(raw, 1, nullptr);
        EXPECT_TRUE(holder.ResetSemaphore());
        EXPECT_EQ(CountOf(raw), 1);
    }
    EXPECT_EQ(CountOf(raw), 2);
    EXPECT_TRUE(object.ResetSemaphore());

    // From 0: one unit comes back and the held flag is cleared, so destruction
    // gives nothing back.
    {
        Semaphore holder(1, base.c_str());
        ASSERT_TRUE(holder.Lock(true));
        EXPECT_TRUE(holder.ResetSemaphore());
        EXPECT_EQ(CountOf(raw), 1);
    }
    EXPECT_EQ(CountOf(raw), 1);

    // At the maximum the probing release fails: false, nothing changed, no report.
    FillUp(raw);
    EXPECT_FALSE(object.ResetSemaphore());
    EXPECT_EQ(CountOf(raw), -1);
    EXPECT_EQ(Semaphore::GetLastError(), "No errors");
    pf::CloseHandle(raw);
}

TEST(SemaphoreObject, UnlockRaisesTheCountAndFailsAtTheMaximumWithAMessage) {
    EXPECT_EQ(Semaphore::GetLastError(), "No errors");
    const std::string base = UniqueBase("unlock");
    Semaphore object(1, base.c_str());
    void* raw = OpenRaw(base, 1);
    EXPECT_TRUE(object.Unlock());  // without a Lock: 2
    EXPECT_EQ(CountOf(raw), 2);
    FillUp(raw);
    EXPECT_FALSE(object.Unlock());
    EXPECT_EQ(Semaphore::GetLastError(), kTooManyPosts);
    const std::string* sameString = &Semaphore::GetLastError();
    EXPECT_FALSE(object.Unlock());
    EXPECT_EQ(&Semaphore::GetLastError(), sameString);
    pf::CloseHandle(raw);
}

TEST(SemaphoreObject, DestructionGivesBackOnlyAUnitLockedForCleanup) {
    const std::string base = UniqueBase("cleanup");
    Semaphore watcher(1, base.c_str());
    {
        Semaphore holder(1, base.c_str());
        ASSERT_TRUE(holder.Lock(true));
    }
    EXPECT_TRUE(watcher.TryLock(true));
    EXPECT_TRUE(watcher.Unlock());
    {
        Semaphore holder(1, base.c_str());
        ASSERT_TRUE(holder.Lock(false));
    }
    EXPECT_FALSE(watcher.TryLock(true));  // the unit went away with its holder
    // Unlock after TryLock(true) clears the flag: nothing more comes back.
    void* raw = OpenRaw(base, 1);
    pf::ReleaseSemaphore(raw, 1, nullptr);
    {
        Semaphore holder(1, base.c_str());
        ASSERT_TRUE(holder.TryLock(true));
        ASSERT_TRUE(holder.Unlock());
    }
    EXPECT_EQ(CountOf(raw), 1);
    pf::CloseHandle(raw);
}

TEST(SemaphoreObject, AssignmentAndCopiesOwnTheirOwnHandles) {
    const std::string base = UniqueBase("assign");
    Semaphore watcherA(1, base.c_str());
    {
        Semaphore a(1, base.c_str());
        Semaphore b(2, base.c_str());
        ASSERT_TRUE(a.Lock(true));
        a = b;  // gives its own unit back first, as its destructor would
        EXPECT_TRUE(watcherA.TryLock(true));
        EXPECT_TRUE(watcherA.Unlock());
        ASSERT_TRUE(a);
        ASSERT_TRUE(b.Lock(true));
        {
            Semaphore c(b);  // counts as holding, with unlock on clean-up
            Semaphore d(3, base.c_str());
            d = c;
            a = a;
        }
        // c and d each gave a unit back, b is still open and valid.
        void* raw = OpenRaw(base, 2);
        EXPECT_EQ(CountOf(raw), 2);
        pf::CloseHandle(raw);
        EXPECT_TRUE(b.TryLock(false));
        EXPECT_TRUE(b.TryLock(false));
        EXPECT_FALSE(b.TryLock(false));
        Semaphore invalid(1, nullptr);
        b = invalid;
        EXPECT_FALSE(b);
        EXPECT_TRUE(a.Unlock());
    }
    // Every handle was closed exactly once: no "Remove semaphore" report, and
    // semaphore 2's name went with its last holder.
    EXPECT_EQ(Semaphore::GetLastError(), "No errors");
    EXPECT_EQ(OpenRaw(base, 2), nullptr);
    EXPECT_EQ(pf::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SemaphoreObject, ObjectsMayBeMadeAndDestroyedOnManyThreadsAtOnce) {
    const std::string base = UniqueBase("threads");
    std::atomic<int> inside{0};
    std::atomic<int> violations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                Semaphore object(1, base.c_str());
                if (!object.Lock(true)) {
                    violations.fetch_add(1);
                    continue;
                }
                if (inside.fetch_add(1) != 0) violations.fetch_add(1);
                inside.fetch_sub(1);
                if (round % 2 == 0) object.Unlock();  // otherwise the destructor gives it back
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(Semaphore::GetLastError(), "No errors");
    EXPECT_FALSE(rvsys::test::NameLeftInDevShm(base + "1"));
}

// ---- Reports ---------------------------------------------------------------------

RVSYS_HELPER(report_to_console) {
    const std::string base = rvsys::test::HelperBase();
    Semaphore object(1, base.c_str());
    FillUp(OpenRaw(base, 1));
    object.Unlock();
    object.Unlock();  // the same message: not shown again
    Semaphore bad(1, "a\\b");
    object.Unlock();  // different from the last one: shown again
    return 0;
}

TEST(SemaphoreReports, ConsoleGetsEachNewMessageBetweenLineEnds) {
    rvsys::test::SetHelperBase(UniqueBase("console"));
    std::string output;
    EXPECT_EQ(rvsys::test::RunHelper("report_to_console", &output), 0);
    EXPECT_EQ(output, rvsys::test::InTextMode("\n" + kTooManyPosts + "\n\n" + kCreateFailed + "\n\n" + kTooManyPosts + "\n"));
}

RVSYS_HELPER(report_without_console) {
    // No console: the report goes to a message box (Linux: to syslog), nothing
    // to standard output or error.
    rvsys::test::LoseConsole();
    rvsys::test::CloseMessageBoxes();
    const std::string base = rvsys::test::HelperBase();
    Semaphore object(1, base.c_str());
    FillUp(OpenRaw(base, 1));
    object.Unlock();
    rvsys::test::WriteOut(Semaphore::GetLastError() + "|" + rvsys::test::ClosedMessageBoxes());
    return 0;
}

TEST(SemaphoreReports, WithoutAConsoleNothingIsWrittenButTheMessageIsKept) {
    rvsys::test::SetHelperBase(UniqueBase("noconsole"));
    std::string output;
    EXPECT_EQ(rvsys::test::RunHelper("report_without_console", &output), 0);
    const std::string stored = output.substr(0, output.find('|'));
    const std::string boxes = output.substr(stored.size() + 1);
    EXPECT_EQ(stored, kTooManyPosts);
#if defined(_WIN32)
    if (boxes.empty()) RVSYS_SKIP_ON_WINE("MessageBoxA fails without a display (error 1400): no box to observe");
    EXPECT_EQ(boxes, "[Semaphore Error in module \"semaphore_tests.exe\"] " + kTooManyPosts + "\n");
#else
    EXPECT_EQ(boxes, "");
#endif
}

// ---- Between processes -------------------------------------------------------------

RVSYS_HELPER(try_lock_once) {
    Semaphore object(1, rvsys::test::HelperBase().c_str());
    return object.TryLock(true) ? 0 : 1;
}

TEST(SemaphoreProcesses, TwoProcessesShareTheCount) {
    const std::string base = UniqueBase("twoproc");
    rvsys::test::SetHelperBase(base);
    Semaphore mine(1, base.c_str());
    ASSERT_TRUE(mine.Lock(true));
    EXPECT_EQ(rvsys::test::RunHelper("try_lock_once"), 1);
    ASSERT_TRUE(mine.Unlock());
    EXPECT_EQ(rvsys::test::RunHelper("try_lock_once"), 0);
    EXPECT_TRUE(mine.TryLock(true));  // the helper's Lock(true) unit came back at its exit
}

namespace {

struct SharedCounter {
    std::atomic<int> inside;
    std::atomic<int> violations;
    long long plain;  // changed only while the semaphore is held
};

constexpr int kWorkers = 8;
constexpr int kRoundsPerWorker = 10000;

}  // namespace

RVSYS_HELPER(exclusion_worker) {
    auto* counter =
        static_cast<SharedCounter*>(rvsys::test::MapSharedMemory(std::getenv("RVSYS_TEST_COUNTER"), sizeof(SharedCounter)));
    if (counter == nullptr) return 4;
    Semaphore lock(1, rvsys::test::HelperBase().c_str());
    for (int round = 0; round < kRoundsPerWorker; ++round) {
        if (!lock.Lock(true)) return 2;
        if (counter->inside.fetch_add(1) != 0) counter->violations.fetch_add(1);
        ++counter->plain;
        counter->inside.fetch_sub(1);
        if (!lock.Unlock()) return 3;
    }
    return 0;
}

TEST(SemaphoreProcesses, EightProcessesTakingTurnsKeepMutualExclusion) {
    const std::string base = UniqueBase("eight");
    rvsys::test::SetHelperBase(base);
    const std::string counterName = "rvsys-test-counter-" + std::to_string(rvsys::test::ProcessId());
    auto* counter = static_cast<SharedCounter*>(rvsys::test::MapSharedMemory(counterName, sizeof(SharedCounter)));
    ASSERT_NE(counter, nullptr);
    rvsys::test::SetEnvironment("RVSYS_TEST_COUNTER", counterName);
    Semaphore mine(1, base.c_str());  // keeps the name alive between the workers
    std::vector<std::unique_ptr<rvsys::test::Helper>> workers;
    for (int w = 0; w < kWorkers; ++w) workers.push_back(std::make_unique<rvsys::test::Helper>("exclusion_worker"));
    for (auto& worker : workers) EXPECT_EQ(worker->Wait(), 0);
    EXPECT_EQ(counter->violations.load(), 0);
    EXPECT_EQ(counter->plain, static_cast<long long>(kWorkers) * kRoundsPerWorker);
    EXPECT_TRUE(mine.TryLock(true));
    EXPECT_FALSE(mine.TryLock(true));  // one unit, as at the start
    rvsys::test::UnlinkSharedMemory(counterName);
}
