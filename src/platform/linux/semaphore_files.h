// The files that carry a named semaphore between processes: its name, the
// page every handle maps, opening and publishing it, and giving the name up
// (semaphore_files.cpp). Private to platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_SEMAPHORE_FILES_H
#define RVSYS_PLATFORM_LINUX_SEMAPHORE_FILES_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "semaphores.h"

namespace rvsys::platform::posix {

inline constexpr std::size_t kSemaphorePageSize = 4096;
inline constexpr std::size_t kMaxSemaphoreName = 259;  // characters, prefix included

// The page shared by every handle of one semaphore, in every process.
struct SharedSemaphore {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t type;
    std::int32_t maximum;
    std::atomic<std::uint32_t> count;    // the futex word
    std::atomic<std::uint32_t> waiters;  // a hint: killed waiters leave it too high
    std::uint32_t global;
    std::uint32_t nameLength;
    char name[kMaxSemaphoreName + 1];
};
static_assert(sizeof(SharedSemaphore) <= kSemaphorePageSize);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// Fills a fresh SemObj for `name`, creating the object when `create` (with
// `initial` of `maximum` units); sets `existed` when create found one.
// ERROR_SUCCESS or the Windows error (the SemObj is then the caller's to free).
DWORD OpenNamed(SemObj* semaphore, const char* name, bool create, LONG initial, LONG maximum, bool& existed);
// Gives an unnamed semaphore its page, shared with fork children only. False
// when memory runs out.
bool MakeUnnamedPage(SemObj* semaphore, LONG initial, LONG maximum);
// The last handle is closed: the name and file go. Async-signal-safe.
void FinishFiles(SemObj* semaphore);
// The last reference is gone: a private zero page takes the page's place at
// the same address, so a late access through a closed handle stays harmless.
void ParkPage(SemObj* semaphore);

// The test's race delay (SetSemaphoreRaceDelay), run where the steps of
// different processes interleave.
extern std::atomic<void (*)()> gSemaphoreRaceDelay;
inline void RaceDelay() {
    if (void (*delay)() = gSemaphoreRaceDelay.load(std::memory_order_relaxed)) delay();
}

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_SEMAPHORE_FILES_H
