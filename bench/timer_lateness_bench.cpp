// Expiry lateness and drift of periodic timers, from the caller's point of
// view: the platform's waitable timers and TimerManager against loops that
// sleep with clock_nanosleep.
//
//   1. lateness: 1,000 periodic 10 ms timers, phases evenly staggered, for
//                10 s: from due time to callback start. The platform timers
//                (SetWaitableTimer with a completion routine, one owner thread
//                looping SleepEx(INFINITE, TRUE) as TimerManager's thread does)
//                against a clock_nanosleep(TIMER_ABSTIME) loop running the
//                same schedule on the timer service's own heap; TimerManager
//                against both.
//   2. drift:    one 1 ms periodic timer over 10,000 periods: how far its last
//                1,000 calls sit from the grid it started on, beside a loop
//                sleeping to the same grid (what the machine allows) and one
//                that sleeps 1 ms from "now" each time (what drift looks like).
//
// A run lasts seconds, which does not fit Google Benchmark's per-iteration
// model: this program runs candidates and baselines in interleaved rounds
// and prints the usual ratio table. Flags:
//   --timer_figures=12     which figures to run
//   --timer_rounds=5       rounds (each runs every kind once)
//   --timer_seconds=10     length of one lateness run
//   --timer_slack_ns=1     PR_SET_TIMERSLACK of every thread that waits for a timer
//   --ratio_json=<file>    the ratio tables as data, as every benchmark program
//                          writes them, with the lateness distributions and the
//                          early counts
#include <sys/prctl.h>
#include <time.h>

#include <rvsysutils/TimerManager.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/timer_heap.h"
#include "platform/linux/timer_service.h"
#include "platform/linux/timers.h"
#include "platform/platform.h"
#include "support/flags.h"
#include "support/ratio_table.h"
#include "support/system.h"

namespace {

namespace platform = rvsys::platform;
namespace posix = rvsys::platform::posix;
using rvsys::bench::Format;
using rvsys::bench::FormatTime;
using rvsys::bench::Median;
using rvsys::bench::MonotonicNs;
using rvsys::bench::RatioTable;
using rvsys::bench::SleepUntilNs;
using rvsys::bench::Target;

constexpr std::int64_t kNsPerMs = 1000000;

void SetSlack(unsigned long ns) { prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0); }
unsigned long Slack() { return static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)); }

// The due time the service gave a timer, read on the arming thread right after
// SetWaitableTimer (nothing else writes it until the timer expires): the
// exact origin of its grid.
std::int64_t ArmedDue(platform::HANDLE timer) { return posix::Peek<posix::TimerObj>(timer, posix::Kind::Timer)->due; }

struct Options {
    std::string figures = "12";
    int rounds = 5;
    double seconds = 10;
    unsigned long slackNs = 1;
    std::string json;  // where the figures go as JSON (empty: nowhere)
    bool Runs(char figure) const { return figures.find(figure) != std::string::npos; }
};

Options ParseOptions(int& argc, char** argv) {
    std::map<std::string, std::string> flags = rvsys::bench::TakeFlags(argc, argv, "timer_");
    Options options;
    if (flags.count("timer_figures") != 0) options.figures = flags["timer_figures"];
    if (flags.count("timer_rounds") != 0) options.rounds = std::atoi(flags["timer_rounds"].c_str());
    if (flags.count("timer_seconds") != 0) options.seconds = std::atof(flags["timer_seconds"].c_str());
    if (flags.count("timer_slack_ns") != 0)
        options.slackNs = std::strtoul(flags["timer_slack_ns"].c_str(), nullptr, 10);
    options.json = rvsys::bench::TakeFlags(argc, argv, "ratio_")["ratio_json"];
    return options;
}

// What tools/perf_report.py reads besides the tables: each run's lateness
// distribution and the early counts.
struct JsonExtras {
    std::vector<std::string> curves;
    std::vector<std::string> counts;
};

JsonExtras gExtras;

