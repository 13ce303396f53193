// The timer thread: expiry lateness and drift of periodic timers, the cost of
// arming and cancelling among many armed timers, and TimerManager's own
// AddTimer/RemoveTimer.
//
//   1. lateness:  1,000 periodic 10 ms timers, phases evenly staggered, for
//                 10 s: from due time to callback start. The platform timers
//                 (SetWaitableTimer with a completion routine, one owner thread
//                 looping SleepEx(INFINITE, TRUE) as TimerManager's thread does)
//                 against a clock_nanosleep(TIMER_ABSTIME) loop running the
//                 same schedule; TimerManager callbacks for information.
//   2. drift:     one 1 ms periodic timer over 10,000 periods, beside a loop
//                 that sleeps 1 ms from "now" each time, and a loop sleeping to
//                 the same grid (what the machine allows).
//   3. arm/cancel with 100,000 and 1,000,000 timers armed in the timer
//                 service, against a bare indexed 4-ary heap; the same call
//                 pair on one cached timer shows their fixed cost.
//   4. TimerManager AddTimer (until armed) and RemoveTimer with 100,000
//                 timers in the manager, beside the platform calls it makes.
//
// Figures 1 and 2 last seconds per run and do not fit Google Benchmark's
// per-iteration model: a harness here runs candidates and baselines in
// interleaved rounds in this process and prints the ratios in the style of the
// ratio table. Figures 3 and 4 are Google Benchmark benchmarks (ratio table at
// the end). Flags of this program (the others go to Google Benchmark):
//   --timer_figures=1234   which figures to run
//   --timer_rounds=3       rounds of figures 1 and 2
//   --timer_seconds=10     length of one lateness run
//   --timer_slack_ns=1     PR_SET_TIMERSLACK of every thread that waits for a timer
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <rvsysutils/TimerManager.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(RVSYS_BENCH_HAVE_LIBUV)
#include <uv.h>
#endif

#include "platform/linux/timer_service.h"
#include "platform/linux/timers.h"
#include "platform/platform.h"
#include "support/ratio_main.h"
#include "support/system.h"

namespace {

namespace platform = rvsys::platform;
namespace posix = rvsys::platform::posix;

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kNsPerS = 1000000000;

std::int64_t MonoNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

timespec TimespecOf(std::int64_t ns) {
    return timespec{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

void SleepUntil(std::int64_t monotonicNs) {
    const timespec at = TimespecOf(monotonicNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void SetSlack(unsigned long ns) { prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0); }
unsigned long Slack() { return static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)); }

std::int64_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// The due time the service gave a timer, read on the arming thread right after
// SetWaitableTimer (nothing else writes it until the timer expires): the
// exact origin of its grid.
std::int64_t ArmedDue(platform::HANDLE timer) {
    return posix::Peek<posix::TimerObj>(timer, posix::Kind::Timer)->node.due;
}

std::uint64_t ServiceWakeups() { return posix::TimerServiceWakeups(); }

// splitmix64: the same pseudo-random key stream for candidates and baselines.
class KeyStream {
public:
    explicit KeyStream(std::uint64_t seed) : mState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t mState;
};

// ---- Options -------------------------------------------------------------------

struct Options {
    std::string figures = "1234";
    int rounds = 3;
    double seconds = 10;
    unsigned long slackNs = 1;
    std::string json;  // where the harness figures go as JSON (empty: nowhere)
    bool Runs(char figure) const { return figures.find(figure) != std::string::npos; }
};

// Takes this program's --timer_* flags out of argv, leaving Google Benchmark's.
Options ParseOptions(int& argc, char** argv) {
    Options options;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto value = [arg](const char* name) -> const char* {
            const std::size_t length = std::strlen(name);
            return std::strncmp(arg, name, length) == 0 && arg[length] == '=' ? arg + length + 1 : nullptr;
        };
        if (const char* v = value("--timer_figures")) {
            options.figures = v;
        } else if (const char* r = value("--timer_rounds")) {
            options.rounds = std::atoi(r);
        } else if (const char* s = value("--timer_seconds")) {
            options.seconds = std::atof(s);
        } else if (const char* n = value("--timer_slack_ns")) {
            options.slackNs = std::strtoul(n, nullptr, 10);
        } else if (const char* j = value("--timer_json")) {
            options.json = j;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return options;
}

// ---- Table output (the columns of the ratio table) ---------------------------------

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatTime(double ns) {
    const double magnitude = ns < 0 ? -ns : ns;
    if (magnitude < 1e3) return Format("%.0f ns", ns);
    if (magnitude < 1e6) return Format("%.2f us", ns / 1e3);
    if (magnitude < 1e9) return Format("%.2f ms", ns / 1e6);
    return Format("%.3f s", ns / 1e9);
}

void PrintRow(const std::string& ratio, const std::string& best, const std::string& target,
              const std::string& verdict, const std::string& candidate, const std::string& baseline,
              const std::string& repetitions, const std::string& figure) {
    std::printf("%-7s %-7s %-8s %-7s %-10s %-10s %-3s %s\n", ratio.c_str(), best.c_str(), target.c_str(),
                verdict.c_str(), candidate.c_str(), baseline.c_str(), repetitions.c_str(), figure.c_str());
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Min(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// The harness figures as data, for tools/perf-report.py: every ratio row with
// its per-round values, and the lateness distributions of each kind of run.
class JsonLog {
public:
    void Row(const std::string& figure, const std::string& label, const std::vector<double>& candidate,
             const std::vector<double>& baseline, double target, const std::string& verdict) {
        mRows.push_back("{\"figure\": \"" + figure + "\", \"label\": \"" + label +
                        "\", \"target\": " + Format("%g", target) + ", \"verdict\": \"" + verdict +
                        "\", \"candidate\": " + List(candidate) + ", \"baseline\": " + List(baseline) + "}");
    }
    // Lateness (ns) at the quantiles kCurveQuantiles of one run of `kind`.
    void Curve(const std::string& kind, const std::vector<double>& lateness) {
        mCurves.push_back("{\"kind\": \"" + kind + "\", \"lateness_ns\": " + List(lateness) + "}");
    }
    void Count(const std::string& name, double value) {
        mCounts.push_back("\"" + name + "\": " + Format("%.0f", value));
    }
    void Write(const std::string& path, const std::vector<double>& quantiles) const {
        if (path.empty()) return;
        FILE* out = std::fopen(path.c_str(), "w");
        if (out == nullptr) {
            std::printf("cannot write %s\n", path.c_str());
            return;
        }
        std::fprintf(out, "{\"quantiles\": %s,\n\"rows\": [\n%s],\n\"curves\": [\n%s],\n\"counts\": {%s}}\n",
                     List(quantiles).c_str(), Join(mRows).c_str(), Join(mCurves).c_str(), Join(mCounts).c_str());
        std::fclose(out);
    }

private:
    static std::string List(const std::vector<double>& values) {
        std::string text = "[";
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i != 0) text += ", ";
            text += Format("%.6g", values[i]);
        }
        return text + "]";
    }
    static std::string Join(const std::vector<std::string>& items) {
        std::string text;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i != 0) text += ",\n";
            text += items[i];
        }
        return text;
    }
    std::vector<std::string> mRows, mCurves, mCounts;
};

JsonLog gJson;

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

// A ratio row from per-round values: medians and minimums, as the ratio table.
void PrintRatio(const char* label, const std::vector<double>& candidate, const std::vector<double>& baseline,
                double target, const char* figure = "lateness") {
    const double median = Median(candidate) / Median(baseline);
    const double best = Min(candidate) / Min(baseline);
    std::string targetText;
    const char* verdict = "info";
    if (target > 0) {
        targetText = "<=" + Format("%.2fx", target);
        verdict = median <= target ? "ok" : "MISS";
    }
    PrintRow(Format("%.2fx", median), Format("%.2fx", best), targetText, verdict, FormatTime(Median(candidate)),
             FormatTime(Median(baseline)), std::to_string(std::min(candidate.size(), baseline.size())), label);
    gJson.Row(figure, label, candidate, baseline, target, verdict);
}

// ---- The baseline heap ------------------------------------------------------------

// An indexed 4-ary min-heap: the least any timer service does per arm and
// cancel. Each slot keeps a copy of the key, so sifting compares within one
// array; each item knows its slot, so any item leaves in O(log n).
struct HeapItem {
    std::int64_t due = 0;
    std::uint32_t slot = 0;
    void* payload = nullptr;
};

class QuadHeap {
public:
    void Reserve(std::size_t n) { mSlots.reserve(n); }
    std::size_t Size() const { return mSlots.size(); }
    HeapItem* Top() const { return mSlots.empty() ? nullptr : mSlots.front().item; }
    std::int64_t TopDue() const { return mSlots.empty() ? INT64_MAX : mSlots.front().due; }

