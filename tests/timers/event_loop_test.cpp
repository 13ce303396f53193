// TimersAndEventManager: on a scripted clock, which pass fires which timer, the
// queue operations, clock jumps and how the loop ends; then requests from real
// threads.
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/TimersAndEventManager.h>

#include <cstring>
#include <random>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace platform = rvsys::platform;
using TimerEntry = TimersAndEventManager::TimerEntry;

[[maybe_unused]] void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }

// Drives the loop pass by pass on a scripted clock. The loop's event is
// signalled in every pass, so each wait returns at once; the event callback
// stands for the time the wait took: it moves both clocks by one period, runs
// the test's hook, and ceases after the last pass. A timer's name is its user
// data, interned: one name, one pointer.
class EventLoop : public ::testing::Test {
public:
    EventLoop() {
        current = this;
        sTickMs = platform::GetTickCount();  // from the real one: the uptime clock sees no wrap
        sWallMs = 1700000000000ull;
        mPrevious = platform::SetClockSource(&kSource);
        EXPECT_EQ(event.Create(1, 0), 1);
    }
    ~EventLoop() override { platform::SetClockSource(mPrevious); }

    // hook(n) runs in pass n after the clocks moved; pass passes + 1 ceases at once.
    bool Run(int passes, std::function<void(int)> hook = nullptr) {
        mPasses = passes;
        mHook = std::move(hook);
        loop.SetEventCallback(&OnWait);
        event.SetEvent();
        return loop.Start(event);
    }
    static void Record(void* name) {
        current->fired += (current->fired.empty() ? "" : " ") + std::string(static_cast<const char*>(name)) + "@" +
                          std::to_string(current->pass);
    }
    static void* Name(const std::string& name) {
        static std::set<std::string> names;
        return const_cast<char*>(names.insert(name).first->c_str());
    }
    void Add(const std::string& timers) {  // "A+150": A is due 150 ms from now
        const unsigned long long now = loop.GetKeyTime();
        std::istringstream in(timers);
        for (std::string timer; in >> timer;) {
            const auto plus = timer.find('+');
            loop.AddTimerFromCallback(now + std::stoull(timer.substr(plus + 1)), &Record,
                                      Name(timer.substr(0, plus)));
        }
    }
    // True when the entry's name is one of `names` (names are no part of another).
    static bool Named(const TimerEntry& entry, const char* names) {
        return entry.second.second && std::strstr(names, static_cast<const char*>(entry.second.second));
    }

    static constexpr unsigned int kPeriod = 100;
    static inline EventLoop* current = nullptr;
    static inline std::atomic<std::uint64_t> sTickMs{0}, sWallMs{0};
    TimersAndEventManager loop{kPeriod};
    ThreadEvent event;  // auto-reset, with a lock
    int pass = 0;
    std::string fired;  // "name@pass ..." in firing order

private:
    static void OnWait(void*) {
        if (++current->pass > current->mPasses) return current->loop.CeaseExecution();
        sTickMs += kPeriod;
        sWallMs += kPeriod;
        if (current->mHook) current->mHook(current->pass);
        current->event.SetEvent();
    }
    static constexpr platform::ClockSource kSource{
        [] { return static_cast<platform::DWORD>(sTickMs.load()); },
        [](platform::FILETIME* time) {
            const std::uint64_t units = sWallMs.load() * 10000u + 116444736000000000ull;
            time->dwLowDateTime = static_cast<platform::DWORD>(units);
            time->dwHighDateTime = static_cast<platform::DWORD>(units >> 32);
        }};
    const platform::ClockSource* mPrevious;
    int mPasses = 0;
    std::function<void(int)> mHook;
};

}  // namespace

#if defined(RVSYS_PASS_LOCKS)
// This build is linked with --wrap for the platform's EnterCriticalSection
// (Linux, GNU ld): it counts what the loop's thread enters while recording.
namespace {
thread_local std::set<const void*>* tEntered = nullptr;
}  // namespace

// NOLINTBEGIN(bugprone-reserved-identifier): the names the linker's --wrap option gives
extern "C" void __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs);
extern "C" void __wrap__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs) {
    if (tEntered != nullptr) tEntered->insert(cs);
    __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(cs);
}
// NOLINTEND(bugprone-reserved-identifier)

