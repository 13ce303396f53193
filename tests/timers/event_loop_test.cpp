// TimersAndEventManager: on a scripted clock, which pass fires which timer, the
// queue operations, clock jumps and how the loop ends; then requests from real
// threads.
#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/TimersAndEventManager.h>

#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace platform = rvsys::platform;

// Drives a TimersAndEventManager pass by pass on a scripted clock. The loop's
// event is signalled again in every pass, so each wait returns at once; the
// event callback stands for the time the wait took: it moves the clock by one
// period, runs the test's hook, and ceases the loop after the last pass. The
// pass in which each timer fires is known exactly, without sleeping. Timer user
// data are interned names: the same name, the same pointer. Plain callback
// functions reach the running test through `current`.
class EventLoop : public ::testing::Test {
public:
    using TimerEntry = TimersAndEventManager::TimerEntry;

    // Replaces the tick count (starting at the real one, so the uptime clock
    // sees no wrap) and the wall clock (at a fixed date) while the test lives.
    EventLoop() {
        current = this;
        sTickMs = platform::GetTickCount();
        sWallMs = 1700000000000ull;  // 2023-11-14 22:13:20 UTC
        mPrevious = platform::SetClockSource(&kSource);
        EXPECT_EQ(event.Create(1, 0), 1);
    }
    ~EventLoop() override { platform::SetClockSource(mPrevious); }
    void JumpWall(std::int64_t ms) { sWallMs += static_cast<std::uint64_t>(ms); }
    unsigned long long Now() { return loop->GetKeyTime(); }

    // Runs `passes` passes; hook(n) runs in pass n after the clock has moved.
    // Pass passes + 1 ceases at once: nothing is applied or fired in it.
    bool Run(int passes, std::function<void(int)> hook = nullptr) {
        mPasses = passes;
        mHook = std::move(hook);
        pass = 0;
        loop->SetEventCallback(&EventLoop::OnWait);
        loop->SetEventUserData(this);
        event.SetEvent();
        return loop->Start(event);
    }

    // Timer callback: logs "name@pass".
    static void Record(void* name) { Append(current->fired, static_cast<const char*>(name), "@", current->pass); }
    static void* Name(const std::string& name) {
        static std::set<std::string> names;
        return const_cast<char*>(names.insert(name).first->c_str());
    }
    // Adds "name+offset ..." (Listing's form) to fire Record, offsets from `base`.
    void Add(unsigned long long base, const std::string& timers) {
        std::istringstream in(timers);
        for (std::string timer; in >> timer;) {
            const auto plus = timer.find('+');
            const unsigned long long key = base + std::stoull(timer.substr(plus + 1));
            loop->AddTimerFromCallback(key, &Record, Name(timer.substr(0, plus)));
        }
    }
    // For predicates: true when the entry's name is one of the space-separated `names`.
    static bool Named(const TimerEntry& entry, const char* names) {
        const auto* name = static_cast<const char*>(entry.second.second);
        return name && (" " + std::string(names) + " ").find(" " + std::string(name) + " ") != std::string::npos;
    }
    // The queue in firing order as "name+offset", offsets from `base`. Goes
    // through ClearTimersFromCallbackIf, so queued requests are applied first.
    std::string Listing(unsigned long long base) {
        static std::string text;
        static unsigned long long from;
        text.clear();
        from = base;
        loop->ClearTimersFromCallbackIf([](const TimerEntry& entry) {
            const auto* name = static_cast<const char*>(entry.second.second);
            Append(text, name ? name : "null", "+", static_cast<std::int64_t>(entry.first - from));
            return false;
        });
        return text;
    }

    static inline EventLoop* current = nullptr;  // the running test
    unsigned int period = 100;
    std::unique_ptr<TimersAndEventManager> loop = std::make_unique<TimersAndEventManager>(period);
    ThreadEvent event;  // auto-reset, with a lock
    int pass = 0;
    std::string fired;  // "name@pass ..." in firing order

private:
    // Appends "name<separator>number" to a space-separated log.
    static void Append(std::string& log, const char* name, const char* separator, std::int64_t number) {
        log += (log.empty() ? "" : " ") + std::string(name) + separator + std::to_string(number);
    }
    static void OnWait(void* self) {
        auto& test = *static_cast<EventLoop*>(self);
        if (++test.pass > test.mPasses) return test.loop->CeaseExecution();
        sTickMs += test.period;
        sWallMs += test.period;
        if (test.mHook) test.mHook(test.pass);
        test.event.SetEvent();
    }
    static platform::DWORD Tick() { return static_cast<platform::DWORD>(sTickMs.load()); }
    static void Wall(platform::FILETIME* time) {
        const std::uint64_t units = sWallMs.load() * 10000u + 116444736000000000ull;
        time->dwLowDateTime = static_cast<platform::DWORD>(units);
        time->dwHighDateTime = static_cast<platform::DWORD>(units >> 32);
    }