// The quantiles at which each run's lateness distribution is kept: every
// percent, then finer into the tail.
const std::vector<double>& CurveQuantiles() {
    static const std::vector<double> quantiles = [] {
        std::vector<double> q;
        q.reserve(99 + 10 + 3);
        for (int i = 0; i < 99; ++i) q.push_back(i / 100.0);
        for (int i = 990; i < 1000; ++i) q.push_back(i / 1000.0);
        for (double tail : {0.9995, 0.9999, 1.0}) q.push_back(tail);
        return q;
    }();
    return quantiles;
}

void AddCurve(const std::string& kind, const std::vector<double>& lateness) {
    gExtras.curves.push_back("{\"kind\": " + rvsys::bench::JsonString(kind) +
                             ", \"lateness_ns\": " + rvsys::bench::JsonNumbers(lateness) + "}");
}

void AddCount(const std::string& name, double value) {
    gExtras.counts.push_back(rvsys::bench::JsonString(name) + ": " + Format("%.0f", value));
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        if (!item.empty()) text += (text.empty() ? "" : ",\n") + item;
    }
    return text;
}

// ======================================================================================
// Figure 1: expiry lateness
// ======================================================================================

constexpr int kLatenessTimers = 1000;
constexpr std::int64_t kLatenessPeriod = 10 * kNsPerMs;

class Lateness;

// One periodic timer as seen by its callback. Its expiries are due on the grid
// first + k * period; each call stands for a later grid point than the call
// before it. While no call has been later than a period, call k stands for
// exactly grid point k.
struct Tracked {
    std::int64_t first = 0;  // due time of the first expiry: origin of the grid
    std::int64_t floor = 0;  // the next call's due time is at least this (certain)
    std::int64_t next = 0;   // the next call's due time as estimated (exact until a coalesced call)
    bool coalesced = false;  // a call of this timer was later than a period
    Lateness* log = nullptr;
    void Start(std::int64_t firstDue, Lateness* lateness) {
        first = floor = next = firstDue;
        log = lateness;
    }
};

// Lateness of every callback whose due time falls in the measured window,
// with the early and coalesced ones counted. Written only by the thread that
// runs the callbacks.
class Lateness {
public:
    Lateness(std::int64_t period, std::int64_t end, std::size_t timers, double seconds) : mPeriod(period), mEnd(end) {
        const double perTimer = seconds * 1e9 / static_cast<double>(period) + 2;
        mSamples.reserve(static_cast<std::size_t>(perTimer * static_cast<double>(timers)));
    }

    // At the start of a callback of `timer`, at monotonic time `now`.
    void Record(Tracked& timer, std::int64_t now) {
        // The grid point this call stands for: `next`, or, for a call that
        // comes before it (possible after a coalesced call), the latest one
        // already passed. Never below the certain floor.
        const std::int64_t due = std::max(timer.floor, std::min(timer.next, LatestGridPoint(timer, now)));
        if (due >= mEnd) return;
        // Early is certain: the floor only ever counts one period per call.
        if (now < timer.floor) ++mEarly;
        if (timer.coalesced) ++mWeakened;
        const std::int64_t late = now - due;
        mSamples.push_back(late);
        timer.floor += mPeriod;
        if (late < mPeriod) {
            // Taken within a period of its due time: the next is one period on.
            timer.next = due + mPeriod;
            return;
        }
        // Periods were missed and folded into this call; the library re-arms
        // at the next grid point after it took the expiry, most likely the one
        // after now. From here on the floor lags by the periods folded.
        ++mCoalesced;
        timer.coalesced = true;
        timer.next = LatestGridPoint(timer, now) + mPeriod;
    }

    std::size_t Calls() const { return mSamples.size(); }
    // The grid points of these timers inside the window: a call for each is due.
    std::size_t Expected(const std::vector<Tracked>& timers) const {
        std::size_t total = 0;
        for (const Tracked& timer : timers) {
            if (timer.first < mEnd) total += static_cast<std::size_t>((mEnd - 1 - timer.first) / mPeriod + 1);
        }
        return total;
    }
    std::uint64_t Early() const { return mEarly; }
    std::uint64_t Coalesced() const { return mCoalesced; }
    std::uint64_t Weakened() const { return mWeakened; }

