// Conformance of the system time, and of the process facts that the
// semaphore reports rely on: the system's error texts and the program's path.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "conformance.h"

namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

}  // namespace

// By default the system time is the wall clock, counted from 1601 in 100 ns
// units.
TEST(ClockSeam, SystemTimeIsTheWallClock) {
    constexpr std::int64_t kUnitsFrom1601To1970 = 116444736000000000;
    FILETIME file;
    pf::GetSystemTimeAsFileTime(&file);
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t standard =
        std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count() * 10 + kUnitsFrom1601To1970;
    EXPECT_LT(
        std::abs(static_cast<std::int64_t>(std::uint64_t{file.dwHighDateTime} << 32 | file.dwLowDateTime) - standard),
        2 * 10000000);
}

// A system error's text; an unknown code fails with 317, a too small buffer
// with 122.
TEST(SystemErrorText, ComesFromTheSystemOrFailsWithTheDocumentedError) {
    char text[512];
    const DWORD length =
        pf::FormatMessageA(kFromSystem, nullptr, ERROR_TOO_MANY_POSTS, LANG_USER_DEFAULT, text, sizeof text, nullptr);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::strlen(text));
    pf::SetLastError(0);
    EXPECT_EQ(pf::FormatMessageA(kFromSystem, nullptr, 0x3FFFFFFF, LANG_USER_DEFAULT, text, sizeof text, nullptr),
              0u);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_MR_MID_NOT_FOUND});
    EXPECT_EQ(pf::FormatMessageA(kFromSystem, nullptr, ERROR_TOO_MANY_POSTS, LANG_USER_DEFAULT, text, 4, nullptr),
              0u);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
}

// The module file name is the program's path; truncated, it is still
// terminated and fails with 122.
TEST(ModuleFileName, IsTheProgramsPathTerminatedWhenTruncated) {
    char path[1024];
    const DWORD length = pf::GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::strlen(path));
    EXPECT_NE(std::string(path).find("platform_tests"), std::string::npos) << path;
    RVSYS_SKIP_ON_WINE("GetModuleFileNameA truncates without a terminating NUL (as Windows XP did)");
    std::memset(path, 'x', 6);
    pf::SetLastError(0);
    EXPECT_EQ(pf::GetModuleFileNameA(nullptr, path, 6), 6u);
    EXPECT_EQ(pf::GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(path[5], '\0');
}
