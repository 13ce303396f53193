// Names and count probes shared by the Semaphore tests.
#ifndef RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H
#define RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace rvsys::test {

// A base name unique to this run; with the number it names one semaphore.
inline std::string UniqueBase(const char* tag) {
    return "rvsys-lib-" + std::to_string(ProcessId()) + "-" + tag + "-";
}

// A raw handle to the semaphore that Semaphore(number, base) names.
inline void* OpenRaw(const std::string& base, int number) {
    using namespace rvsys::platform;  // the constants are macros on Windows
    return platform::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, (base + std::to_string(number)).c_str());
}

// The count: release one (reporting the count before), take it back. -1 when
// the release fails (the count is at the maximum).
inline long CountOf(void* handle) {
    platform::LONG previous = -1;
    if (platform::ReleaseSemaphore(handle, 1, &previous) == 0) return -1;
    platform::WaitForSingleObject(handle, 0);
    return previous;
}

// Passes a base name to a helper process through its environment.
inline void SetHelperBase(const std::string& base) { SetEnvironment("RVSYS_TEST_SEMAPHORE_BASE", base); }
inline std::string HelperBase() {
    const char* base = std::getenv("RVSYS_TEST_SEMAPHORE_BASE");
    return base != nullptr ? base : "";
}

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H