    void Push(HeapItem* item) {
        mSlots.push_back({item->due, item});
        Up(static_cast<std::uint32_t>(mSlots.size() - 1), mSlots.back());
    }

    void Remove(HeapItem* item) {
        const std::uint32_t hole = item->slot;
        const Slot last = mSlots.back();
        mSlots.pop_back();
        if (hole == mSlots.size()) return;  // it was the last slot
        if (hole > 0 && last.due < mSlots[(hole - 1) / 4].due) {
            Up(hole, last);
        } else {
            Down(hole, last);
        }
    }

private:
    struct Slot {
        std::int64_t due;
        HeapItem* item;
    };

    void Put(std::uint32_t at, const Slot& slot) {
        mSlots[at] = slot;
        slot.item->slot = at;
    }

    void Up(std::uint32_t at, Slot moving) {
        while (at > 0) {
            const std::uint32_t parent = (at - 1) / 4;
            if (!(moving.due < mSlots[parent].due)) break;
            Put(at, mSlots[parent]);
            at = parent;
        }
        Put(at, moving);
    }

    void Down(std::uint32_t at, Slot moving) {
        const auto size = static_cast<std::uint32_t>(mSlots.size());
        for (;;) {
            const std::uint32_t child = at * 4 + 1;
            if (child >= size) break;
            std::uint32_t least = child;
            const std::uint32_t last = std::min(child + 4, size);
            for (std::uint32_t c = child + 1; c < last; ++c) {
                if (mSlots[c].due < mSlots[least].due) least = c;
            }
            if (!(mSlots[least].due < moving.due)) break;
            Put(at, mSlots[least]);
            at = least;
        }
        Put(at, moving);
    }

    std::vector<Slot> mSlots;
};

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

LatenessRun Summarise(Lateness& log, const std::vector<Tracked>& timers) {
    LatenessRun run;
    run.p50 = log.Quantile(0.5);
    run.p99 = log.Quantile(0.99);
    run.max = log.Max();
    run.calls = log.Calls();
    run.expected = log.Expected(timers);
    run.early = log.Early();
    run.coalesced = log.Coalesced();
    run.weakened = log.Weakened();
    run.curve = log.Curve(CurveQuantiles());
    return run;
}

// -- Candidate: platform timers with a completion routine, one owner thread ---------

void RVSYS_WINAPI OnPlatformExpiry(void* argument, platform::DWORD, platform::DWORD) {
    const std::int64_t now = MonoNow();
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
        const std::int64_t start = MonoNow() + 20 * kNsPerMs + kLatenessPeriod;  // first due of timer 0
        const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
        Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
        for (int i = 0; i < kLatenessTimers; ++i) {
            // Relative due times, as TimerManager arms them; the exact due time
            // is read back from the timer.
            const std::int64_t wanted = start + kLatenessPeriod * i / kLatenessTimers;
            platform::LARGE_INTEGER due;
            due.QuadPart = -((wanted - MonoNow() + 99) / 100);
            platform::SetWaitableTimer(handles[i], &due, static_cast<platform::LONG>(kLatenessPeriod / kNsPerMs),
                                       OnPlatformExpiry, &timers[i], platform::FALSE);
            timers[i].Start(ArmedDue(handles[i]), &log);
        }
        const std::uint64_t serviceBefore = ServiceWakeups();
        const std::int64_t doneAt = end + 2 * kLatenessPeriod;
        std::uint64_t wakeups = 0;
        while (MonoNow() < doneAt) {
            platform::SleepEx(platform::INFINITE, platform::TRUE);
            ++wakeups;
        }
        const std::uint64_t service = ServiceWakeups() - serviceBefore;
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        const unsigned long slack = run.slack;
        run = Summarise(log, timers);
        run.wakeups = wakeups;
        run.serviceWakeups = service;
        run.slack = slack;
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
        const std::int64_t start = MonoNow() + 20 * kNsPerMs + kLatenessPeriod;
        const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
        Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
        std::vector<Tracked> timers(kLatenessTimers);
        std::vector<HeapItem> items(kLatenessTimers);
        QuadHeap heap;
        heap.Reserve(kLatenessTimers);
        for (int i = 0; i < kLatenessTimers; ++i) {
            timers[i].Start(start + kLatenessPeriod * i / kLatenessTimers, &log);
            items[i].due = timers[i].first;
            items[i].payload = &timers[i];
            heap.Push(&items[i]);
        }
        const std::uint64_t serviceBefore = ServiceWakeups();
        std::uint64_t wakeups = 0;
        while (heap.TopDue() < end) {
            SleepUntil(heap.TopDue());
            ++wakeups;
            const std::int64_t fired = MonoNow();
            while (heap.TopDue() <= fired) {
                HeapItem* item = heap.Top();
                heap.Remove(item);
                // The callback, as the candidate's: its own clock read and record.
                auto* timer = static_cast<Tracked*>(item->payload);
                timer->log->Record(*timer, MonoNow());
                // The same re-arming rule as the library: the next grid point after now.
                item->due += ((fired - item->due) / kLatenessPeriod + 1) * kLatenessPeriod;
                heap.Push(item);
            }
        }
        const std::uint64_t service = ServiceWakeups() - serviceBefore;
        const unsigned long slack = run.slack;
        run = Summarise(log, timers);
        run.wakeups = wakeups;
        run.serviceWakeups = service;
        run.slack = slack;
    });
    loop.join();
    return run;
}

// -- TimerManager: due times from the AddTimer call -------------------------------------

struct SlackRequest {
    long slackNs;  // negative: leave the thread's own, only read it
    std::atomic<unsigned long> slack{0};
    std::atomic<bool> done{false};
};