    static inline std::atomic<std::uint64_t> sTickMs{0}, sWallMs{0};
    static constexpr platform::ClockSource kSource{Tick, Wall};
    const platform::ClockSource* mPrevious;
    int mPasses = 0;
    std::function<void(int)> mHook;
};

[[maybe_unused]] void Cease(void* loop) { static_cast<TimersAndEventManager*>(loop)->CeaseExecution(); }
[[maybe_unused]] void LogJump(void*, int seconds) {
    EventLoop::Record(const_cast<char*>(("jump" + std::to_string(seconds)).c_str()));
}

}  // namespace

#if defined(RVSYS_PASS_LOCKS)
// This build is linked with --wrap for the platform's EnterCriticalSection
// (Linux, GNU ld): every critical section entered on the loop's thread while
// recording is counted.
namespace {
thread_local std::set<const void*>* tEntered = nullptr;  // recording when set
}  // namespace

// NOLINTBEGIN(bugprone-reserved-identifier): the names the linker's --wrap option gives
extern "C" void __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs);
extern "C" void __wrap__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(_RTL_CRITICAL_SECTION* cs) {
    if (tEntered != nullptr) tEntered->insert(cs);
    __real__ZN5rvsys8platform20EnterCriticalSectionEP21_RTL_CRITICAL_SECTION(cs);
}
// NOLINTEND(bugprone-reserved-identifier)

// An idle pass, or one that fires a timer, takes only the event's lock, around
// its wait. (That applying outside requests takes the manager's mutex is shown
// under ThreadSanitizer by the four-thread run.)
TEST_F(EventLoop, APassWithNothingQueuedTakesOnlyTheEventsLock) {
    std::set<const void*> entered;
    Add(Now(), "timer+150");
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
    Add(Now(), "A+150 B+100 C+100 D+250 E+99");  // B, C: equal to pass 1's time, not yet due
    EXPECT_TRUE(Run(3));
    EXPECT_EQ(fired, "E@1 B@2 C@2 A@2 D@3");
}

TEST_F(EventLoop, AnUnsignedDelayCountsFromTheLoopsTime) {
    const auto base = Now();
    loop->AddTimerFromCallback(std::numeric_limits<unsigned int>::max(), &EventLoop::Record, Name("far"));
    EXPECT_EQ(Listing(base), "far+4294967295");
}

TEST_F(EventLoop, CallbacksChangeTheQueueDuringTheFiringWalk) {
    const auto base = Now();
    loop->AddTimerFromCallback(
        base + 10,
        [](void* name) {  // fired first, changes the queue under the firing walk
            Record(name);
            current->Add(current->Now() - 95, "past+0");                     // already due: this pass
            current->loop->AddTimerFromCallback(0u, &Record, Name("zero"));  // key == now: next pass
            current->loop->ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "victim"); });
            current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "postponed"); }, 150);
            current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "early"); }, -450);
        },
        Name("walker"));
    Add(base, "victim+20 postponed+30 after+40 early+500");  // postponed to pass 2, early still in pass 1
    EXPECT_TRUE(Run(2));
    EXPECT_EQ(fired, "walker@1 past@1 after@1 early@1 zero@2 postponed@2");
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

// Backwards the tolerance is 200 ms, forwards period/5 + 500 ms; the jump is
// reported in whole seconds, truncated toward zero.
TEST_F(EventLoop, ClockJumpsBeyondTheTolerancesAreReportedInWholeSeconds) {
    // Pass n's wall clock deviates by deviation[n - 1] from one period on.
    const std::vector<std::int64_t> deviation{0, -500, -150, -200, -201, 520, 521, 1999, 2000, -1000, -2500, 3600000};
    loop->SetRealTime();
    loop->SetTimeHasChangedCallback(&LogJump);
    EXPECT_TRUE(Run(static_cast<int>(deviation.size()), [&](int n) { JumpWall(deviation[n - 1u]); }));
    EXPECT_EQ(fired, "jump0@2 jump0@5 jump0@7 jump1@8 jump2@9 jump-1@10 jump-2@11 jump3600@12");
}