// An idle pass, or one that fires a timer, takes only the event's lock, around its wait.
TEST_F(EventLoop, APassWithNothingQueuedTakesOnlyTheEventsLock) {
    std::set<const void*> entered;
    Add("timer+150");
    tEntered = &entered;
    EXPECT_TRUE(Run(20));
    tEntered = nullptr;
    EXPECT_EQ(fired, "timer@2");
    EXPECT_EQ(entered.size(), 1u);
}
#else

// A timer fires in the first pass strictly past its key, earliest first; equal
// keys fire in the order they were added.
TEST_F(EventLoop, FiresInKeyOrderInTheFirstPassStrictlyPastTheKey) {
    Add("A+150 B+100 C+100 D+250 E+99");  // B, C: equal to pass 1's time, not yet due
    EXPECT_TRUE(Run(3));
    EXPECT_EQ(fired, "E@1 B@2 C@2 A@2 D@3");
}

TEST_F(EventLoop, CallbacksChangeTheQueueDuringTheFiringWalk) {
    const auto walker = [](void* name) {
        Record(name);
        current->loop.AddTimerFromCallback(current->loop.GetKeyTime() - 95, &Record, Name("past"));  // due: this pass
        current->loop.AddTimerFromCallback(0u, &Record, Name("zero"));  // key == now: next pass
        current->loop.ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "victim"); });
        current->loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "postponed"); }, 150);
        current->loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "early"); }, -450);
    };
    loop.AddTimerFromCallback(loop.GetKeyTime() + 10, walker, Name("walker"));
    Add("victim+20 postponed+30 after+40 early+500");  // postponed to pass 2, early still in pass 1
    EXPECT_TRUE(Run(2));
    EXPECT_EQ(fired, "walker@1 past@1 after@1 early@1 zero@2 postponed@2");
}

// Backwards the tolerance is 200 ms, forwards period/5 + 500 ms; the jump is
// reported in whole seconds, truncated toward zero.
TEST_F(EventLoop, ClockJumpsBeyondTheTolerancesAreReportedInWholeSeconds) {
    // Pass n's wall clock deviates by deviation[n - 1] from one period on.
    static const std::vector<std::int64_t> deviation{0,   -500, -150, -200,  -201,  520,
                                                     521, 1999, 2000, -1000, -2500, 3600000};
    loop.SetRealTime();
    loop.SetTimeHasChangedCallback([](void*, int seconds) { Record(Name("jump" + std::to_string(seconds))); });
    EXPECT_TRUE(Run(static_cast<int>(deviation.size()), [](int n) { sWallMs += deviation[n - 1u]; }));
    EXPECT_EQ(fired, "jump0@2 jump0@5 jump0@7 jump1@8 jump2@9 jump-1@10 jump-2@11 jump3600@12");
}

TEST_F(EventLoop, AJumpWithoutACallbackThrowsMinusOne) {
    loop.SetRealTime();
    try {
        Run(1, [](int) { sWallMs += 10000; });
        ADD_FAILURE() << "no throw";
    } catch (int value) {
        EXPECT_EQ(value, -1);
    }
}

// So the callback can move or clear timers before they are found due.
TEST_F(EventLoop, TheTimeChangeCallbackRunsBeforeThePassFires) {
    loop.SetRealTime();
    Add("due+50 ahead+10600");  // ahead: 500 ms past pass 1's time
    loop.SetTimeHasChangedCallback([](void*, int) {
        current->loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "ahead"); }, -1000);
        current->loop.ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "due"); });
    });
    EXPECT_TRUE(Run(1, [](int) { sWallMs += 10000; }));
    EXPECT_EQ(fired, "ahead@1");
}

TEST_F(EventLoop, CeasedFromTheEventCallbackAPassDoesNothing) {
    Add("due+50");
    loop.RemoveTimerFromOutside(Name("due"));
    EXPECT_TRUE(Run(1, [&](int) { loop.CeaseExecution(); }));
    EXPECT_EQ(fired, "");
    EXPECT_FALSE(loop.IsTimersQueueEmpty());
}

// A null callback is dropped when due; CeaseExecution before Start has no effect.
TEST_F(EventLoop, CeasedFromATimerAPassFiresTheRestOfItsDueTimers) {
    Add("a+0");
    loop.AddTimerFromCallback(0u, &Cease, &loop);
    loop.AddTimerFromCallback(0u, nullptr, nullptr);
    Add("b+0");
    loop.CeaseExecution();
    EXPECT_TRUE(Run(5));
    EXPECT_EQ(fired, "a@1 b@1");
}

