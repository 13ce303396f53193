// The Linux layer runs a signal handler as an interrupt of whatever the thread
// was doing, so a report from inside Semaphore's clean-up is async-signal-safe:
// written to standard error, neither stored nor sent to syslog. (On Windows the
// runtime calls handlers as ordinary code, and the report is the usual one.)
#include <gtest/gtest.h>

#include <rvsysutils/Semaphore.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>

#include "semaphore_support.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using rvsys::test::CountOf;
using rvsys::test::HelperBase;
using rvsys::test::OpenRaw;
using rvsys::test::UniqueBase;

namespace {

std::atomic<int> gRecordedCount{0};

void Record(int) { gRecordedCount.fetch_add(1); }

}  // namespace

RVSYS_HELPER(failure_inside_handler) {
    std::signal(SIGTERM, Record);
    const std::string base = HelperBase();
    Semaphore object(1, base.c_str());
    void* raw = OpenRaw(base, 1);
    if (!object.Lock(true)) return 2;
    pf::ReleaseSemaphore(raw, 0xFFFF, nullptr);  // the maximum: the clean-up's Unlock fails
    std::raise(SIGTERM);
    if (gRecordedCount.load() != 1 || object) return 3;
    // Written from the handler, not stored.
    rvsys::test::WriteOut("[" + Semaphore::GetLastError() + "]");
    return CountOf(raw) == -1 ? 0 : 4;
}

TEST(SemaphoreSignals, AFailureInsideTheHandlerIsWrittenToStandardErrorOnly) {
    rvsys::test::SetHelperBase(UniqueBase("inhandler"));
    std::string output;
    EXPECT_EQ(rvsys::test::RunHelper("failure_inside_handler", &output), 0);
    EXPECT_EQ(output, std::string("\nUnlock semaphore error : ") + std::strerror(EOVERFLOW) + "\n[No errors]");
}
