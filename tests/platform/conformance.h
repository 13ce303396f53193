// What the platform tests share: the layer's names, and small helpers.
#ifndef RVSYS_TESTS_PLATFORM_CONFORMANCE_H
#define RVSYS_TESTS_PLATFORM_CONFORMANCE_H

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;
using rvsys::test::Clock;
using rvsys::test::ElapsedMs;

// A real handle of the calling thread, usable from other threads.
inline HANDLE DuplicateOwnHandle() {
    HANDLE self = nullptr;
    EXPECT_EQ(pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS),
              TRUE);
    return self;
}

inline DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_EQ(pf::GetExitCodeThread(thread, &code), TRUE);
    return code;
}

// A semaphore name no other test or process uses.
inline std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "rvsys-" + std::to_string(rvsys::test::ProcessId()) + "-" + tag + "-" + std::to_string(counter++);
}

// A semaphore's count, read as the library reads it: release one, take it back.
inline LONG CountOf(HANDLE semaphore) {
    LONG previous = -1;
    if (pf::ReleaseSemaphore(semaphore, 1, &previous) == FALSE) return -1;
    EXPECT_EQ(pf::WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    return previous;
}

#endif  // RVSYS_TESTS_PLATFORM_CONFORMANCE_H