    // The q-quantile (0..1) of the lateness samples.
    double Quantile(double q) {
        if (mSamples.empty()) return 0;
        const auto at = static_cast<std::size_t>(q * static_cast<double>(mSamples.size() - 1));
        std::nth_element(mSamples.begin(), mSamples.begin() + static_cast<std::ptrdiff_t>(at), mSamples.end());
        return static_cast<double>(mSamples[at]);
    }
    double Max() const {
        return mSamples.empty() ? 0 : static_cast<double>(*std::max_element(mSamples.begin(), mSamples.end()));
    }
    std::vector<double> Curve(const std::vector<double>& quantiles) {
        std::vector<double> curve;
        if (mSamples.empty()) return curve;
        std::sort(mSamples.begin(), mSamples.end());
        for (double q : quantiles) {
            curve.push_back(static_cast<double>(
                mSamples[static_cast<std::size_t>(q * static_cast<double>(mSamples.size() - 1))]));
        }
        return curve;
    }

private:
    std::int64_t LatestGridPoint(const Tracked& timer, std::int64_t t) const {
        if (t < timer.first) return timer.first;
        return timer.first + (t - timer.first) / mPeriod * mPeriod;
    }

    std::int64_t mPeriod;
    std::int64_t mEnd;  // expiries due at or after this are not measured
    std::vector<std::int64_t> mSamples;
    std::uint64_t mEarly = 0;
    std::uint64_t mCoalesced = 0;
    std::uint64_t mWeakened = 0;  // calls after their timer's first coalesced one
};

struct LatenessRun {
    double p50 = 0, p99 = 0, max = 0;
    std::size_t calls = 0, expected = 0;
    std::uint64_t early = 0, coalesced = 0, weakened = 0;
    std::uint64_t wakeups = 0;         // returns from the waiting call of the thread
    std::uint64_t serviceWakeups = 0;  // of the timer service thread
    unsigned long slack = 0;           // of the thread that ran the callbacks
    std::vector<double> curve;         // lateness at CurveQuantiles()
};

// Fills the run's figures from the log; the counts of wake-ups and the slack
// are the caller's.
void Summarise(Lateness& log, const std::vector<Tracked>& timers, LatenessRun& run) {
    run.p50 = log.Quantile(0.5);
    run.p99 = log.Quantile(0.99);
    run.max = log.Max();
    run.calls = log.Calls();
    run.expected = log.Expected(timers);
    run.early = log.Early();
    run.coalesced = log.Coalesced();
    run.weakened = log.Weakened();
    run.curve = log.Curve(CurveQuantiles());
}

// -- Candidate: platform timers with a completion routine, one owner thread ---------

void RVSYS_WINAPI OnPlatformExpiry(void* argument, platform::DWORD, platform::DWORD) {
    const std::int64_t now = MonotonicNs();
    auto* timer = static_cast<Tracked*>(argument);
    timer->log->Record(*timer, now);
}

LatenessRun RunPlatformLateness(const Options& options) {
    std::vector<Tracked> timers(kLatenessTimers);
    LatenessRun run;
    std::thread owner([&] {
        SetSlack(options.slackNs);
        run.slack = Slack();
        std::vector<platform::HANDLE> handles(kLatenessTimers);
        for (auto& handle : handles) handle = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
        const std::int64_t start = MonotonicNs() + 20 * kNsPerMs + kLatenessPeriod;  // first due of timer 0
        const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
        Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
        for (int i = 0; i < kLatenessTimers; ++i) {
            // Relative due times, as TimerManager arms them; the exact due time
            // is read back from the timer.
            const std::int64_t wanted = start + kLatenessPeriod * i / kLatenessTimers;
            platform::LARGE_INTEGER due;
            due.QuadPart = -((wanted - MonotonicNs() + 99) / 100);
            platform::SetWaitableTimer(handles[i], &due, static_cast<platform::LONG>(kLatenessPeriod / kNsPerMs),
                                       OnPlatformExpiry, &timers[i], platform::FALSE);
            timers[i].Start(ArmedDue(handles[i]), &log);
        }
        const std::uint64_t serviceBefore = posix::TimerServiceWakeups();
        const std::int64_t doneAt = end + 2 * kLatenessPeriod;
        std::uint64_t wakeups = 0;
        while (MonotonicNs() < doneAt) {
            platform::SleepEx(platform::INFINITE, platform::TRUE);
            ++wakeups;
        }
        const std::uint64_t service = posix::TimerServiceWakeups() - serviceBefore;
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        Summarise(log, timers, run);
        run.wakeups = wakeups;
        run.serviceWakeups = service;
    });
    owner.join();
    return run;
}

