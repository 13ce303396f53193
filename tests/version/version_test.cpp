// The version the library reports at run time is the project's version.
#include <rvsysutils/version.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// RVSYS_TEST_PROJECT_VERSION comes from CMakeLists.txt, apart from the generated
// header, so a header that lost a number shows here.
TEST(Version, RuntimeVersionIsTheProjectVersion) {
    const std::string expected = RVSYS_TEST_PROJECT_VERSION;
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(expected.c_str(), "%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(std::string(GetRvsysutilsVersionString()), expected);
    EXPECT_EQ(GetRvsysutilsVersion(), (major << 16) | (minor << 8) | patch);
    EXPECT_EQ(GetRvsysutilsVersion(), static_cast<unsigned long>(RVSYSUTILS_VERSION));
}
