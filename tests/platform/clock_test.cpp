// Conformance of the clocks and of the seam through which tests script them:
// the system's clocks by default, a scripted source while one is installed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

DWORD gScriptedTick = 0;
DWORD ScriptedTick() { return gScriptedTick; }
void ScriptedTime(FILETIME* time) {
    time->dwLowDateTime = 0x89ABCDEFu;
    time->dwHighDateTime = 0x01234567u;
}
const ClockSource kScripted{ScriptedTick, ScriptedTime};

std::int64_t FileTimeUnits(const FILETIME& time) {
    return static_cast<std::int64_t>(std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime);
}

}  // namespace

TEST(ClockSeam, SystemClocksFollowRealTime) {
    // The wall clock in 100 ns units since 1601, as the standard clock tells it.
    constexpr std::int64_t kUnitsFrom1601To1970 = 116444736000000000;
    FILETIME file;
    pf::GetSystemTimeAsFileTime(&file);
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t standard =
        std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count() * 10 + kUnitsFrom1601To1970;
    EXPECT_LT(std::abs(FileTimeUnits(file) - standard), 2 * 10000000);

    // Windows' tick moves in steps of up to 16 ms.
    const DWORD tick = pf::GetTickCount();
    pf::Sleep(50);
    EXPECT_GE(pf::GetTickCount() - tick, 50u - 16u);
}

TEST(ClockSeam, ScriptedSourceReplacesBothClocksUntilRestored) {
    const ClockSource* previous = pf::SetClockSource(&kScripted);
    gScriptedTick = 0xFFFFFFF0u;
    EXPECT_EQ(pf::GetTickCount(), 0xFFFFFFF0u);
    FILETIME file;
    pf::GetSystemTimeAsFileTime(&file);
    EXPECT_EQ(file.dwHighDateTime, 0x01234567u);
    EXPECT_EQ(file.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(pf::SetClockSource(previous), &kScripted);
    pf::SetClockSource(nullptr);
    EXPECT_NE(pf::GetTickCount(), 0xFFFFFFF0u);
    pf::GetSystemTimeAsFileTime(&file);
    EXPECT_NE(file.dwHighDateTime, 0x01234567u);
}