// -- Baseline: one thread, clock_nanosleep(TIMER_ABSTIME) to the earliest due time ---

LatenessRun RunSleepLoopLateness(const Options& options) {
    LatenessRun run;
    std::thread loop([&] {
        SetSlack(options.slackNs);
        run.slack = Slack();
        const std::int64_t start = MonotonicNs() + 20 * kNsPerMs + kLatenessPeriod;
        const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
        Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
        std::vector<Tracked> timers(kLatenessTimers);
        // The service's own heap: the baseline differs from the candidate in
        // how it waits and calls back, not in how it keeps its timers.
        std::vector<posix::HeapNode> nodes(kLatenessTimers);
        posix::NodeHeap heap;
        for (int i = 0; i < kLatenessTimers; ++i) {
            timers[i].Start(start + kLatenessPeriod * i / kLatenessTimers, &log);
            nodes[i].due = timers[i].first;
            heap.Push(&nodes[i]);
        }
        const std::uint64_t serviceBefore = posix::TimerServiceWakeups();
        std::uint64_t wakeups = 0;
        while (heap.TopDue() < end) {
            SleepUntilNs(heap.TopDue());
            ++wakeups;
            const std::int64_t fired = MonotonicNs();
            while (heap.TopDue() <= fired) {
                posix::HeapNode* node = heap.Top();
                heap.Remove(node);
                // The callback, as the candidate's: its own clock read and record.
                Tracked* timer = &timers[static_cast<std::size_t>(node - nodes.data())];
                timer->log->Record(*timer, MonotonicNs());
                // The same re-arming rule as the library: the next grid point after now.
                node->due += ((fired - node->due) / kLatenessPeriod + 1) * kLatenessPeriod;
                heap.Push(node);
            }
        }
        const std::uint64_t service = posix::TimerServiceWakeups() - serviceBefore;
        Summarise(log, timers, run);
        run.wakeups = wakeups;
        run.serviceWakeups = service;
    });
    loop.join();
    return run;
}

// -- TimerManager: due times from the AddTimer call -------------------------------------

struct SlackRequest {
    std::atomic<unsigned long> slack{0};
    std::atomic<bool> done{false};
};

// Runs once on the manager's thread: the slack there is what its waits use.
void ReadManagerSlack(unsigned long, void* userData) {
    auto* request = static_cast<SlackRequest*>(userData);
    request->slack.store(Slack());
    request->done.store(true);
    request->done.notify_one();
}

// The timer slack of the manager's thread, read by a one-shot timer's callback
// (the library sets it when the thread arms its first timer).
unsigned long ManagerSlack(TimerManager& manager) {
    SlackRequest request;
    constexpr unsigned long kSlackTimerId = 0xFFFFFF00ul;
    if (manager.AddTimer(kSlackTimerId, ReadManagerSlack, &request, 0, 1, 0) != 1) return 0;
    request.done.wait(false);
    return request.slack.load();
}

void OnManagerTimer(unsigned long, void* userData) {
    const std::int64_t now = MonotonicNs();
    auto* timer = static_cast<Tracked*>(userData);
    timer->log->Record(*timer, now);
}