TEST_F(EventLoop, WithoutRealTimeAWallClockJumpIsIgnored) {
    EXPECT_TRUE(Run(3, [&](int) { JumpWall(3600000); }));
    EXPECT_EQ(fired, "");
}

// The loop's time is left as it was, and nothing fires.
TEST_F(EventLoop, AJumpWithoutACallbackThrowsMinusOneBeforeThePassFires) {
    loop->SetRealTime();
    const auto base = Now();
    Add(base, "kept+60");
    try {
        Run(1, [&](int) { JumpWall(10000); });
        ADD_FAILURE() << "no throw";
    } catch (int value) {
        EXPECT_EQ(value, -1);
    }
    EXPECT_EQ(Listing(base), "kept+60");
}

// So the callback can move or clear timers before they are found due.
TEST_F(EventLoop, TheTimeChangeCallbackRunsBeforeThePassFires) {
    loop->SetRealTime();
    Add(Now(), "due+50 ahead+10600");  // ahead: 500 ms past pass 1's time
    loop->SetTimeHasChangedCallback([](void* data, int seconds) {
        LogJump(data, seconds);
        current->loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "ahead"); }, -1000);
        current->loop->ClearTimersFromCallbackIf([](const TimerEntry& e) { return Named(e, "due"); });
    });
    EXPECT_TRUE(Run(1, [&](int) { JumpWall(10000); }));
    EXPECT_EQ(fired, "jump10@1 ahead@1");
}

TEST_F(EventLoop, CeasedFromTheEventCallbackAPassDoesNothing) {
    Add(Now(), "due+50");
    loop->RemoveTimerFromOutside(Name("due"));
    EXPECT_TRUE(Run(1, [&](int) { loop->CeaseExecution(); }));
    EXPECT_EQ(fired, "");
    EXPECT_FALSE(loop->IsTimersQueueEmpty());
}

// A null callback is dropped when due; CeaseExecution before Start has no effect.
TEST_F(EventLoop, CeasedFromATimerAPassFiresTheRestOfItsDueTimers) {
    const auto base = Now();
    Add(base, "a+0");
    loop->AddTimerFromCallback(base, &Cease, loop.get());
    loop->AddTimerFromCallback(base, nullptr, nullptr);
    Add(base, "b+0");
    loop->CeaseExecution();
    EXPECT_TRUE(Run(5));
    EXPECT_EQ(fired, "a@1 b@1");
    EXPECT_EQ(pass, 1);
    EXPECT_TRUE(loop->IsTimersQueueEmpty());
}

TEST_F(EventLoop, ClearAllDropsQueuedRequests) {
    const auto base = Now();
    Add(base, "due+50");
    loop->RemoveTimerFromOutside(Name("due"));
    loop->ClearAllTimersFromCallback();
    Add(base, "due+0");
    EXPECT_TRUE(Run(1));
    EXPECT_EQ(fired, "due@1");  // the queued removal was dropped with the old timer
}

// A removal takes every timer with its user data, whatever its callback or
// key, and the additions queued before it but not after.
TEST_F(EventLoop, OutsideRequestsApplyInTheOrderTheyCame) {
    const auto base = Now();
    Add(base, "kept+10 shared+20");
    loop->AddTimerFromCallback(base + 30, &Cease, Name("shared"));
    loop->AddTimerFromOutside(base + 50, &EventLoop::Record, Name("shared"));
    loop->RemoveTimerFromOutside(Name("shared"));
    loop->AddTimerFromOutside(base + 60, &EventLoop::Record, Name("shared"));
    EXPECT_EQ(Listing(base), "kept+10 shared+60");
}

TEST_F(EventLoop, AnOutsideRequestWithoutMemoryIsLostAloneWithoutThrowing) {
    const auto base = Now();
    Add(base, "kept+10");
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->RemoveTimerFromOutside(Name("kept")));
    rvsys::test::FailNothrowAllocations(1);
    EXPECT_NO_THROW(loop->AddTimerFromOutside(base + 5, &EventLoop::Record, Name("lost")));
    rvsys::test::FailNothrowAllocations(0);
    loop->AddTimerFromOutside(base + 70, &EventLoop::Record, Name("last"));
    EXPECT_EQ(Listing(base), "kept+10 last+70");
}

