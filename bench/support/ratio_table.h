// The ratio table every benchmark program prints: each figure is a
// candidate's time over a baseline's, both measured in the same run, with the
// figure's target and verdict. Google Benchmark programs fill it from their
// repetitions (ratio_main), the timer lateness program from its rounds.
#ifndef RVSYS_BENCH_SUPPORT_RATIO_TABLE_H
#define RVSYS_BENCH_SUPPORT_RATIO_TABLE_H

#include <string>
#include <vector>

namespace rvsys::bench {

// The median of `values` (the mean of the middle two for an even count; 0 for none).
double Median(std::vector<double> values);

// What a figure must meet; one of the two, or neither (for information).
struct Target {
    double ratio = 0;                 // median ratio at or under this; 0: none
    double belowNs = 0;               // or the candidate's median under this many ns, whatever the baseline; 0: none
    const char* belowText = nullptr;  // how belowNs reads in the target column, e.g. "<1 per."
};

// Rows of one table. Values are nanoseconds, one per repetition (or round).
class RatioTable {
public:
    // One figure. A side with no value (filtered out, failed) shows "n/a".
    void Add(const std::string& label, const std::vector<double>& candidate, const std::vector<double>& baseline,
             const Target& target = {});
    bool Empty() const { return mRows.empty(); }

    // The header line and one line per figure, in fixed-width columns.
    std::string Text() const;
    // The rows as comma-separated JSON objects (label, target, verdict, ratio,
    // min_ratio, n, each side's median, coefficient of variation and values).
    std::string JsonRows() const;

private:
    struct Row {
        std::string label;
        std::vector<double> candidate, baseline;
        Target target;
    };
    std::vector<Row> mRows;
};

// Formatting shared by the programs' own output.
std::string Format(const char* format, double value);
std::string FormatTime(double ns);                           // "12.3 ns", "4.56 us", "7.89 ms", "1.234 s"
std::string JsonNumbers(const std::vector<double>& values);  // "[1, 2.5]"
std::string JsonString(const std::string& text);             // quoted, escaped

// Writes `members` (JSON object members, without the braces) as one object
// to `path`; reports on stderr when the file cannot be written.
void WriteJsonObject(const std::string& path, const std::string& members);

}  // namespace rvsys::bench

#endif  // RVSYS_BENCH_SUPPORT_RATIO_TABLE_H