// Runs once on the manager's thread: the slack there is what its waits use.
void SetManagerSlack(unsigned long, void* userData) {
    auto* request = static_cast<SlackRequest*>(userData);
    if (request->slackNs >= 0) SetSlack(static_cast<unsigned long>(request->slackNs));
    request->slack.store(Slack());
    request->done.store(true);
    request->done.notify_one();
}

// Adds a one-shot timer whose callback sets (or reads) the manager thread's
// slack, and waits for it. Returns the slack the thread runs with.
unsigned long ApplyManagerSlack(TimerManager& manager, long slackNs) {
    SlackRequest request{slackNs};
    constexpr unsigned long kSlackTimerId = 0xFFFFFF00ul;
    if (manager.AddTimer(kSlackTimerId, SetManagerSlack, &request, 0, 1, 0) != 1) return 0;
    request.done.wait(false);
    return request.slack.load();
}

void OnManagerTimer(unsigned long, void* userData) {
    const std::int64_t now = MonoNow();
    auto* timer = static_cast<Tracked*>(userData);
    timer->log->Record(*timer, now);
}

// slackNs < 0 leaves the manager thread with the slack it inherited.
LatenessRun RunManagerLateness(const Options& options, long slackNs) {
    TimerManager manager;
    LatenessRun run;
    if (manager.Start() != 1) {
        std::printf("TimerManager::Start failed\n");
        return run;
    }
    const unsigned long slack = ApplyManagerSlack(manager, slackNs);
    std::vector<Tracked> timers(kLatenessTimers);
    const std::int64_t firstAdd = MonoNow() + 20 * kNsPerMs;
    const std::int64_t start = firstAdd + kLatenessPeriod;
    const std::int64_t end = start + static_cast<std::int64_t>(options.seconds * 1e9);
    Lateness log(kLatenessPeriod, end, kLatenessTimers, options.seconds);
    SleepUntil(firstAdd - kNsPerMs);
    for (int i = 0; i < kLatenessTimers; ++i) {
        // Due times are whole milliseconds from the call: the phases are
        // staggered by adding each timer at its phase (10 us apart: spin).
        const std::int64_t at = firstAdd + kLatenessPeriod * i / kLatenessTimers;
        while (MonoNow() < at) {
        }
        // The manager reads its clock inside the call, after this reading: the
        // due time is at least this one, so an early call is still certain and
        // lateness is overstated by the call's own cost at most.
        timers[i].Start(MonoNow() + kLatenessPeriod, &log);
        manager.AddTimer(static_cast<unsigned long>(i) + 1, OnManagerTimer, &timers[i],
                         static_cast<long>(kLatenessPeriod / kNsPerMs), 0,
                         static_cast<long>(kLatenessPeriod / kNsPerMs));
    }
    const std::uint64_t serviceBefore = ServiceWakeups();
    SleepUntil(end + 3 * kLatenessPeriod);
    run.serviceWakeups = ServiceWakeups() - serviceBefore;
    manager.Stop();  // no callback runs after this: the log is ours
    const std::uint64_t service = run.serviceWakeups;
    run = Summarise(log, timers);
    run.serviceWakeups = service;
    run.slack = slack;
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

void RunLatenessFigure(const Options& options) {
    std::printf("\nFigure 1: expiry lateness, %d periodic %lld ms timers, phases staggered evenly, %.0f s per run\n",
                kLatenessTimers, static_cast<long long>(kLatenessPeriod / kNsPerMs), options.seconds);
    std::printf(
        "(timer slack %lu ns on the thread that runs the callbacks and on the baseline's; the main "
        "thread's is %lu ns)\n",
        options.slackNs, Slack());
    Series platformSeries, loopSeries, managerSeries, managerInherited;
    // Four kinds of run, their order rotated each round so that load drifting
    // over the minutes of the figure falls on all of them alike.
    const std::function<void(int)> kinds[] = {
        [&](int round) {
            const LatenessRun run = RunPlatformLateness(options);
            PrintLatenessRun(round, "SetWaitableTimer + SleepEx", run);
            platformSeries.Add(run);
            gJson.Curve("SetWaitableTimer + SleepEx", run.curve);
        },
        [&](int round) {
            const LatenessRun run = RunSleepLoopLateness(options);
            PrintLatenessRun(round, "clock_nanosleep loop (baseline)", run);
            loopSeries.Add(run);
            gJson.Curve("clock_nanosleep loop (baseline)", run.curve);
        },
        [&](int round) {
            const LatenessRun run = RunManagerLateness(options, static_cast<long>(options.slackNs));
            PrintLatenessRun(round, "TimerManager (from AddTimer)", run);
            managerSeries.Add(run);
            gJson.Curve("TimerManager (from AddTimer)", run.curve);
        },
        [&](int round) {
            const LatenessRun run = RunManagerLateness(options, -1);
            PrintLatenessRun(round, "TimerManager, inherited slack", run);
            managerInherited.Add(run);
            gJson.Curve("TimerManager, inherited slack", run.curve);
        },
    };
    constexpr int kKinds = 4;
    for (int round = 0; round < options.rounds; ++round) {
        for (int k = 0; k < kKinds; ++k) kinds[(round + k) % kKinds](round + 1);
    }
    std::printf(
        "\nRatios: candidate / baseline lateness, medians of %d interleaved rounds (min: ratio of the best "
        "rounds)\n\n",
        options.rounds);
    PrintRow("ratio", "min", "target", "verdict", "candidate", "baseline", "n", "figure");
    PrintRatio("lateness p50, SetWaitableTimer + SleepEx", platformSeries.p50, loopSeries.p50, 1.2);
    PrintRatio("lateness p99, SetWaitableTimer + SleepEx", platformSeries.p99, loopSeries.p99, 0);
    PrintRatio("lateness p50, TimerManager (from AddTimer)", managerSeries.p50, loopSeries.p50, 0);
    PrintRatio("lateness p99, TimerManager (from AddTimer)", managerSeries.p99, loopSeries.p99, 0);
    // What the manager adds to the platform timers it is made of.
    PrintRatio("lateness p50, TimerManager / SetWaitableTimer + SleepEx", managerSeries.p50, platformSeries.p50, 1.2);
    PrintRatio("lateness p99, TimerManager / SetWaitableTimer + SleepEx", managerSeries.p99, platformSeries.p99, 2.0);
    const std::string inheritedP50 =
        "lateness p50, TimerManager, inherited slack " + std::to_string(managerInherited.slack) + " ns";
    const std::string inheritedP99 =
        "lateness p99, TimerManager, inherited slack " + std::to_string(managerInherited.slack) + " ns";
    PrintRatio(inheritedP50.c_str(), managerInherited.p50, loopSeries.p50, 0);
    PrintRatio(inheritedP99.c_str(), managerInherited.p99, loopSeries.p99, 0);
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
    gJson.Count("early, SetWaitableTimer + SleepEx", static_cast<double>(platformSeries.early));
    gJson.Count("early, TimerManager", static_cast<double>(managerSeries.early));
    gJson.Count("early, TimerManager, inherited slack", static_cast<double>(managerInherited.early));
    counts("SetWaitableTimer + SleepEx", platformSeries, true);
    counts("clock_nanosleep loop", loopSeries, false);
    counts("TimerManager", managerSeries, true);
    counts("TimerManager, inherited slack", managerInherited, true);
    std::printf("timer service wake-ups during the platform runs: %llu (its thread times its own timers)\n",
                static_cast<unsigned long long>(platformSeries.serviceWakeups));
    std::fflush(stdout);
}

// ======================================================================================
// Figure 2: drift of one 1 ms periodic timer
// ======================================================================================

constexpr std::int64_t kDriftPeriod = 1 * kNsPerMs;
constexpr int kDriftPeriods = 10000;

struct DriftState {
    std::int64_t first = 0;  // due time of the first expiry
    int calls = 0;
    std::int64_t last = 0;  // start of the kDriftPeriods-th callback
    std::atomic<bool> done{false};
};

void CountDriftCall(DriftState& state) {
    if (++state.calls == kDriftPeriods) {
        state.last = MonoNow();
        state.done.store(true);
        state.done.notify_one();
    }
}

void RVSYS_WINAPI OnDriftExpiry(void* argument, platform::DWORD, platform::DWORD) {
    CountDriftCall(*static_cast<DriftState*>(argument));
}

void OnDriftTimer(unsigned long, void* userData) { CountDriftCall(*static_cast<DriftState*>(userData)); }

// The kDriftPeriods-th callback minus (first due + (kDriftPeriods - 1) periods).
double PlatformDrift(const Options& options) {
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
    return static_cast<double>(state.last - (state.first + (kDriftPeriods - 1) * kDriftPeriod));
}

double ManagerDrift(const Options& options) {
    TimerManager manager;
    if (manager.Start() != 1) return 0;
    ApplyManagerSlack(manager, static_cast<long>(options.slackNs));
    DriftState state;
    // Approximated: the timer is armed a little after this reading.
    state.first = MonoNow() + kDriftPeriod;
    manager.AddTimer(1, OnDriftTimer, &state, static_cast<long>(kDriftPeriod / kNsPerMs), 0,
                     static_cast<long>(kDriftPeriod / kNsPerMs));
    state.done.wait(false);
    manager.Stop();
    return static_cast<double>(state.last - (state.first + (kDriftPeriods - 1) * kDriftPeriod));
}

// The naive loop: each period sleeps 1 ms from whenever the previous one woke.
double RelativeSleepDrift(const Options& options) {
    double drift = 0;
    std::thread loop([&] {
        SetSlack(options.slackNs);
        const std::int64_t first = MonoNow() + kDriftPeriod;
        const timespec period = TimespecOf(kDriftPeriod);
        for (int i = 0; i < kDriftPeriods; ++i) {
            while (clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr) == EINTR) {
            }
        }
        drift = static_cast<double>(MonoNow() - (first + (kDriftPeriods - 1) * kDriftPeriod));
    });
    loop.join();
    return drift;
}

