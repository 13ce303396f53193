// TerminateThread stops the target where it stands, whatever it is doing: from
// its return on, nothing of the target's routine or of destructors of its
// frames runs again, the exit code is the one given and the handle is
// signalled.
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
    bool blocksInTheFirstStep = false;
    bool suspendFirst = false;  // SuspendThread once it runs
};

const TargetState kStates[] = {
    {"Spinning", [] {}},
    {"SleepingInTheRuntime", [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }},
    {"WaitingOnAConditionVariable",
     [] {
         std::mutex mutex;
         std::unique_lock<std::mutex> lock(mutex);
         std::condition_variable().wait_for(lock, std::chrono::milliseconds(1));
     }},
    {"WaitingOnAnEvent", [] { pf::WaitForSingleObject(gNever, 1); }},
    {"SleepingAlertably", [] { pf::SleepEx(1, TRUE); }},
    {"InsideTheLayersOwnSteps",
     [] {
         pf::SetEvent(gBusy);
         pf::WaitForSingleObject(gBusy, 0);
     }},
    {"BlockedOnACriticalSection", [] { pf::EnterCriticalSection(&gHeld); }, true},
    {"InASignalHandler",
     [] {
         pf::signal(SIGTERM, SpinInHandler);
         pf::raise(SIGTERM);
     },
     true},
    {"Suspended", [] {}, false, true},
};

void PrintTo(const TargetState& state, std::ostream* out) { *out << state.name; }

struct TerminateThreadTest : testing::TestWithParam<TargetState> {
    static void SetUpTestSuite() {
        gNever = NewEvent(TRUE);
        gBusy = NewEvent();
        pf::InitializeCriticalSection(&gHeld);
    }
};

}  // namespace

TEST_P(TerminateThreadTest, TargetStopsAtOnceWithTheGivenCode) {
    const TargetState& state = GetParam();
#if defined(RVSYS_SANITIZER_THREAD)
    if (std::string(state.name) == "InASignalHandler")
        GTEST_SKIP() << "ThreadSanitizer holds signals back inside a handler";
#endif
    gMarker = 0;
    pf::EnterCriticalSection(&gHeld);
    HANDLE thread = pf::CreateThread(nullptr, 0, Loop, reinterpret_cast<LPVOID>(state.step), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (gMarker.load() < (state.blocksInTheFirstStep ? 1u : 3u)) std::this_thread::yield();
    pf::Sleep(20);  // into the step's call
    ASSERT_EQ(state.suspendFirst ? pf::SuspendThread(thread) : 0u, 0u);
    ASSERT_EQ(pf::TerminateThread(thread, 0xC0FFEE), TRUE);
    const std::uint64_t after = gMarker.load();
    pf::Sleep(200);
    EXPECT_EQ(gMarker.load(), after);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 1000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
    DWORD code = 0;
    pf::GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0xC0FFEEu);
    pf::LeaveCriticalSection(&gHeld);
    pf::CloseHandle(thread);
}

INSTANTIATE_TEST_SUITE_P(States, TerminateThreadTest, ::testing::ValuesIn(kStates),
                         [](const auto& row) { return std::string(row.param.name); });

// Created suspended and terminated before it ran: its routine never starts.
TEST(Termination, ThreadCreatedSuspendedNeverStarts) {
    gMarker = 0;
    HANDLE thread =
        pf::CreateThread(nullptr, 0, Loop, reinterpret_cast<LPVOID>(kStates[0].step), CREATE_SUSPENDED, nullptr);
    ASSERT_EQ(pf::TerminateThread(thread, 4), TRUE);
    EXPECT_EQ(pf::WaitForSingleObject(thread, 1000 * rvsys::test::TimeScale()), WAIT_OBJECT_0);
    EXPECT_EQ(gMarker.load(), 0u);
    pf::CloseHandle(thread);
}