// They keep their visit order and move once.
TEST_F(EventLoop, AdjustPutsMovedTimersAfterTheUnmovedOnesOnTheirNewKey) {
    const auto base = Now();
    Add(base, "A+10 B+10 C+30 D+40");
    loop->AdjustTimersFromCallbackIf([](const TimerEntry& e) { return EventLoop::Named(e, "A B D"); }, 20);
    EXPECT_EQ(Listing(base), "C+30 A+30 B+30 D+60");
}

TEST_F(EventLoop, AThrowingAdjustPredicateLeavesEveryTimerQueued) {
    const auto base = Now();
    Add(base, "A+10 B+10 C+30");
    const auto throwing = [](const TimerEntry& e) {
        return EventLoop::Named(e, "B") ? throw std::runtime_error("predicate") : true;
    };
    EXPECT_THROW(loop->AdjustTimersFromCallbackIf(throwing, -100), std::runtime_error);
    EXPECT_EQ(Listing(base), "A+-90 B+10 C+30");  // A, selected before it, moved
}

// ---- Real threads ---------------------------------------------------------------------

// Four threads queue additions and removals; each models what its own requests
// leave: a removal takes every earlier addition of its user data, and additions
// of one key stay in the order they came.
TEST(EventLoopThreads, OutsideRequestsFromFourThreadsMatchAModel) {
    TimersAndEventManager loop(1);
    ThreadEvent event;
    ASSERT_EQ(event.Create(1, 0), 1);
    static std::vector<std::vector<void*> > model, seen;
    model.assign(4, {});
    seen.assign(4, {});
    const unsigned long long never = loop.GetKeyTime() + 1000000000ull;  // never due
    std::vector<std::thread> workers;
    for (std::uintptr_t t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1u);
            for (int i = 0; i < 3000; ++i) {
                const auto roll = random() % 100;
                void* data = reinterpret_cast<void*>(t * 100 + random() % 32 + 1);
                if (roll < 70) {
                    loop.AddTimerFromOutside(
                        never, [](void*) {}, data);
                    model[t].push_back(data);
                } else {
                    loop.RemoveTimerFromOutside(data);
                    std::erase(model[t], data);
                }
                if (i % 500 == 0) event.SetEvent();
            }
        });
    }
    // Queued after every request: the pass that fires it has applied them all.
    std::thread closer([&] {
        for (auto& worker : workers) worker.join();
        loop.AddTimerFromOutside(0, &Cease, &loop);
        event.SetEvent();
    });
    EXPECT_TRUE(loop.Start(event));
    closer.join();
    loop.ClearTimersFromCallbackIf([](const EventLoop::TimerEntry& e) {
        seen[(reinterpret_cast<std::uintptr_t>(e.second.second) - 1) / 100].push_back(e.second.second);
        return false;
    });
    EXPECT_EQ(seen, model);
}

namespace {
int gPasses = 0;
void CountPass(void* loop) {
    if (++gPasses == 6) return Cease(loop);
    static_cast<TimersAndEventManager*>(loop)->AddTimerFromCallback(0u, &CountPass, loop);  // due next pass
}
}  // namespace

// An event never created fails every wait: each pass sleeps its period instead
// of spinning.
TEST(EventLoopThreads, AnUncreatedEventMakesEachPassSleepItsPeriod) {
    TimersAndEventManager loop(10);
    ThreadEvent never;
    gPasses = 0;
    loop.AddTimerFromCallback(0u, &CountPass, &loop);
    const auto start = rvsys::test::Clock::now();
    EXPECT_TRUE(loop.Start(never));
    EXPECT_EQ(gPasses, 6);
    EXPECT_GE(rvsys::test::ElapsedMs(start), 6 * 10);
}
// Nothing can signal an event that was never created: a request from another
// thread ends an endless period at once, and so does CeaseExecution.
TEST(EventLoopThreads, AnOutsideRequestEndsAnUncreatedEventsEndlessSleep) {
    TimersAndEventManager loop(0xFFFFFFFF);
    ThreadEvent never;
    std::atomic<int> fired{0};
    std::thread outside([&] {
        platform::Sleep(50);
        loop.AddTimerFromOutside(
            0, [](void* count) { ++*static_cast<std::atomic<int>*>(count); }, &fired);
        while (fired.load() == 0) platform::Sleep(1);
        loop.CeaseExecution();
    });
    EXPECT_TRUE(loop.Start(never));
    EXPECT_EQ(fired.load(), 1);
    outside.join();
}
#endif