// The manager's thread keeps the slack the library gives it (what programs
// get); the run shows it.
LatenessRun RunManagerLateness(const Options& options) {
    TimerManager manager;
    LatenessRun run;
    if (manager.Start() != 1) {
        std::printf("TimerManager::Start failed\n");
        return run;
    }
    run.slack = ManagerSlack(manager);
    std::vector<Tracked> timers(kLatenessTimers);
    const std::int64_t firstAdd = MonotonicNs() + 20 * kNsPerMs;
    const std::int64_t start = firstAdd + kLatenessPeriod;
    const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
    Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
    SleepUntilNs(firstAdd - kNsPerMs);
    for (int i = 0; i < kLatenessTimers; ++i) {
        // Due times are whole milliseconds from the call: the phases are
        // staggered by adding each timer at its phase (10 us apart: spin).
        const std::int64_t at = firstAdd + kLatenessPeriod * i / kLatenessTimers;
        while (MonotonicNs() < at) {
        }
        // The manager reads its clock inside the call, after this reading: the
        // due time is at least this one, so an early call is still certain and
        // lateness is overstated by the call's own cost at most.
        timers[i].Start(MonotonicNs() + kLatenessPeriod, &log);
        manager.AddTimer(static_cast<unsigned long>(i) + 1, OnManagerTimer, &timers[i],
                         static_cast<long>(kLatenessPeriod / kNsPerMs), 0,
                         static_cast<long>(kLatenessPeriod / kNsPerMs));
    }
    const std::uint64_t serviceBefore = posix::TimerServiceWakeups();
    SleepUntilNs(end + 3 * kLatenessPeriod);
    run.serviceWakeups = posix::TimerServiceWakeups() - serviceBefore;
    manager.Stop();  // no callback runs after this: the log is ours
    Summarise(log, timers, run);
    return run;
}

void PrintLatenessRun(int round, const char* what, const LatenessRun& run) {
    std::printf("  round %d  %-32s p50 %-9s p99 %-9s max %-9s calls %zu/%zu  early %llu  coalesced %llu", round, what,
                FormatTime(run.p50).c_str(), FormatTime(run.p99).c_str(), FormatTime(run.max).c_str(), run.calls,
                run.expected, static_cast<unsigned long long>(run.early),
                static_cast<unsigned long long>(run.coalesced));
    if (run.weakened != 0) std::printf("  weakened %llu", static_cast<unsigned long long>(run.weakened));
    if (run.wakeups != 0) std::printf("  wakes %llu", static_cast<unsigned long long>(run.wakeups));
    std::printf("  service wakes %llu  slack %lu ns\n", static_cast<unsigned long long>(run.serviceWakeups),
                run.slack);
    std::fflush(stdout);
}

struct Series {
    std::vector<double> p50, p99;
    std::uint64_t early = 0, coalesced = 0, weakened = 0, serviceWakeups = 0;
    std::size_t calls = 0, expected = 0;
    unsigned long slack = 0;
    void Add(const LatenessRun& run) {
        p50.push_back(run.p50);
        p99.push_back(run.p99);
        early += run.early;
        coalesced += run.coalesced;
        weakened += run.weakened;
        serviceWakeups += run.serviceWakeups;
        calls += run.calls;
        expected += run.expected;
        slack = run.slack;
    }
};