// A removal takes every timer with its user data, whatever its callback or
// key, and the additions queued before it but not after.
TEST_F(EventLoop, OutsideRequestsApplyInTheOrderTheyCame) {
    Add("kept+10 shared+20");
    loop.AddTimerFromCallback(30u, &Cease, Name("shared"));
    loop.AddTimerFromOutside(loop.GetKeyTime() + 50, &Record, Name("shared"));
    loop.RemoveTimerFromOutside(Name("shared"));
    loop.AddTimerFromOutside(loop.GetKeyTime() + 150, &Record, Name("shared"));
    EXPECT_TRUE(Run(2));
    EXPECT_EQ(fired, "kept@1 shared@2");
}

TEST_F(EventLoop, AnOutsideRequestWithoutMemoryIsLostAloneWithoutThrowing) {
    Add("kept+10");
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop.RemoveTimerFromOutside(Name("kept")));
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop.AddTimerFromOutside(loop.GetKeyTime() + 5, &Record, Name("lost")));
    rvsys::test::FailNothrowAllocations(0);
    loop.AddTimerFromOutside(loop.GetKeyTime() + 70, &Record, Name("last"));
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(fired, "kept@1 last@1");
}

// They keep their visit order and move once.
TEST_F(EventLoop, AdjustPutsMovedTimersAfterTheUnmovedOnesOnTheirNewKey) {
    Add("A+10 B+10 C+110 D+150");
    loop.AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "A B D"); }, 100);
    EXPECT_TRUE(Run(3));
    EXPECT_EQ(fired, "C@2 A@2 B@2 D@3");
}

// ---- Real threads ---------------------------------------------------------------------

// Four threads queue additions and removals; each models what its own requests
// leave: a removal takes every earlier addition of its user data, and additions
// of one key stay in the order they came.
TEST(EventLoopThreads, OutsideRequestsFromFourThreadsMatchAModel) {
    TimersAndEventManager loop(1);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    static std::vector<std::vector<void*> > model(4), seen(4);
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (std::uintptr_t t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1u);
            for (int i = 0; i < 3000; ++i) {
                void* data = reinterpret_cast<void*>(t * 100 + random() % 32 + 1);
                if (random() % 100 < 70) {
                    loop.AddTimerFromOutside(~0ull, &Cease, data);  // never due
                    model[t].push_back(data);
                } else {
                    loop.RemoveTimerFromOutside(data);
                    std::erase(model[t], data);
                }
                if (i % 500 == 0) event.SetEvent();
            }
            // Queued last: the pass that fires it has applied every request.
            if (++finished == 4) loop.AddTimerFromOutside(0, &Cease, &loop);
            event.SetEvent();
        });
    }
    EXPECT_TRUE(loop.Start(event));
    for (auto& worker : workers) worker.join();
    loop.ClearTimersFromCallbackIf([](const TimerEntry& e) {
        seen[(reinterpret_cast<std::uintptr_t>(e.second.second) - 1) / 100].push_back(e.second.second);
        return false;
    });
    EXPECT_EQ(seen, model);
}

namespace {
int gPasses = 0;
void CountPass(void* loop) {  // due again in the next pass, ceases in the sixth
    if (++gPasses == 6) return Cease(loop);
    static_cast<TimersAndEventManager*>(loop)->AddTimerFromCallback(0u, &CountPass, loop);
}
}  // namespace

// An event never created fails every wait: each pass sleeps its period instead
// of spinning.
TEST(EventLoopThreads, AnUncreatedEventMakesEachPassSleepItsPeriod) {
    TimersAndEventManager loop(10);
    ThreadEvent never;
    loop.AddTimerFromCallback(0u, &CountPass, &loop);
    const auto start = rvsys::test::Clock::now();
    EXPECT_TRUE(loop.Start(never));
    EXPECT_GE(rvsys::test::ElapsedMs(start), 6 * 10);
}

// Nothing can signal an event that was never created: a request from another
// thread ends an endless period at once, and so does CeaseExecution.
TEST(EventLoopThreads, AnOutsideRequestEndsAnUncreatedEventsEndlessSleep) {
    TimersAndEventManager loop(0xFFFFFFFF);
    ThreadEvent never;
    static std::atomic<int> fired{0};
    std::thread outside([&] {
        platform::Sleep(50);
        loop.AddTimerFromOutside(
            0, [](void*) { ++fired; }, nullptr);
        while (fired.load() == 0) platform::Sleep(1);
        loop.CeaseExecution();
    });
    EXPECT_TRUE(loop.Start(never));
    EXPECT_EQ(fired.load(), 1);
    outside.join();
}
#endif
