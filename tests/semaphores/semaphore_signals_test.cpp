// Semaphore's clean-up at signals, each case in a helper process that the
// signal may end. The signals are the runtime's: Linux's for SIGQUIT, which
// stands for Windows' SIGBREAK.
#include <gtest/gtest.h>

#include <rvsysutils/Semaphore.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "semaphore_support.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // SIGBREAK: Linux's SIGQUIT, or Windows' own (a macro)
using rvsys::test::HelperBase;
using rvsys::test::OpenRaw;
using rvsys::test::RunHelper;
using rvsys::test::UniqueBase;
using rvsys::test::WriteOut;

namespace {

constexpr int kBreak = SIGBREAK;

// SIGQUIT's default action dumps core: not in tests.
void NoCoreDumps() {
#if !defined(_WIN32)
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#endif
}

// A previous SIGINT handler that leaves a mark, then lets the signal end the process.
void MarkThenDie(int signal) {
    WriteOut("previous handler ran\n");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int HoldThenSignal(int signal) {
    NoCoreDumps();
    if (signal == SIGINT) std::signal(SIGINT, MarkThenDie);
    const std::string base = HelperBase();
    Semaphore givesBack(1, base.c_str());
    Semaphore keeps(2, base.c_str());
    if (!givesBack.Lock(true) || !keeps.Lock(false)) return 2;
    rvsys::test::RaiseInProcess(signal);
    return 99;  // the signal must end the process before this
}

void ExpectUnitBackAfter(int signal, const char* helper) {
    const std::string base = UniqueBase(helper);
    rvsys::test::SetHelperBase(base);
    Semaphore watchGivesBack(1, base.c_str());
    Semaphore watchKeeps(2, base.c_str());
    std::string output;
    EXPECT_EQ(RunHelper(helper, &output), rvsys::test::SignalExitStatus(signal));
    if (signal == SIGINT) {
        EXPECT_EQ(output, "previous handler ran\n");
    }
    EXPECT_TRUE(watchGivesBack.TryLock(true));  // Lock(true): given back by the clean-up
    EXPECT_FALSE(watchKeeps.TryLock(true));     // Lock(false): stays taken
}

}  // namespace

RVSYS_HELPER(hold_then_sigint) { return HoldThenSignal(SIGINT); }
RVSYS_HELPER(hold_then_sigterm) { return HoldThenSignal(SIGTERM); }
RVSYS_HELPER(hold_then_sigbreak) { return HoldThenSignal(kBreak); }

TEST(SemaphoreSignals, SigintGivesTheUnitBackThenThePreviousHandlerEndsTheProcess) {
    ExpectUnitBackAfter(SIGINT, "hold_then_sigint");
}

TEST(SemaphoreSignals, SigtermGivesTheUnitBackThenTheDefaultActionEndsTheProcess) {
    ExpectUnitBackAfter(SIGTERM, "hold_then_sigterm");
}

TEST(SemaphoreSignals, SigbreakGivesTheUnitBack) { ExpectUnitBackAfter(kBreak, "hold_then_sigbreak"); }

namespace {

std::atomic<int> gLastRecorded{0};
std::atomic<int> gRecordedCount{0};

void Record(int signal) {
    gLastRecorded = signal;
    gRecordedCount.fetch_add(1);
}

}  // namespace

RVSYS_HELPER(previous_handlers_in_order) {
    const int signals[] = {SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, kBreak, SIGINT};
    for (int signal : signals) std::signal(signal, Record);
    const std::string base = HelperBase();
    Semaphore first(1, base.c_str());
    Semaphore second(2, base.c_str());
    if (!first.Lock(true)) return 2;
    int expectedCount = 0;
    for (int signal : signals) {
        std::raise(signal);  // the clean-up, then the previous handler for this very signal
        if (gLastRecorded.load() != signal || gRecordedCount.load() != ++expectedCount) return 10 + signal;
        if (first || second) return 3;  // swept at the first signal
    }
    void* raw = OpenRaw(base, 1);  // gone with the sweep, which also gave the unit back
    if (raw != nullptr) return 4;
    // Later constructions install nothing: the signal goes straight to Record
    // (installed again: Windows' runtime resets a handler before it runs it).
    std::signal(SIGINT, Record);
    Semaphore third(3, base.c_str());
    std::raise(SIGINT);
    if (!third || gRecordedCount.load() != expectedCount + 1) return 5;
    return 0;
}

TEST(SemaphoreSignals, EachSignalReachesTheHandlerItReplacedAndOnlyTheFirstObjectInstalls) {
    rvsys::test::SetHelperBase(UniqueBase("order"));
    std::string output;
    EXPECT_EQ(RunHelper("previous_handlers_in_order", &output), 0) << output;
}

RVSYS_HELPER(lock_then_die) {
    Semaphore object(1, HelperBase().c_str());
    if (!object.Lock(false)) return 2;
    rvsys::test::KillThisProcess();
}

TEST(SemaphoreSignals, NameOfAKilledLastHolderStartsAgainWithOneUnit) {
    const std::string base = UniqueBase("killed");
    rvsys::test::SetHelperBase(base);
    EXPECT_EQ(RunHelper("lock_then_die"), rvsys::test::KilledExitStatus());
    {
        Semaphore fresh(1, base.c_str());
        EXPECT_TRUE(fresh.TryLock(true));
        EXPECT_FALSE(fresh.TryLock(true));
    }
    EXPECT_FALSE(rvsys::test::NameLeftInDevShm(base + "1"));
}

RVSYS_HELPER(sweep_during_churn) {
    const int signals[] = {SIGTERM, SIGINT, kBreak};
    for (int signal : signals) std::signal(signal, Record);
    const std::string base = HelperBase();
    Semaphore anchor(1, base.c_str());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            while (!stop.load()) {
                Semaphore object(10 + t, base.c_str());
                Semaphore copy(object);
            }
        });
    }
    for (int signal : signals) {
        pf::Sleep(20);
        std::raise(signal);
    }
    stop = true;
    for (auto& thread : threads) thread.join();
    return gRecordedCount.load() == 3 && !anchor ? 0 : 1;
}

TEST(SemaphoreSignals, SweepsRaceSafelyWithConstructionAndDestructionOnOtherThreads) {
    rvsys::test::SetHelperBase(UniqueBase("churn"));
    EXPECT_EQ(RunHelper("sweep_during_churn"), 0);
}