// Prints the runs and the figure's tables; returns its ratio table.
RatioTable RunLatenessFigure(const Options& options) {
    std::printf("\nFigure 1: expiry lateness, %d periodic %lld ms timers, phases staggered evenly, %.0f s per run\n",
                kLatenessTimers, static_cast<long long>(kLatenessPeriod / kNsPerMs), options.seconds);
    std::printf(
        "(timer slack %lu ns on the platform timers' thread and on the baseline's; TimerManager's "
        "thread keeps the library's own; the main thread's is %lu ns)\n",
        options.slackNs, Slack());
    Series platformSeries, loopSeries, managerSeries;
    // Three kinds of run, their order rotated each round so that load drifting
    // over the minutes of the figure falls on all of them alike.
    const std::function<void(int)> kinds[] = {
        [&](int round) {
            const LatenessRun run = RunPlatformLateness(options);
            PrintLatenessRun(round, "SetWaitableTimer + SleepEx", run);
            platformSeries.Add(run);
            AddCurve("SetWaitableTimer + SleepEx", run.curve);
        },
        [&](int round) {
            const LatenessRun run = RunSleepLoopLateness(options);
            PrintLatenessRun(round, "clock_nanosleep loop (baseline)", run);
            loopSeries.Add(run);
            AddCurve("clock_nanosleep loop (baseline)", run.curve);
        },
        [&](int round) {
            const LatenessRun run = RunManagerLateness(options);
            PrintLatenessRun(round, "TimerManager (from AddTimer)", run);
            managerSeries.Add(run);
            AddCurve("TimerManager (from AddTimer)", run.curve);
        },
    };
    constexpr int kKinds = 3;
    for (int round = 0; round < options.rounds; ++round) {
        for (int k = 0; k < kKinds; ++k) kinds[(round + k) % kKinds](round + 1);
    }
    std::printf(
        "\nRatios: candidate / baseline lateness, medians of %d interleaved rounds (min: ratio of the best "
        "rounds)\n\n",
        options.rounds);
    RatioTable table;
    table.Add("lateness p50, SetWaitableTimer + SleepEx", platformSeries.p50, loopSeries.p50, Target{1.2});
    table.Add("lateness p99, SetWaitableTimer + SleepEx", platformSeries.p99, loopSeries.p99);
    table.Add("lateness p50, TimerManager (from AddTimer)", managerSeries.p50, loopSeries.p50);
    table.Add("lateness p99, TimerManager (from AddTimer)", managerSeries.p99, loopSeries.p99);
    // What the manager adds to the platform timers it is made of.
    table.Add("lateness p50, TimerManager / SetWaitableTimer + SleepEx", managerSeries.p50, platformSeries.p50,
              Target{1.2});
    table.Add("lateness p99, TimerManager / SetWaitableTimer + SleepEx", managerSeries.p99, platformSeries.p99,
              Target{2.0});
    std::printf("%s", table.Text().c_str());
    std::printf("\nCounts over all rounds (early must be 0; coalesced: callbacks later than one period)\n\n");
    std::printf("%-34s %-10s %-8s %-10s %-10s %s\n", "", "early", "target", "coalesced", "calls", "of expected");
    auto counts = [](const char* what, const Series& series, bool mustBeZero) {
        const char* verdict = !mustBeZero ? "info" : series.early == 0 ? "0 ok" : "0 MISS";
        std::printf("%-34s %-10llu %-8s %-10llu %-10zu %zu", what, static_cast<unsigned long long>(series.early),
                    verdict, static_cast<unsigned long long>(series.coalesced), series.calls, series.expected);
        if (series.weakened != 0) {
            std::printf("  (%llu calls after a coalesced one: early check weaker)",
                        static_cast<unsigned long long>(series.weakened));
        }
        std::printf("\n");
    };
    AddCount("early, SetWaitableTimer + SleepEx", static_cast<double>(platformSeries.early));
    AddCount("early, TimerManager", static_cast<double>(managerSeries.early));
    counts("SetWaitableTimer + SleepEx", platformSeries, true);
    counts("clock_nanosleep loop", loopSeries, false);
    counts("TimerManager", managerSeries, true);
    std::printf("timer service wake-ups during the platform runs: %llu (its thread times its own timers)\n",
                static_cast<unsigned long long>(platformSeries.serviceWakeups));
    std::fflush(stdout);
    return table;
}

// ======================================================================================
// Figure 2: drift of one 1 ms periodic timer
// ======================================================================================

constexpr std::int64_t kDriftPeriod = 1 * kNsPerMs;
constexpr int kDriftPeriods = 10000;
constexpr int kDriftTail = 1000;  // the last calls, whose place on the grid is measured

// How a run of kDriftPeriods calls sat on the grid first + k * period.
struct Drift {
    // Median offset of the last kDriftTail calls from the grid point before
    // each: a timer that keeps its grid shows only its lateness here, one that
    // re-arms from its calls has slid through the whole period by then (and an
    // early call reads nearly a period).
    double offset = 0;
    // Grid points passed without a call of their own: periods the thread could
    // not run, folded into a later call (for the relative loop: periods behind).
    double missed = 0;
};

Drift OnGrid(std::int64_t first, const std::vector<std::int64_t>& tail) {
    Drift drift;
    if (tail.empty()) return drift;
    std::vector<double> offsets;
    offsets.reserve(tail.size());
    for (std::int64_t t : tail) {
        offsets.push_back(static_cast<double>(((t - first) % kDriftPeriod + kDriftPeriod) % kDriftPeriod));
    }
    drift.offset = Median(offsets);
    const std::int64_t gridPoints = (tail.back() - first) / kDriftPeriod + 1;  // passed by the last call
    drift.missed = static_cast<double>(gridPoints - kDriftPeriods);
    return drift;
}