// A periodic timer stays on its grid, so its drift is whole missed periods
// (expiries coalesced while the thread could not run) plus the lateness of the
// last callback.
std::string DriftText(double drift) {
    const auto period = static_cast<double>(kDriftPeriod);
    if (drift < period) return FormatTime(drift);
    const double missed = static_cast<double>(static_cast<std::int64_t>(drift / period));
    return FormatTime(drift) + " = " + Format("%.0f", missed) + " missed periods + " +
           FormatTime(drift - missed * period);
}

// What the machine allows: the same 1 ms grid slept to with
// clock_nanosleep(TIMER_ABSTIME), missed grid points skipped as the library
// does. Its drift is the lateness and the missed periods that come from the
// machine (other load), not from the timer code.
double GridSleepDrift(const Options& options) {
    double drift = 0;
    std::thread loop([&] {
        SetSlack(options.slackNs);
        const std::int64_t first = MonoNow() + kDriftPeriod;
        std::int64_t due = first;
        for (int i = 0; i < kDriftPeriods; ++i) {
            SleepUntil(due);
            const std::int64_t now = MonoNow();
            if (i == kDriftPeriods - 1)
                drift = static_cast<double>(now - (first + (kDriftPeriods - 1) * kDriftPeriod));
            due += ((now - due) / kDriftPeriod + 1) * kDriftPeriod;
        }
    });
    loop.join();
    return drift;
}

void RunDriftFigure(const Options& options) {
    std::printf(
        "\nFigure 2: drift of one %lld ms periodic timer over %d periods: the %dth callback minus (first "
        "due + %d periods); slack %lu ns\n",
        static_cast<long long>(kDriftPeriod / kNsPerMs), kDriftPeriods, kDriftPeriods, kDriftPeriods - 1,
        options.slackNs);
    std::vector<double> platformDrift, managerDrift, loopDrift, gridDrift;
    const std::function<void(int)> kinds[] = {
        [&](int round) {
            platformDrift.push_back(PlatformDrift(options));
            std::printf("  round %d  SetWaitableTimer + SleepEx        %s\n", round,
                        DriftText(platformDrift.back()).c_str());
        },
        [&](int round) {
            managerDrift.push_back(ManagerDrift(options));
            std::printf("  round %d  TimerManager (from AddTimer)      %s\n", round,
                        DriftText(managerDrift.back()).c_str());
        },
        [&](int round) {
            loopDrift.push_back(RelativeSleepDrift(options));
            std::printf("  round %d  1 ms relative sleep loop          %s (%.1f%%)\n", round,
                        FormatTime(loopDrift.back()).c_str(),
                        100.0 * loopDrift.back() / static_cast<double>(kDriftPeriods * kDriftPeriod));
        },
        [&](int round) {
            gridDrift.push_back(GridSleepDrift(options));
            std::printf("  round %d  1 ms clock_nanosleep grid loop    %s\n", round,
                        DriftText(gridDrift.back()).c_str());
        },
    };
    constexpr int kKinds = 4;
    for (int round = 0; round < options.rounds; ++round) {
        for (int k = 0; k < kKinds; ++k) kinds[(round + k) % kKinds](round + 1);
        std::fflush(stdout);
    }
    // The target is absolute: under one period in total. The ratio shows how
    // much of the naive loop's drift is left.
    std::printf(
        "\nDrift: candidate / relative-sleep loop, medians of %d interleaved rounds; verdict: median drift "
        "under one period\n\n",
        options.rounds);
    PrintRow("ratio", "min", "target", "verdict", "candidate", "baseline", "n", "figure");
    auto row = [&](const char* label, const std::vector<double>& drift, bool judged) {
        const double median = Median(drift);
        const char* verdict = !judged ? "info" : median < static_cast<double>(kDriftPeriod) ? "ok" : "MISS";
        PrintRow(Format("%.4fx", median / Median(loopDrift)), Format("%.4fx", Min(drift) / Min(loopDrift)),
                 judged ? "<1 per." : "", verdict, FormatTime(median), FormatTime(Median(loopDrift)),
                 std::to_string(drift.size()), label);
        gJson.Row("drift", label, drift, loopDrift, 0, verdict);
    };
    row("drift after 10,000 periods, SetWaitableTimer + SleepEx", platformDrift, true);
    row("drift after 10,000 periods, TimerManager (from AddTimer)", managerDrift, true);
    row("drift after 10,000 periods, clock_nanosleep grid loop (the machine)", gridDrift, false);
    std::fflush(stdout);
}

// ======================================================================================
// Figure 3: arm and cancel among N armed timers
// ======================================================================================

