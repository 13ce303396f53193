#include "support/ratio_main.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/flags.h"
#include "support/ratio_table.h"

namespace rvsys::bench {

namespace {

using Run = benchmark::BenchmarkReporter::Run;

// Placed before the user's arguments, so the user's own flags win.
const char* const kDefaultFlags[] = {
    "--benchmark_enable_random_interleaving=true",
    "--benchmark_repetitions=30",
    "--benchmark_min_time=0.1",
};

double NanosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond:
            return 1.0;
        case benchmark::kMicrosecond:
            return 1e3;
        case benchmark::kMillisecond:
            return 1e6;
        case benchmark::kSecond:
            return 1e9;
    }
    return 1.0;
}

std::string NameOf(const Run& run) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
    if (run.threads > 1) name += "/threads:" + std::to_string(run.threads);
    return name;
}

// The console reporter, reduced to each benchmark's median and spread, that
// keeps every repetition's time to print the ratio table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::span<const Ratio> ratios, OutputOptions options, std::string json)
        : ConsoleReporter(options), mRatios(ratios), mJson(std::move(json)) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        std::vector<Run> shown;
        bool errorShown = false;
        for (const Run& run : reports) {
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median" || run.aggregate_name == "cv") shown.push_back(run);
            } else if (run.error_occurred) {
                if (!errorShown) shown.push_back(run);  // once, not once per repetition
                errorShown = true;
            } else {
                mTimes[NameOf(run)].push_back(run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit));
                // Repetitions come in one call, their aggregates in the next.
                if (run.repetitions <= 1) shown.push_back(run);
            }
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        PrintRatios();
        WriteJson();
    }

private:
    // One row per figure whose benchmarks ran (a filter may have left some out).
    RatioTable Table() const {
        static const std::vector<double> kNone;
        RatioTable table;
        for (const Ratio& ratio : mRatios) {
            const auto candidate = mTimes.find(ratio.candidate);
            const auto baseline = mTimes.find(ratio.baseline);
            if (candidate == mTimes.end() && baseline == mTimes.end()) continue;
            table.Add(ratio.label, candidate == mTimes.end() ? kNone : candidate->second,
                      baseline == mTimes.end() ? kNone : baseline->second, Target{ratio.target});
        }
        return table;
    }

    void PrintRatios() {
        const RatioTable table = Table();
        if (table.Empty()) return;
        std::ostream& out = GetOutputStream();
        out << "\nRatios: candidate / baseline wall time per iteration, medians of interleaved repetitions\n"
               "(min: the same ratio of the fastest repetitions; n: repetitions of each)\n\n"
            << table.Text();
        out.flush();
    }

    // The table as data (--ratio_json=<file>).
    void WriteJson() {
        if (!mJson.empty()) WriteJsonObject(mJson, "\"ratios\": [\n" + Table().JsonRows() + "\n]");
    }

    std::span<const Ratio> mRatios;
    std::string mJson;
    std::map<std::string, std::vector<double>> mTimes;  // ns per iteration, one entry per repetition
};

}  // namespace

int RunRatioMain(int argc, char** argv, std::span<const Ratio> ratios) {
    std::thread([] {}).join();  // from here on glibc takes its multi-threaded paths

    std::string json = TakeFlags(argc, argv, "ratio_")["ratio_json"];
    std::vector<char*> args;
    args.push_back(argv[0]);
    for (const char* flag : kDefaultFlags) args.push_back(const_cast<char*>(flag));
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter(
        ratios,
        isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular : benchmark::ConsoleReporter::OO_Tabular,
        json);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace rvsys::bench
