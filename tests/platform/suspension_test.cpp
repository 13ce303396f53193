// A running thread is really stopped by SuspendThread (Linux: by a signal whose
// handler waits). Not under ThreadSanitizer, which holds signals back until the
// interrupted thread calls into the runtime.
#include "conformance.h"

namespace {
std::atomic<bool> gStop{false};
std::atomic<unsigned long> gCounter{0};

DWORD RVSYS_WINAPI Count(LPVOID) {
    while (!gStop.load(std::memory_order_relaxed)) gCounter.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
}  // namespace

TEST(Suspension, RunningThreadStopsUntilResumed) {
    HANDLE thread = pf::CreateThread(nullptr, 0, Count, nullptr, 0, nullptr);
    while (gCounter.load() < 1000) std::this_thread::yield();
    ASSERT_EQ(pf::SuspendThread(thread), 0u);
    const unsigned long frozen = gCounter.load();
    pf::Sleep(30);
    EXPECT_EQ(gCounter.load(), frozen);
    EXPECT_EQ(pf::ResumeThread(thread), 1u);
    const unsigned long resumed = gCounter.load();
    while (gCounter.load() == resumed) std::this_thread::yield();
    gStop = true;
    EXPECT_EQ(pf::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    pf::CloseHandle(thread);
}
