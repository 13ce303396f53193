// Names and count probes shared by the Semaphore tests.
#ifndef RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H
#define RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Linux keeps a named semaphore in a file; Windows leaves nothing behind.
inline bool NameLeftInDevShm(const std::string& fullName) {
#if defined(_WIN32)
    (void)fullName;
    return false;
#else
    struct stat status;
    return stat(("/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + fullName).c_str(), &status) == 0;
#endif
}

// The system's text for an error code, as a report quotes it.
inline std::string SystemText(platform::DWORD code) {
    using namespace rvsys::platform;
    char text[512];
    const DWORD length = platform::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                                  code, LANG_USER_DEFAULT, text, sizeof text, nullptr);
    return std::string(text, length);
}

// `text` as the C++ streams write it: Windows' text mode turns "\n" into "\r\n".
inline std::string InTextMode(const std::string& text) {
#if defined(_WIN32)
    std::string written;
    for (char c : text) written += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return written;
#else
    return text;
#endif
}

// Passes a base name to a helper process through its environment.
inline void SetHelperBase(const std::string& base) { SetEnvironment("RVSYS_TEST_SEMAPHORE_BASE", base); }
inline std::string HelperBase() {
    const char* base = std::getenv("RVSYS_TEST_SEMAPHORE_BASE");
    return base != nullptr ? base : "";
}

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_SEMAPHORES_SEMAPHORE_SUPPORT_H