struct DriftState {
    std::int64_t first = 0;  // due time of the first expiry
    int calls = 0;
    std::vector<std::int64_t> tail;  // start times of the last kDriftTail callbacks
    std::atomic<bool> done{false};
    DriftState() { tail.reserve(kDriftTail); }
};

void CountDriftCall(DriftState& state) {
    const std::int64_t now = MonotonicNs();
    if (++state.calls > kDriftPeriods - kDriftTail) state.tail.push_back(now);
    if (state.calls == kDriftPeriods) {
        state.done.store(true);
        state.done.notify_one();
    }
}

void RVSYS_WINAPI OnDriftExpiry(void* argument, platform::DWORD, platform::DWORD) {
    CountDriftCall(*static_cast<DriftState*>(argument));
}

void OnDriftTimer(unsigned long, void* userData) { CountDriftCall(*static_cast<DriftState*>(userData)); }

Drift PlatformDrift(const Options& options) {
    DriftState state;
    std::thread owner([&] {
        SetSlack(options.slackNs);
        platform::HANDLE timer = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
        platform::LARGE_INTEGER due;
        due.QuadPart = -(kDriftPeriod / 100);
        platform::SetWaitableTimer(timer, &due, static_cast<platform::LONG>(kDriftPeriod / kNsPerMs), OnDriftExpiry,
                                   &state, platform::FALSE);
        state.first = ArmedDue(timer);
        while (!state.done.load()) platform::SleepEx(platform::INFINITE, platform::TRUE);
        platform::CancelWaitableTimer(timer);
        platform::CloseHandle(timer);
    });
    owner.join();
    return OnGrid(state.first, state.tail);
}

Drift ManagerDrift() {
    TimerManager manager;
    if (manager.Start() != 1) return {};
    DriftState state;
    // The manager reads its clock inside the call, a little after this: the
    // offsets are overstated by the call's cost at most.
    state.first = MonotonicNs() + kDriftPeriod;
    manager.AddTimer(1, OnDriftTimer, &state, static_cast<long>(kDriftPeriod / kNsPerMs), 0,
                     static_cast<long>(kDriftPeriod / kNsPerMs));
    state.done.wait(false);
    manager.Stop();
    return OnGrid(state.first, state.tail);
}

// The naive loop: each period sleeps 1 ms from whenever the previous one woke.
Drift RelativeSleepDrift(const Options& options) {
    Drift drift;
    std::thread loop([&] {
        SetSlack(options.slackNs);
        std::vector<std::int64_t> tail;
        tail.reserve(kDriftTail);
        const std::int64_t first = MonotonicNs() + kDriftPeriod;
        const timespec period{0, static_cast<long>(kDriftPeriod)};
        for (int i = 0; i < kDriftPeriods; ++i) {
            while (clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr) == EINTR) {
            }
            if (i >= kDriftPeriods - kDriftTail) tail.push_back(MonotonicNs());
        }
        drift = OnGrid(first, tail);
    });
    loop.join();
    return drift;
}

// What the machine allows: the same 1 ms grid slept to with
// clock_nanosleep(TIMER_ABSTIME), missed grid points skipped as the library
// does. Its offsets and missed periods come from the machine (other load),
// not from any timer code.
Drift GridSleepDrift(const Options& options) {
    Drift drift;
    std::thread loop([&] {
        SetSlack(options.slackNs);
        std::vector<std::int64_t> tail;
        tail.reserve(kDriftTail);
        const std::int64_t first = MonotonicNs() + kDriftPeriod;
        std::int64_t due = first;
        for (int i = 0; i < kDriftPeriods; ++i) {
            SleepUntilNs(due);
            const std::int64_t now = MonotonicNs();
            if (i >= kDriftPeriods - kDriftTail) tail.push_back(now);
            due += ((now - due) / kDriftPeriod + 1) * kDriftPeriod;
        }
        drift = OnGrid(first, tail);
    });
    loop.join();
    return drift;
}

