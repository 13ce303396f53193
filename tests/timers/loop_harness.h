// Drives a TimersAndEventManager pass by pass on a scripted clock. The loop's
// event is signalled again in every pass, so each wait returns at once; the
// event callback stands for the time the wait took: it moves the clock by one
// period, runs the test's hook, and ceases the loop after the last pass. The
// pass in which each timer fires is known exactly, without sleeping.
#ifndef RVSYS_TESTS_TIMERS_LOOP_HARNESS_H
#define RVSYS_TESTS_TIMERS_LOOP_HARNESS_H

#include <gtest/gtest.h>

#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/TimersAndEventManager.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace rvsys::test {

// Timer user data are interned names: the same name, the same pointer. Plain
// callback functions reach the running test through `current`.
class LoopTest : public ::testing::Test {
public:
    using TimerEntry = TimersAndEventManager::TimerEntry;

    // Replaces the tick count (starting at the real one, so the uptime clock
    // sees no wrap) and the wall clock (at a fixed date) while the test lives.
    LoopTest() {
        current = this;
        sTickMs = platform::GetTickCount();
        sWallMs = 1700000000000ull;  // 2023-11-14 22:13:20 UTC
        mPrevious = platform::SetClockSource(&kSource);
        EXPECT_EQ(event.Create(1, 0), 1);
    }
    ~LoopTest() override { platform::SetClockSource(mPrevious); }
    void JumpWall(std::int64_t ms) { sWallMs += static_cast<std::uint64_t>(ms); }
    unsigned long long Now() { return loop->GetKeyTime(); }

    // Runs `passes` passes; hook(n) runs in pass n after the clock has moved.
    // Pass passes + 1 ceases at once: nothing is applied or fired in it.
    bool Run(int passes, std::function<void(int)> hook = nullptr) {
        mPasses = passes;
        mHook = std::move(hook);
        pass = 0;
        loop->SetEventCallback(&LoopTest::OnWait);
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
            loop->AddTimerFromCallback(base + std::stoull(timer.substr(plus + 1)), &Record, Name(timer.substr(0, plus)));
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

    static inline LoopTest* current = nullptr;  // the running test
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
        auto& test = *static_cast<LoopTest*>(self);
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

}  // namespace rvsys::test

#endif  // RVSYS_TESTS_TIMERS_LOOP_HARNESS_H