// Far enough that nothing fires: a day, spread over an hour.
constexpr std::int64_t kFarNs = 86400 * kNsPerS;
constexpr std::int64_t kSpreadNs = 3600 * kNsPerS;
constexpr std::size_t kMaxArmed = 1000000;
// Unarmed timers waiting their turn, taken oldest first: an armed timer comes
// from memory no operation touched for the last 200,000, as a timer armed
// now and then in a real program does, not from a batch just handled.
constexpr std::size_t kSpares = 200000;
// Operations timed together; the batch's set-up (the opposite operation, the
// choice of timers) is not timed. Per-operation time goes to Google Benchmark
// as manual time.
constexpr std::size_t kBatch = 1024;

std::int64_t FarOffset(KeyStream& keys) { return kFarNs + static_cast<std::int64_t>(keys.Next() % kSpreadNs); }

// Which of `total` timers are armed and which are spares: the same
// bookkeeping, from the same seed, for the library and the baseline.
class ArmedSet {
public:
    ArmedSet(std::size_t total, std::uint64_t seed) : mSpares(total), mRandom(seed) {
        for (std::size_t i = 0; i < total; ++i) mSpares[i] = static_cast<std::uint32_t>(i);
        mSpareCount = total;
        mArmed.reserve(total);
    }

    std::size_t ArmedCount() const { return mArmed.size(); }

    // The spare unused for longest.
    std::uint32_t TakeSpare() {
        const std::uint32_t index = mSpares[mSpareHead];
        mSpareHead = (mSpareHead + 1) % mSpares.size();
        --mSpareCount;
        return index;
    }
    void AddSpare(std::uint32_t index) {
        mSpares[(mSpareHead + mSpareCount) % mSpares.size()] = index;
        ++mSpareCount;
    }

    void AddArmed(std::uint32_t index) { mArmed.push_back(index); }
    // Any armed timer, at random: random memory and a random heap position.
    std::uint32_t TakeRandomArmed() {
        const std::size_t at = mRandom.Next() % mArmed.size();
        const std::uint32_t index = mArmed[at];
        mArmed[at] = mArmed.back();
        mArmed.pop_back();
        return index;
    }

    KeyStream& Random() { return mRandom; }

private:
    std::vector<std::uint32_t> mSpares;  // a ring, oldest first
    std::size_t mSpareHead = 0;
    std::size_t mSpareCount = 0;
    std::vector<std::uint32_t> mArmed;
    KeyStream mRandom;
};

// The library's side: n armed service timers (relative, no routine: the
// service's own heap) and kSpares spares, one set per size. Both sets are kept,
// since Google Benchmark interleaves the repetitions of both sizes, but only
// the active one is armed: the service has one heap.
class ServiceTimers {
public:
    using Due = platform::LARGE_INTEGER;

    static ServiceTimers& Get(std::size_t n) {
        if (n == kMaxArmed) {
            static ServiceTimers* large = new ServiceTimers(kMaxArmed);
            return *large;
        }
        static ServiceTimers* small = new ServiceTimers(100000);
        return *small;
    }

    bool Ok() const { return mOk; }
    double ObjectBytes() const { return mObjectBytes; }
    double ArmingBytes() const { return mArmingBytes; }
    ArmedSet& Set() { return mSet; }

    // Disarms the other set and arms this one's n timers.
    void Activate() {
        static ServiceTimers* active = nullptr;
        if (active == this) return;
        if (active != nullptr) active->DisarmAll();
        while (mSet.ArmedCount() < mArmed) {
            const std::uint32_t index = mSet.TakeSpare();
            if (!Arm(index, MakeDue(FarOffset(mSet.Random())))) mOk = false;
            mSet.AddArmed(index);
        }
        active = this;
    }

    void BeginBatch() {}
    Due MakeDue(std::int64_t offset) const {
        Due due;
        due.QuadPart = -(offset / 100);
        return due;
    }
    bool Arm(std::uint32_t index, const Due& due) {
        return platform::SetWaitableTimer(mHandles[index], &due, 0, nullptr, nullptr, platform::FALSE) ==
               platform::TRUE;
    }
    void Cancel(std::uint32_t index) { platform::CancelWaitableTimer(mHandles[index]); }

private:
    explicit ServiceTimers(std::size_t n) : mHandles(n + kSpares, nullptr), mSet(n + kSpares, 42), mArmed(n) {
        const std::int64_t before = ResidentBytes();
        for (auto& handle : mHandles) {
            handle = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
            if (handle == nullptr) return;
        }
        mOk = true;
        const std::int64_t created = ResidentBytes();
        Activate();
        mObjectBytes = static_cast<double>(created - before) / static_cast<double>(mHandles.size());
        mArmingBytes = static_cast<double>(ResidentBytes() - created) / static_cast<double>(n);
    }

    void DisarmAll() {
        while (mSet.ArmedCount() > 0) {
            const std::uint32_t index = mSet.TakeRandomArmed();
            Cancel(index);
            mSet.AddSpare(index);
        }
    }

    std::vector<platform::HANDLE> mHandles;
    ArmedSet mSet;
    std::size_t mArmed;
    double mObjectBytes = 0;
    double mArmingBytes = 0;
    bool mOk = false;
};

// The baseline's side: n armed items and kSpares spares, one heap per size.
class HeapTimers {
public:
    using Due = std::int64_t;

    static HeapTimers& Get(std::size_t n) {
        static HeapTimers* small = new HeapTimers(100000);
        static HeapTimers* large = new HeapTimers(kMaxArmed);
        return n == kMaxArmed ? *large : *small;
    }

    ArmedSet& Set() { return mSet; }
    // The library reads the clock inside SetWaitableTimer; the baseline reads it
    // once per batch, outside the timing.
    void BeginBatch() { mNow = MonoNow(); }
    Due MakeDue(std::int64_t offset) const { return mNow + offset; }
    bool Arm(std::uint32_t index, Due due) {
        mItems[index].due = due;
        mHeap.Push(&mItems[index]);
        return true;
    }
    void Cancel(std::uint32_t index) { mHeap.Remove(&mItems[index]); }
    void Activate() {}

private:
    explicit HeapTimers(std::size_t n) : mItems(n + kSpares), mSet(n + kSpares, 42) {
        mHeap.Reserve(n + kBatch);
        BeginBatch();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t index = mSet.TakeSpare();
            Arm(index, MakeDue(FarOffset(mSet.Random())));
            mSet.AddArmed(index);
        }
    }

    std::vector<HeapItem> mItems;
    QuadHeap mHeap;
    ArmedSet mSet;
    std::int64_t mNow = 0;
};

#if defined(RVSYS_BENCH_HAVE_LIBUV)
// The peer: as many libuv timers, armed with uv_timer_start and cancelled with
// uv_timer_stop on one loop that never runs (nothing is due for a day). libuv
// keeps its timers in a binary heap linked through the handles themselves.
class UvTimers {
public:
    using Due = std::uint64_t;  // ms from the loop's time, as uv_timer_start takes it

    static UvTimers& Get(std::size_t n) {
        if (n == kMaxArmed) {
            static UvTimers* large = new UvTimers(kMaxArmed);
            return *large;
        }
        static UvTimers* small = new UvTimers(100000);
        return *small;
    }