struct DriftSeries {
    std::vector<double> offsets, missed;
    void Add(int round, const char* what, const Drift& drift) {
        offsets.push_back(drift.offset);
        missed.push_back(drift.missed);
        std::printf("  round %d  %-34s offset %-10s missed periods %.0f\n", round, what,
                    FormatTime(drift.offset).c_str(), drift.missed);
    }
    double MedianMissed() const { return Median(missed); }
};

RatioTable RunDriftFigure(const Options& options) {
    std::printf(
        "\nFigure 2: drift of one %lld ms periodic timer over %d periods: median offset of the last %d calls "
        "from the grid point before each; slack %lu ns\n",
        static_cast<long long>(kDriftPeriod / kNsPerMs), kDriftPeriods, kDriftTail, options.slackNs);
    DriftSeries platformDrift, managerDrift, relativeDrift, gridDrift;
    const std::function<void(int)> kinds[] = {
        [&](int round) { platformDrift.Add(round, "SetWaitableTimer + SleepEx", PlatformDrift(options)); },
        [&](int round) { managerDrift.Add(round, "TimerManager (from AddTimer)", ManagerDrift()); },
        [&](int round) { relativeDrift.Add(round, "1 ms relative sleep loop", RelativeSleepDrift(options)); },
        [&](int round) { gridDrift.Add(round, "1 ms clock_nanosleep grid loop", GridSleepDrift(options)); },
    };
    constexpr int kKinds = 4;
    for (int round = 0; round < options.rounds; ++round) {
        for (int k = 0; k < kKinds; ++k) kinds[(round + k) % kKinds](round + 1);
        std::fflush(stdout);
    }
    std::printf(
        "\nDrift: candidate / grid loop offsets, medians of %d interleaved rounds; verdict: median offset "
        "under a tenth of the period\n\n",
        options.rounds);
    // The offset itself is judged: a timer that keeps its grid stays within its
    // lateness of it, far under a tenth of a period; one that slides does not.
    const Target onGrid{0, static_cast<double>(kDriftPeriod) / 10, "<0.1 per."};
    RatioTable table;
    table.Add("drift, SetWaitableTimer + SleepEx", platformDrift.offsets, gridDrift.offsets, onGrid);
    table.Add("drift, TimerManager (from AddTimer)", managerDrift.offsets, gridDrift.offsets, onGrid);
    table.Add("drift, 1 ms relative sleep loop (what drifting looks like)", relativeDrift.offsets, gridDrift.offsets);
    std::printf("%s", table.Text().c_str());
    AddCount("missed, SetWaitableTimer + SleepEx", platformDrift.MedianMissed());
    AddCount("missed, TimerManager", managerDrift.MedianMissed());
    AddCount("missed, clock_nanosleep grid loop", gridDrift.MedianMissed());
    std::printf(
        "\nMissed periods (median of rounds): SetWaitableTimer + SleepEx %.0f, TimerManager %.0f, grid "
        "loop %.0f (the machine's)\n",
        platformDrift.MedianMissed(), managerDrift.MedianMissed(), gridDrift.MedianMissed());
    std::fflush(stdout);
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (argc > 1) {
        std::fprintf(stderr, "unknown argument: %s\n", argv[1]);
        return 1;
    }
    RatioTable lateness, drift;
    if (options.rounds > 0 && options.Runs('1')) lateness = RunLatenessFigure(options);
    if (options.rounds > 0 && options.Runs('2')) drift = RunDriftFigure(options);
    if (!options.json.empty()) {
        const std::string rows = Joined({lateness.JsonRows(), drift.JsonRows()});
        rvsys::bench::WriteJsonObject(
            options.json,
            "\"ratios\": [\n" + rows + "\n],\n\"quantiles\": " + rvsys::bench::JsonNumbers(CurveQuantiles()) +
                ",\n\"curves\": [\n" + Joined(gExtras.curves) + "],\n\"counts\": {" + Joined(gExtras.counts) + "}");
    }
    return 0;
}
