// The shared library loaded with dlopen, used for timers and unloaded, over
// and over: its timer service outlives each dlclose in mapped code, and the
// cycles add no threads and no descriptors.
#include <gtest/gtest.h>

#include <rvsysutils/TimerManager.h>

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <thread>

namespace {

std::atomic<int> gFired{0};
void Fired(unsigned long, void*) { ++gFired; }

// Entries of a /proc/self directory (of fd: with the one the iterator holds,
// the same at every count).
int EntriesOf(const char* path) {
    const std::filesystem::directory_iterator entries(path);
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Loads the library, runs one timer through a manager it makes on a thread
// that then ends (a thread that used the library keeps it loaded while it
// lives), and unloads it. The members are reached by their exported names.
void UseTimersOnce() {
    void* library = dlopen(RVSYS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto member = [&](const char* name) { return dlsym(library, name); };
    const auto construct = reinterpret_cast<void (*)(TimerManager*)>(member("_ZN12TimerManagerC1Ev"));
    const auto destruct = reinterpret_cast<void (*)(TimerManager*)>(member("_ZN12TimerManagerD1Ev"));
    const auto start = reinterpret_cast<long (*)(TimerManager*)>(member("_ZN12TimerManager5StartEv"));
    const auto add =
        reinterpret_cast<long (*)(TimerManager*, unsigned long, TimerCallback, void*, long, unsigned long, long)>(
            member("_ZN12TimerManager8AddTimerEmPFvmPvES0_lml"));
    ASSERT_TRUE(construct && destruct && start && add);
    std::thread([&] {
        alignas(TimerManager) unsigned char storage[sizeof(TimerManager)];
        auto* manager = reinterpret_cast<TimerManager*>(storage);
        construct(manager);
        const int before = gFired.load();
        EXPECT_EQ(start(manager), 1);
        EXPECT_EQ(add(manager, 1, Fired, nullptr, 5, 1, 0), 1);
        for (int i = 0; i < 5000 && gFired.load() == before; ++i) usleep(1000);
        EXPECT_EQ(gFired.load(), before + 1);
        destruct(manager);  // stops the timer thread
    }).join();
    EXPECT_EQ(dlclose(library), 0);
}

}  // namespace

TEST(TimerUnload, LoadUseUnloadCyclesLeaveNoThreadsOrDescriptors) {
    UseTimersOnce();
    const int threads = EntriesOf("/proc/self/task"), descriptors = EntriesOf("/proc/self/fd");
    for (int i = 0; i < 6; ++i) UseTimersOnce();
    // Ended threads may linger in the task list for a moment.
    for (int i = 0; i < 2000 && EntriesOf("/proc/self/task") > threads; ++i) usleep(1000);
    EXPECT_LE(EntriesOf("/proc/self/task"), threads);
    EXPECT_LE(EntriesOf("/proc/self/fd"), descriptors);
}
