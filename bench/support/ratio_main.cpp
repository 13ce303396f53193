#include "support/ratio_main.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Standard deviation / mean of the repetitions: the spread of a figure.
double Cv(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    const double mean = sum / static_cast<double>(values.size());
    double squares = 0;
    for (double v : values) squares += (v - mean) * (v - mean);
    return values.size() < 2 || mean == 0 ? 0 : std::sqrt(squares / static_cast<double>(values.size() - 1)) / mean;
}

std::string Escaped(const char* text) {
    std::string escaped;
    for (; *text != '\0'; ++text) {
        if (*text == '"' || *text == '\\') escaped += '\\';
        escaped += *text;
    }
    return escaped;
}

std::string Format(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatTime(double ns) {
    if (ns < 1e3) return Format("%.1f ns", ns);
    if (ns < 1e6) return Format("%.2f us", ns / 1e3);
    return Format("%.2f ms", ns / 1e6);
}

// A line of the ratio table: fixed-width columns, the free-text figure last.
std::string Row(const std::string& ratio, const std::string& best, const std::string& target,
                const std::string& verdict, const std::string& candidate, const std::string& baseline,
                const std::string& repetitions, const std::string& figure) {
    char text[512];
    std::snprintf(text, sizeof text, "%-7s %-7s %-8s %-7s %-10s %-10s %-3s %s\n", ratio.c_str(), best.c_str(),
                  target.c_str(), verdict.c_str(), candidate.c_str(), baseline.c_str(), repetitions.c_str(),
                  figure.c_str());
    return text;
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
    void PrintRatios() {
        std::ostream& out = GetOutputStream();
        bool header = false;
        for (const Ratio& ratio : mRatios) {
            const auto candidate = mTimes.find(ratio.candidate);
            const auto baseline = mTimes.find(ratio.baseline);
            if (candidate == mTimes.end() && baseline == mTimes.end()) continue;
            if (!header) {
                out << "\nRatios: candidate / baseline wall time per iteration, medians of interleaved repetitions\n"
                       "(min: the same ratio of the fastest repetitions; n: repetitions of each)\n\n"
                    << Row("ratio", "min", "target", "verdict", "candidate", "baseline", "n", "figure");
                header = true;
            }
            if (candidate == mTimes.end() || baseline == mTimes.end()) {
                out << Row("n/a", "n/a", "", "", "", "", "", ratio.label);
                continue;
            }
            const std::vector<double>& c = candidate->second;
            const std::vector<double>& b = baseline->second;
            const double median = Median(c) / Median(b);
            const double best = *std::min_element(c.begin(), c.end()) / *std::min_element(b.begin(), b.end());
            std::string target;
            const char* verdict = "info";
            if (ratio.target > 0) {
                target = "<=" + Format("%.2fx", ratio.target);
                verdict = median <= ratio.target ? "ok" : "MISS";
            }
            out << Row(Format("%.2fx", median), Format("%.2fx", best), target, verdict, FormatTime(Median(c)),
                       FormatTime(Median(b)), std::to_string(std::min(c.size(), b.size())), ratio.label);
        }
        out.flush();
    }

    // The table as data (--ratio_json=<file>), with each side's repetitions'
    // median, minimum and coefficient of variation.
    void WriteJson() {
        if (mJson.empty()) return;
        FILE* out = std::fopen(mJson.c_str(), "w");
        if (out == nullptr) {
            std::fprintf(stderr, "cannot write %s\n", mJson.c_str());
            return;
        }
        std::fprintf(out, "{\"ratios\": [");
        const char* separator = "\n";
        for (const Ratio& ratio : mRatios) {
            const auto candidate = mTimes.find(ratio.candidate);
            const auto baseline = mTimes.find(ratio.baseline);
            if (candidate == mTimes.end() || baseline == mTimes.end()) continue;
            const std::vector<double>& c = candidate->second;
            const std::vector<double>& b = baseline->second;
            const double median = Median(c) / Median(b);
            std::fprintf(out,
                         "%s{\"label\": \"%s\", \"candidate\": \"%s\", \"baseline\": \"%s\", \"target\": %g, "
                         "\"ratio\": %.6g, \"min_ratio\": %.6g, \"verdict\": \"%s\", \"n\": %zu, "
                         "\"candidate_ns\": %.6g, \"baseline_ns\": %.6g, \"candidate_cv\": %.4g, "
                         "\"baseline_cv\": %.4g}",
                         separator, Escaped(ratio.label).c_str(), ratio.candidate, ratio.baseline, ratio.target,
                         median, *std::min_element(c.begin(), c.end()) / *std::min_element(b.begin(), b.end()),
                         ratio.target <= 0        ? "info"
                         : median <= ratio.target ? "ok"
                                                  : "MISS",
                         std::min(c.size(), b.size()), Median(c), Median(b), Cv(c), Cv(b));
            separator = ",\n";
        }
        std::fprintf(out, "\n]}\n");
        std::fclose(out);
    }

    std::span<const Ratio> mRatios;
    std::string mJson;
    std::map<std::string, std::vector<double>> mTimes;  // ns per iteration, one entry per repetition
};

}  // namespace

int RunRatioMain(int argc, char** argv, std::span<const Ratio> ratios) {
    std::thread([] {}).join();  // from here on glibc takes its multi-threaded paths

    std::vector<char*> args;
    args.push_back(argv[0]);
    for (const char* flag : kDefaultFlags) args.push_back(const_cast<char*>(flag));
    std::string json;
    constexpr char kJsonFlag[] = "--ratio_json=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kJsonFlag, sizeof kJsonFlag - 1) == 0) {
            json = argv[i] + sizeof kJsonFlag - 1;
        } else {
            args.push_back(argv[i]);
        }
    }
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