    ArmedSet& Set() { return mSet; }
    double BytesPerTimer() const { return mBytes; }
    // The loop's cached time, as a program's loop has it on each pass.
    void BeginBatch() { uv_update_time(&mLoop); }
    Due MakeDue(std::int64_t offset) const { return static_cast<Due>(offset / kNsPerMs); }
    bool Arm(std::uint32_t index, Due due) { return uv_timer_start(&mTimers[index], OnTimer, due, 0) == 0; }
    void Cancel(std::uint32_t index) { uv_timer_stop(&mTimers[index]); }
    void Activate() {}

private:
    static void OnTimer(uv_timer_t*) {}

    explicit UvTimers(std::size_t n) : mSet(n + kSpares, 42) {
        uv_loop_init(&mLoop);
        const std::int64_t before = ResidentBytes();
        mTimers.reset(new uv_timer_t[n + kSpares]);
        for (std::size_t i = 0; i < n + kSpares; ++i) uv_timer_init(&mLoop, &mTimers[i]);
        BeginBatch();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t index = mSet.TakeSpare();
            Arm(index, MakeDue(FarOffset(mSet.Random())));
            mSet.AddArmed(index);
        }
        mBytes = static_cast<double>(ResidentBytes() - before) / static_cast<double>(n + kSpares);
    }

    uv_loop_t mLoop;
    std::unique_ptr<uv_timer_t[]> mTimers;
    ArmedSet mSet;
    double mBytes = 0;
};

#endif

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `batch()` every `size` iterations and reports its time divided over
// them. `batch` returns the seconds of its timed part.
template <class Batch>
void RunBatched(benchmark::State& state, std::size_t size, Batch&& batch) {
    double perOperation = 0;
    std::size_t left = 0;
    for (auto _ : state) {
        if (left == 0) {
            perOperation = batch() / static_cast<double>(size);
            left = size;
        }
        --left;
        state.SetIterationTime(perOperation);
    }
}

// Arms kBatch spares among the n armed (timed), then cancels as many armed
// timers at random (not timed) to stay at n.
template <class Timers>
void ArmAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<std::uint32_t> batch(kBatch);
    std::vector<typename Timers::Due> dues(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        timers.BeginBatch();
        for (std::size_t k = 0; k < kBatch; ++k) {
            batch[k] = set.TakeSpare();
            dues[k] = timers.MakeDue(FarOffset(set.Random()));
        }
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kBatch; ++k) timers.Arm(batch[k], dues[k]);
        const double seconds = SecondsSince(start);
        for (std::uint32_t index : batch) set.AddArmed(index);
        for (std::size_t k = 0; k < kBatch; ++k) {
            const std::uint32_t index = set.TakeRandomArmed();
            timers.Cancel(index);
            set.AddSpare(index);
        }
        return seconds;
    });
}

// Cancels kBatch armed timers chosen at random (timed), then arms as many
// spares (not timed) to stay at n.
template <class Timers>
void CancelAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<std::uint32_t> batch(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        for (auto& index : batch) index = set.TakeRandomArmed();
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t index : batch) timers.Cancel(index);
        const double seconds = SecondsSince(start);
        timers.BeginBatch();
        for (std::uint32_t index : batch) set.AddSpare(index);
        for (std::size_t k = 0; k < kBatch; ++k) {
            const std::uint32_t index = set.TakeSpare();
            timers.Arm(index, timers.MakeDue(FarOffset(set.Random())));
            set.AddArmed(index);
        }
        return seconds;
    });
}

// Arms and cancels one timer over and over (timed as pairs) among the n
// armed: everything it touches stays in the cache, which leaves the fixed
// cost of the calls.
template <class Timers>
void ArmCancelSameAmongArmed(benchmark::State& state, Timers& timers) {
    timers.Activate();
    std::vector<typename Timers::Due> dues(kBatch);
    ArmedSet& set = timers.Set();
    RunBatched(state, kBatch, [&] {
        const std::uint32_t index = set.TakeRandomArmed();
        timers.Cancel(index);
        timers.BeginBatch();
        for (auto& due : dues) due = timers.MakeDue(FarOffset(set.Random()));
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kBatch; ++k) {
            timers.Arm(index, dues[k]);
            timers.Cancel(index);
        }
        const double seconds = SecondsSince(start);
        timers.Arm(index, dues[0]);
        set.AddArmed(index);
        return seconds;
    });
}

// The service's n armed timers for this run, activated before anything is
// counted; null, with the run skipped, when they cannot be made.
ServiceTimers* PreparedServiceTimers(benchmark::State& state) {
    ServiceTimers& timers = ServiceTimers::Get(static_cast<std::size_t>(state.range(0)));
    if (!timers.Ok()) {
        state.SkipWithError("cannot create and arm the timers");
        return nullptr;
    }
    timers.Activate();
    return &timers;
}

void ServiceArm(benchmark::State& state) {
    ServiceTimers* prepared = PreparedServiceTimers(state);
    if (prepared == nullptr) return;
    ServiceTimers& timers = *prepared;
    const std::uint64_t wakeups = ServiceWakeups();
    ArmAmongArmed(state, timers);
    // None of them is the earliest: no system call, and the service sleeps on.
    state.counters["svc_wakeups"] = static_cast<double>(ServiceWakeups() - wakeups);
    const std::uint32_t index = timers.Set().TakeRandomArmed();
    const ServiceTimers::Due due = timers.MakeDue(kFarNs);
    rvsys::bench::RecordSyscallsPerCall(state, [&] { timers.Arm(index, due); });
    timers.Set().AddArmed(index);
}

void ServiceCancel(benchmark::State& state) {
    ServiceTimers* timers = PreparedServiceTimers(state);
    if (timers == nullptr) return;
    const std::uint64_t wakeups = ServiceWakeups();
    CancelAmongArmed(state, *timers);
    state.counters["svc_wakeups"] = static_cast<double>(ServiceWakeups() - wakeups);
}

void ServiceArmCancelSame(benchmark::State& state) {
    if (ServiceTimers* timers = PreparedServiceTimers(state)) ArmCancelSameAmongArmed(state, *timers);
}

