// Semaphores of the Linux emulation, named ones shared between processes
// (semaphores.cpp). Private to platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_SEMAPHORES_H
#define RVSYS_PLATFORM_LINUX_SEMAPHORES_H

#include <sys/types.h>

#include <atomic>

#include "handles.h"

namespace rvsys::platform::posix {

// One handle's view of a semaphore: its own open file description, which holds
// a shared flock while open, and its own mapping of the page that the
// processes share. Unnamed semaphores have no file.
// Its finisher gives up the name, file and mapping; closing its last handle
// gives up the name and file at once (async-signal-safe).
struct SharedSemaphore;
struct SemObj : KObject {
    static constexpr Kind kKind = Kind::Semaphore;
    static const KindOps kOps;

    SemObj() : KObject(kKind) {}

    SharedSemaphore* page = nullptr;
    std::atomic<int> fd{-1};  // -1 when unnamed, and once the file part is closed
    // Open handles (a wait holds a reference, not a handle): at 0 the name and
    // file go, as a Windows name goes with its last handle.
    std::atomic<int> handles{0};
    pid_t owner = 0;      // the opening process: only it may unlink the name
    char path[272] = {};  // "/dev/shm/" and a file name of at most 255 bytes
};

// The semaphore a handle names, through a one-entry cache per thread (so the
// hot Lock/Unlock pair skips the table walk); null + error 6 otherwise.
// CachedSemaphore only looks in the cache and sets no error.
SemObj* ResolveSemaphore(HANDLE handle);
SemObj* CachedSemaphore(HANDLE handle);
// A wait on a semaphore whose reference the caller holds.
DWORD WaitForSemaphore(SemObj* semaphore, DWORD milliseconds, bool alertable);
// Takes one unit if one is free: lock-free, for the wait's fast path.
bool TryTakeSemaphore(SemObj* semaphore);

// Testing: `delay` (null: none) runs at the points where the open, create,
// close and release steps of different processes interleave.
void SetSemaphoreRaceDelay(void (*delay)());

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_SEMAPHORES_H
