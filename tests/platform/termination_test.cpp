// TerminateThread stops the target where it stands, whatever it is doing: from
// its return on, nothing of the target's routine or of destructors of its
// frames runs again, the exit code is the one given and the handle is
// signalled. The main thread's end ends the process only when it is the last.
#include <cctype>
#include <condition_variable>
#include <mutex>

#include "conformance.h"

namespace {

// Advanced by every target in its loop, and by a lot by the destructor of a
// frame of it: any change after TerminateThread returned means code ran.
std::atomic<std::uint64_t> gMarker{0};
HANDLE gNever = nullptr;  // a manual-reset event nobody signals
HANDLE gBusy = nullptr;   // an auto-reset event a target signals and takes again
CRITICAL_SECTION gHeld;   // held by the test while a target blocks on it

struct MarksWhenDestroyed {
    ~MarksWhenDestroyed() { gMarker.fetch_add(std::uint64_t{1} << 32); }
};

// Runs `step` (a void (*)()) for ever, marking each turn.
DWORD RVSYS_WINAPI Loop(LPVOID step) {
    MarksWhenDestroyed frame;
    for (;;) {
        gMarker.fetch_add(1);
        reinterpret_cast<void (*)()>(step)();
    }
}
void SpinInHandler(int) {
    for (;;) gMarker.fetch_add(1);
}

struct TargetState {
    const char* name;
    void (*step)();
    bool blocksInTheFirstStep;
    bool suspendFirst;  // SuspendThread once it runs
};

const TargetState kStates[] = {
    {"spinning in its own code", [] {}, false, false},
    {"sleeping in the runtime (nanosleep)", [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }, false,
     false},
    {"waiting on a std::condition_variable",
     [] {
         std::mutex mutex;
         std::condition_variable condition;
         std::unique_lock<std::mutex> lock(mutex);
         condition.wait_for(lock, std::chrono::milliseconds(1));
     },
     false, false},
    {"waiting on an event of the layer", [] { pf::WaitForSingleObject(gNever, 1); }, false, false},
    {"sleeping alertably", [] { pf::SleepEx(1, TRUE); }, false, false},
    {"inside the layer's own steps",
     [] {
         pf::SetEvent(gBusy);
         pf::WaitForSingleObject(gBusy, 0);
     },
     false, false},
    {"blocked on a critical section", [] { pf::EnterCriticalSection(&gHeld); }, true, false},
    {"in a signal handler",
     [] {
         pf::signal(SIGTERM, SpinInHandler);
         pf::raise(SIGTERM);
     },
     true, false},
    {"suspended", [] {}, false, true},
};

void PrintTo(const TargetState& state, std::ostream* out) { *out << state.name; }

class TerminateThreadTest : public ::testing::TestWithParam<TargetState> {
protected:
    static void SetUpTestSuite() {
        gNever = pf::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        gBusy = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        pf::InitializeCriticalSection(&gHeld);
    }
};

}  // namespace

TEST_P(TerminateThreadTest, TargetStopsAtOnceWithTheGivenCode) {
    const TargetState& state = GetParam();
#if defined(RVSYS_SANITIZER_THREAD)
    if (std::string(state.name) == "in a signal handler") {
        GTEST_SKIP() << "ThreadSanitizer holds signals back inside a handler";
    }
#endif
    gMarker = 0;
    pf::EnterCriticalSection(&gHeld);
    HANDLE thread = pf::CreateThread(nullptr, 0, Loop, reinterpret_cast<LPVOID>(state.step), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (gMarker.load() < (state.blocksInTheFirstStep ? 1u : 3u)) std::this_thread::yield();
    pf::Sleep(20);  // into the step's call
    if (state.suspendFirst) {
        ASSERT_EQ(pf::SuspendThread(thread), 0u);
    }

    ASSERT_EQ(pf::TerminateThread(thread, 0xC0FFEE), TRUE);
    const std::uint64_t after = gMarker.load();
    pf::Sleep(200);
    EXPECT_EQ(gMarker.load(), after);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 1000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread), 0xC0FFEEu);
    pf::LeaveCriticalSection(&gHeld);
    pf::CloseHandle(thread);
}

INSTANTIATE_TEST_SUITE_P(States, TerminateThreadTest, ::testing::ValuesIn(kStates),
                         [](const ::testing::TestParamInfo<TargetState>& row) {
                             std::string name;
                             for (const char* c = row.param.name; *c != '\0'; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             }
                             return name;
                         });

// Created suspended and terminated before it ran: its routine never starts.
TEST(Termination, ThreadCreatedSuspendedNeverStarts) {
    gMarker = 0;
    HANDLE thread =
        pf::CreateThread(nullptr, 0, Loop, reinterpret_cast<LPVOID>(kStates[0].step), CREATE_SUSPENDED, nullptr);
    ASSERT_EQ(pf::TerminateThread(thread, 4), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 1000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread), 4u);
    EXPECT_EQ(gMarker.load(), 0u);
    pf::CloseHandle(thread);
}

namespace {

DWORD RVSYS_WINAPI TerminateTheMainThread(LPVOID mainThread) {
    pf::TerminateThread(static_cast<HANDLE>(mainThread), 5);
    pf::Sleep(50);
    rvsys::test::WriteOut("still running\n");
    return 0;
}

}  // namespace

// ThreadSanitizer's runtime never sees a thread end that glibc does not see.
#if defined(RVSYS_SANITIZER_THREAD)
#define RVSYS_SKIP_UNDER_TSAN() GTEST_SKIP() << "the sanitizer runtime does not follow a raw thread exit"
#else
#define RVSYS_SKIP_UNDER_TSAN() (void)0
#endif

RVSYS_HELPER(TerminatedMainThread) {
    HANDLE self = DuplicateOwnHandle();
    pf::CreateThread(nullptr, 0, TerminateTheMainThread, self, 0, nullptr);
    for (;;) gMarker.fetch_add(1);
}

RVSYS_HELPER(MainThreadTerminatesItself) {
    pf::TerminateThread(pf::GetCurrentThread(), 7);
    rvsys::test::WriteOut("ran on\n");
    return 1;
}

// The rest of the process runs on after its main thread is terminated, and the
// process ends when its last thread does.
TEST(Termination, TerminatedMainThreadLeavesTheOtherThreadsRunning) {
    RVSYS_SKIP_UNDER_TSAN();
    std::string output;
    rvsys::test::RunHelper("TerminatedMainThread", &output);
    EXPECT_EQ(output, "still running\n");
}

// A main thread that terminates itself as the last thread ends the process
// with its exit code.
TEST(Termination, LastThreadTerminatingItselfEndsTheProcessWithItsCode) {
    std::string output;
    EXPECT_EQ(rvsys::test::RunHelper("MainThreadTerminatesItself", &output), 7);
    EXPECT_EQ(output, "");
}