void HeapInsertRemoveSame(benchmark::State& state) {
    ArmCancelSameAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

void HeapInsert(benchmark::State& state) {
    ArmAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

void HeapCancel(benchmark::State& state) {
    CancelAmongArmed(state, HeapTimers::Get(static_cast<std::size_t>(state.range(0))));
}

#if defined(RVSYS_BENCH_HAVE_LIBUV)
void UvStart(benchmark::State& state) {
    ArmAmongArmed(state, UvTimers::Get(static_cast<std::size_t>(state.range(0))));
}
void UvStop(benchmark::State& state) {
    CancelAmongArmed(state, UvTimers::Get(static_cast<std::size_t>(state.range(0))));
}
#endif

// ======================================================================================
// Figure 4: TimerManager AddTimer until armed, RemoveTimer
// ======================================================================================

constexpr std::size_t kManagerTimers = 100000;
constexpr std::size_t kManagerBatch = 4096;
constexpr unsigned long kResidentIdBase = 1000000;
constexpr unsigned long kExtraIdBase = 1;
constexpr unsigned long kSentinelIdBase = 0x40000000ul;

long FarDueMs(KeyStream& keys) { return static_cast<long>(FarOffset(keys) / kNsPerMs); }

void NeverCalled(unsigned long, void*) {}
void RVSYS_WINAPI NeverCalledRoutine(void*, platform::DWORD, platform::DWORD) {}

void OnSentinel(unsigned long, void* userData) {
    auto* fired = static_cast<std::atomic<bool>*>(userData);
    fired->store(true);
    fired->notify_one();
}

// A manager holding kManagerTimers far-future timers, plus kManagerBatch
// extra ids the benchmarks add and remove.
class ManagerTimers {
public:
    static ManagerTimers& Get() {
        static ManagerTimers* timers = new ManagerTimers;
        return *timers;
    }
    bool Ok() const { return mOk; }
    TimerManager& Manager() { return mManager; }
    KeyStream& Keys() { return mKeys; }
    double BytesPerTimer() const { return mBytesPerTimer; }

    // Queues a one-shot timer due at once, behind everything queued so far
    // (the thread arms its queue in id order and this id is the highest), and
    // waits for its callback: by then everything queued before it is armed.
    bool WaitUntilArmed() {
        std::atomic<bool> fired{false};
        const unsigned long id = kSentinelIdBase + (mSentinels++ & 0xFFFFFFu);
        if (mManager.AddTimer(id, OnSentinel, &fired, 0, 1, 0) != 1) return false;
        // The thread arms in the next few microseconds: spin a little first.
        for (int spin = 0; spin < 20000 && !fired.load(std::memory_order_acquire); ++spin) {
            std::this_thread::yield();
        }
        fired.wait(false);
        return true;
    }

    void Stop() { mManager.Stop(); }

private:
    ManagerTimers() : mKeys(7) {
        const std::int64_t before = ResidentBytes();
        if (mManager.Start() != 1) return;
        for (std::size_t i = 0; i < kManagerTimers; ++i) {
            if (mManager.AddTimer(kResidentIdBase + i, NeverCalled, nullptr, FarDueMs(mKeys), 0, 0) != 1) return;
        }
        if (!WaitUntilArmed()) return;
        mBytesPerTimer = static_cast<double>(ResidentBytes() - before) / static_cast<double>(kManagerTimers);
        mOk = true;
    }

    TimerManager mManager;
    KeyStream mKeys;
    unsigned long mSentinels = 0;
    double mBytesPerTimer = 0;
    bool mOk = false;
};

// The baseline's side: what the manager's thread does per timer, done by the
// benchmark thread itself on its own kManagerTimers routine timers.
class OwnedPlatformTimers {
public:
    static OwnedPlatformTimers& Get() {
        static OwnedPlatformTimers* timers = new OwnedPlatformTimers;
        return *timers;
    }
    bool Ok() const { return mOk; }

    static platform::HANDLE CreateAndArm(long dueMs) {
        platform::HANDLE timer = platform::CreateWaitableTimerA(nullptr, platform::FALSE, nullptr);
        platform::LARGE_INTEGER due;
        due.QuadPart = static_cast<std::int64_t>(dueMs) * -10000;
        platform::SetWaitableTimer(timer, &due, static_cast<platform::LONG>(dueMs), NeverCalledRoutine, nullptr,
                                   platform::FALSE);
        return timer;
    }

    KeyStream& Keys() { return mKeys; }

private:
    // Must be made on the thread that runs the benchmarks: routine timers
    // belong to the thread that arms them.
    OwnedPlatformTimers() : mResident(kManagerTimers), mKeys(7) {
        for (auto& timer : mResident) {
            timer = CreateAndArm(FarDueMs(mKeys));
            if (timer == nullptr) return;
        }
        mOk = true;
    }

    std::vector<platform::HANDLE> mResident;
    KeyStream mKeys;
    bool mOk = false;
};

// A batch's time ends when the sentinel's callback has reached this thread:
// that hand-off (some 100 us, two wake-ups) is about 3% of a batch.
void ManagerAddUntilArmed(benchmark::State& state) {
    ManagerTimers& timers = ManagerTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot fill the TimerManager");
        return;
    }
    std::vector<long> dues(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& due : dues) due = FarDueMs(timers.Keys());
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) {
            timers.Manager().AddTimer(kExtraIdBase + k, NeverCalled, nullptr, dues[k], 0, 0);
        }
        timers.WaitUntilArmed();
        const double seconds = SecondsSince(start);
        for (std::size_t k = 0; k < kManagerBatch; ++k) timers.Manager().RemoveTimer(kExtraIdBase + k);
        return seconds;
    });
}

void ManagerRemove(benchmark::State& state) {
    ManagerTimers& timers = ManagerTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot fill the TimerManager");
        return;
    }
    RunBatched(state, kManagerBatch, [&] {
        for (std::size_t k = 0; k < kManagerBatch; ++k) {
            timers.Manager().AddTimer(kExtraIdBase + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
        }
        timers.WaitUntilArmed();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) timers.Manager().RemoveTimer(kExtraIdBase + k);
        return SecondsSince(start);
    });
}

void PlatformCreateArm(benchmark::State& state) {
    OwnedPlatformTimers& timers = OwnedPlatformTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot arm the routine timers");
        return;
    }
    std::vector<long> dues(kManagerBatch);
    std::vector<platform::HANDLE> handles(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& due : dues) due = FarDueMs(timers.Keys());
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < kManagerBatch; ++k) handles[k] = OwnedPlatformTimers::CreateAndArm(dues[k]);
        const double seconds = SecondsSince(start);
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        return seconds;
    });
}

void PlatformCancelClose(benchmark::State& state) {
    OwnedPlatformTimers& timers = OwnedPlatformTimers::Get();
    if (!timers.Ok()) {
        state.SkipWithError("cannot arm the routine timers");
        return;
    }
    std::vector<platform::HANDLE> handles(kManagerBatch);
    RunBatched(state, kManagerBatch, [&] {
        for (auto& handle : handles) handle = OwnedPlatformTimers::CreateAndArm(FarDueMs(timers.Keys()));
        const auto start = std::chrono::steady_clock::now();
        for (auto handle : handles) {
            platform::CancelWaitableTimer(handle);
            platform::CloseHandle(handle);
        }
        return SecondsSince(start);
    });
}

