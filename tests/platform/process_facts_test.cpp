// Conformance of the process facts that the semaphore reports rely on: the
// system's error texts and the executable's path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

}  // namespace

TEST(SystemErrorText, SystemTextInTheCallersBufferOrInAnAllocatedOne) {
    char text[512];
    const DWORD length = pf::FormatMessageA(kFromSystem, nullptr, ERROR_TOO_MANY_POSTS, LANG_USER_DEFAULT, text,
                                            sizeof text, nullptr);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::strlen(text));
    char* allocated = nullptr;
    EXPECT_EQ(pf::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | kFromSystem, nullptr, ERROR_TOO_MANY_POSTS,
                                 LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              length);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, text);
    EXPECT_EQ(pf::LocalFree(allocated), nullptr);
}

TEST(SystemErrorText, UnknownCodeAndTooSmallBufferFail) {
    char text[512];
    pf::SetLastError(0);
    EXPECT_EQ(pf::FormatMessageA(kFromSystem, nullptr, 0x3FFFFFFF, LANG_USER_DEFAULT, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(pf::GetLastError(), ERROR_MR_MID_NOT_FOUND);
    char small[4];
    pf::SetLastError(0);
    EXPECT_EQ(pf::FormatMessageA(kFromSystem, nullptr, ERROR_TOO_MANY_POSTS, LANG_USER_DEFAULT, small, sizeof small,
                                 nullptr),
              0u);
    EXPECT_EQ(pf::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(ModuleFileName, IsTheProgramsPath) {
    char path[1024];
    const DWORD length = pf::GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::strlen(path));
    EXPECT_NE(std::string(path).find("platform_tests"), std::string::npos) << path;
}

TEST(ModuleFileName, TruncatedPathIsTerminatedAndFailsWith122) {
    RVSYS_SKIP_ON_WINE("GetModuleFileNameA truncates without a terminating NUL (as Windows XP did)");
    char path[6];
    std::memset(path, 'x', sizeof path);
    pf::SetLastError(0);
    EXPECT_EQ(pf::GetModuleFileNameA(nullptr, path, sizeof path), static_cast<DWORD>(sizeof path));
    EXPECT_EQ(pf::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(path[sizeof path - 1], '\0');
}
