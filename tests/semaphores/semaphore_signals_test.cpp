// Semaphore's clean-up at signals, each case in a helper process that the
// signal may end. The signals are the runtime's: Linux's SIGQUIT stands for
// Windows' SIGBREAK. Built twice: semaphore_signal_tests on both systems, and
// with RVSYS_SIGNALS_LINUX_ONLY semaphore_signal_linux_tests, for what only the
// Linux layer does (it runs a handler as an interrupt of whatever the thread
// was doing; Windows' runtime calls it as ordinary code).
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

namespace {

std::atomic<int> gLastRecorded{0};
std::atomic<int> gRecordedCount{0};
void Record(int signal) {
    gLastRecorded = signal;
    gRecordedCount.fetch_add(1);
}

}  // namespace

#if !defined(RVSYS_SIGNALS_LINUX_ONLY)

namespace {

// A previous handler that leaves a mark, then lets the signal end the process.
void MarkThenDie(int signal) {
    rvsys::test::WriteOut("previous handler ran\n");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

RVSYS_HELPER(hold_then_signal) {
#if !defined(_WIN32)
    rlimit noCoreDumps{0, 0};  // SIGQUIT's default action dumps core
    setrlimit(RLIMIT_CORE, &noCoreDumps);
#endif
    const int signal = std::atoi(std::getenv("RVSYS_TEST_SIGNAL"));
    if (signal == SIGINT) std::signal(SIGINT, MarkThenDie);
    Semaphore givesBack(1, HelperBase().c_str());
    Semaphore keeps(2, HelperBase().c_str());
    if (!givesBack.Lock(true) || !keeps.Lock(false)) return 2;
    rvsys::test::RaiseInProcess(signal);
    return 99;  // the signal must end the process before this
}

// SIGINT, SIGTERM and SIGBREAK in a process holding units: the Lock(true) unit
// comes back, the Lock(false) one stays taken, then the previous handler (for
// SIGINT, one of the process's own) or the default action ends the process.
TEST(SemaphoreSignals, EachSignalGivesTheUnitBackThenThePreviousHandlerEndsTheProcess) {
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        const std::string base = UniqueBase(("hold" + std::to_string(signal)).c_str());
        rvsys::test::SetHelperBase(base);
        rvsys::test::SetEnvironment("RVSYS_TEST_SIGNAL", std::to_string(signal));
        Semaphore watchGivesBack(1, base.c_str());
        Semaphore watchKeeps(2, base.c_str());
        std::string output;
        EXPECT_EQ(RunHelper("hold_then_signal", &output), rvsys::test::SignalExitStatus(signal));
        EXPECT_EQ(output, signal == SIGINT ? "previous handler ran\n" : "");
        EXPECT_TRUE(watchGivesBack.TryLock(true));
        EXPECT_FALSE(watchKeeps.TryLock(true));
    }
}

RVSYS_HELPER(previous_handlers_in_order) {
    const int signals[] = {SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, SIGBREAK, SIGINT};
    for (int signal : signals) std::signal(signal, Record);
    Semaphore first(1, HelperBase().c_str());
    Semaphore second(2, HelperBase().c_str());
    if (!first.Lock(true)) return 2;
    int expectedCount = 0;
    for (int signal : signals) {
        std::raise(signal);  // the clean-up, then the previous handler for this very signal
        if (gLastRecorded.load() != signal || gRecordedCount.load() != ++expectedCount) return 10 + signal;
        if (first || second) return 3;  // swept at the first signal
    }
    if (OpenRaw(HelperBase(), 1) != nullptr) return 4;  // gone with the sweep, which gave the unit back
    // Later constructions install nothing: the signal goes straight to Record
    // (installed again: Windows' runtime resets a handler before it runs it).
    std::signal(SIGINT, Record);
    Semaphore third(3, HelperBase().c_str());
    std::raise(SIGINT);
    return third && gRecordedCount.load() == expectedCount + 1 ? 0 : 5;
}

// Each of the seven signals reaches the handler it replaced; only the first
// object of the process installs the clean-up.
TEST(SemaphoreSignals, EachSignalReachesTheHandlerItReplacedAndOnlyTheFirstObjectInstalls) {
    rvsys::test::SetHelperBase(UniqueBase("order"));
    std::string output;
    EXPECT_EQ(RunHelper("previous_handlers_in_order", &output), 0) << output;
}

RVSYS_HELPER(sweep_during_churn) {
    const int signals[] = {SIGTERM, SIGINT, SIGBREAK};
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

// Sweeps race safely with construction and destruction on other threads.
TEST(SemaphoreSignals, SweepsRaceSafelyWithConstructionAndDestructionOnOtherThreads) {
    rvsys::test::SetHelperBase(UniqueBase("churn"));
    EXPECT_EQ(RunHelper("sweep_during_churn"), 0);
}

#else  // RVSYS_SIGNALS_LINUX_ONLY

RVSYS_HELPER(failure_inside_handler) {
    std::signal(SIGTERM, Record);
    Semaphore object(1, HelperBase().c_str());
    void* raw = OpenRaw(HelperBase(), 1);
    if (!object.Lock(true)) return 2;
    pf::ReleaseSemaphore(raw, 0xFFFF, nullptr);  // the maximum: the clean-up's Unlock fails
    std::raise(SIGTERM);
    if (gRecordedCount.load() != 1 || object) return 3;
    rvsys::test::WriteOut("[" + Semaphore::GetLastError() + "]");
    return rvsys::test::CountOf(raw) == -1 ? 0 : 4;
}

// A failure inside the clean-up handler is written to standard error, neither
// stored nor sent to syslog: a report from there is async-signal-safe.
TEST(SemaphoreSignals, AFailureInsideTheHandlerIsWrittenToStandardErrorOnly) {
    rvsys::test::SetHelperBase(UniqueBase("inhandler"));
    std::string output;
    EXPECT_EQ(RunHelper("failure_inside_handler", &output), 0);
    EXPECT_EQ(output, std::string("\nUnlock semaphore error : ") + std::strerror(EOVERFLOW) + "\n[No errors]");
}

#endif  // RVSYS_SIGNALS_LINUX_ONLY