// The manager's thread must not wake the service for timers that are not the
// earliest: adds 10,000 later timers at once, then 1,000 one at a time (each
// finding the thread in its wait), and counts the service's wake-ups. The
// sentinel is due in 1 ms, so the manager's thread times it itself.
std::string ServiceWakeupsForLaterTimers() {
    ManagerTimers& timers = ManagerTimers::Get();
    TimerManager& manager = timers.Manager();
    std::atomic<bool> fired{false};
    const std::uint64_t before = ServiceWakeups();
    constexpr unsigned long kIds = 2000000;
    for (unsigned long k = 0; k < 10000; ++k)
        manager.AddTimer(kIds + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
    for (unsigned long k = 10000; k < 11000; ++k) {
        manager.AddTimer(kIds + k, NeverCalled, nullptr, FarDueMs(timers.Keys()), 0, 0);
        SleepUntil(MonoNow() + 200 * kNsPerUs);
    }
    manager.AddTimer(kIds + 0xFFFFF, OnSentinel, &fired, 1, 1, 0);
    fired.wait(false);
    const std::uint64_t woken = ServiceWakeups() - before;
    for (unsigned long k = 0; k < 11000; ++k) manager.RemoveTimer(kIds + k);
    return std::to_string(woken) +
           " wake-ups for 11,000 AddTimer of later timers (target 0: " + (woken == 0 ? "ok)" : "MISS)");
}

std::string Bytes(double bytes) { return Format("%.0f B", bytes); }

void RegisterTimerBenchmarks(const Options& options) {
    if (options.Runs('3')) {
        const ServiceTimers& service = ServiceTimers::Get(kMaxArmed);
        if (service.Ok()) {
            benchmark::AddCustomContext(
                "memory per armed service timer",
                "RSS " + Bytes(service.ObjectBytes() + service.ArmingBytes()) + ": " + Bytes(service.ObjectBytes()) +
                    " per timer and handle (sizeof(TimerObj) " + std::to_string(sizeof(posix::TimerObj)) + " B) + " +
                    Bytes(service.ArmingBytes()) + " for arming it (heap slot " +
                    std::to_string(sizeof(std::int64_t) + sizeof(void*)) + " B)");
        } else {
            benchmark::AddCustomContext("memory per armed service timer", "1,000,000 timers could not be armed");
        }
        struct Named {
            const char* name;
            void (*function)(benchmark::State&);
        };
        std::vector<Named> benchmarks = {Named{"ServiceArm", ServiceArm},
                                         Named{"HeapInsert", HeapInsert},
                                         Named{"ServiceCancel", ServiceCancel},
                                         Named{"HeapCancel", HeapCancel},
                                         Named{"ServiceArmCancelSame", ServiceArmCancelSame},
                                         Named{"HeapInsertRemoveSame", HeapInsertRemoveSame}};
#if defined(RVSYS_BENCH_HAVE_LIBUV)
        benchmarks.push_back(Named{"UvTimerStart", UvStart});
        benchmarks.push_back(Named{"UvTimerStop", UvStop});
        const UvTimers& uv = UvTimers::Get(kMaxArmed);
        benchmark::AddCustomContext("memory per armed libuv timer", "RSS " + Bytes(uv.BytesPerTimer()) +
                                                                        " (sizeof(uv_timer_t) " +
                                                                        std::to_string(sizeof(uv_timer_t)) + " B)");
        if (service.Ok()) {
            benchmark::AddCustomContext(
                "memory per armed timer, library / sizeof(uv_timer_t)",
                Format("%.2fx", (service.ObjectBytes() + service.ArmingBytes()) / sizeof(uv_timer_t)) +
                    " (target <=1.50x)");
        }
#else
        std::printf("NOTICE: libuv (Debian libuv1-dev) not found at build time: the libuv figures are skipped\n");
#endif
        for (const Named& named : benchmarks) {
            benchmark::RegisterBenchmark(named.name, named.function)
                ->ArgName("armed")
                ->Arg(100000)
                ->Arg(static_cast<std::int64_t>(kMaxArmed))
                ->UseManualTime();
        }
    }
    if (options.Runs('4')) {
        const ManagerTimers& manager = ManagerTimers::Get();
        OwnedPlatformTimers::Get();  // on this thread: it runs the benchmarks
        if (manager.Ok()) {
            benchmark::AddCustomContext("memory per TimerManager timer", "RSS " + Bytes(manager.BytesPerTimer()));
            benchmark::AddCustomContext("timer service, TimerManager", ServiceWakeupsForLaterTimers());
        }
        benchmark::RegisterBenchmark("ManagerAddUntilArmed", ManagerAddUntilArmed)->UseManualTime();
        benchmark::RegisterBenchmark("PlatformCreateArm", PlatformCreateArm)->UseManualTime();
        benchmark::RegisterBenchmark("ManagerRemove", ManagerRemove)->UseManualTime();
        benchmark::RegisterBenchmark("PlatformCancelClose", PlatformCancelClose)->UseManualTime();
    }
}

constexpr rvsys::bench::Ratio kRatios[] = {
    {"SetWaitableTimer, 100,000 armed", "ServiceArm/armed:100000", "HeapInsert/armed:100000", 1.5},
    {"SetWaitableTimer, 1,000,000 armed", "ServiceArm/armed:1000000", "HeapInsert/armed:1000000", 1.5},
    {"CancelWaitableTimer, 100,000 armed", "ServiceCancel/armed:100000", "HeapCancel/armed:100000", 1.5},
    {"CancelWaitableTimer, 1,000,000 armed", "ServiceCancel/armed:1000000", "HeapCancel/armed:1000000", 1.5},
    {"SetWaitableTimer / uv_timer_start, 100,000 armed", "ServiceArm/armed:100000", "UvTimerStart/armed:100000", 1.5},
    {"SetWaitableTimer / uv_timer_start, 1,000,000 armed", "ServiceArm/armed:1000000", "UvTimerStart/armed:1000000",
     1.5},
    {"CancelWaitableTimer / uv_timer_stop, 100,000 armed", "ServiceCancel/armed:100000", "UvTimerStop/armed:100000",
     1.5},
    {"CancelWaitableTimer / uv_timer_stop, 1,000,000 armed", "ServiceCancel/armed:1000000",
     "UvTimerStop/armed:1000000", 1.5},
    {"SetWaitableTimer growth, 1,000,000 / 100,000 armed", "ServiceArm/armed:1000000", "ServiceArm/armed:100000", 0},
    {"CancelWaitableTimer growth, 1,000,000 / 100,000", "ServiceCancel/armed:1000000", "ServiceCancel/armed:100000",
     0},
    {"heap insert growth, 1,000,000 / 100,000", "HeapInsert/armed:1000000", "HeapInsert/armed:100000", 0},
    {"heap cancel growth, 1,000,000 / 100,000", "HeapCancel/armed:1000000", "HeapCancel/armed:100000", 0},
    {"Set+CancelWaitableTimer, same timer (cached), 100,000 armed", "ServiceArmCancelSame/armed:100000",
     "HeapInsertRemoveSame/armed:100000", 0},
    {"Set+CancelWaitableTimer, same timer (cached), 1,000,000 armed", "ServiceArmCancelSame/armed:1000000",
     "HeapInsertRemoveSame/armed:1000000", 0},
    {"TimerManager AddTimer until armed, 100,000 in it / create+arm", "ManagerAddUntilArmed", "PlatformCreateArm", 0},
    {"TimerManager RemoveTimer, 100,000 in it / cancel+close", "ManagerRemove", "PlatformCancelClose", 0},
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    // The harness figures first: the fixtures of figures 3 and 4 would
    // otherwise sit in the service's heap during them.
    if (options.rounds > 0 && options.Runs('1')) RunLatenessFigure(options);
    if (options.rounds > 0 && options.Runs('2')) RunDriftFigure(options);
    gJson.Write(options.json, CurveQuantiles());
    if (!options.Runs('3') && !options.Runs('4')) return 0;
    std::printf("\n");
    std::fflush(stdout);
    RegisterTimerBenchmarks(options);
    const int result = rvsys::bench::RunRatioMain(argc, argv, kRatios);
    if (options.Runs('4') && ManagerTimers::Get().Ok()) ManagerTimers::Get().Stop();
    return result;
}
