// The shared main of the benchmark programs: every figure is the ratio of a
// candidate's time to a baseline's, both measured in the same process with
// their repetitions interleaved.
#ifndef RVSYS_BENCH_SUPPORT_RATIO_MAIN_H
#define RVSYS_BENCH_SUPPORT_RATIO_MAIN_H

#include <span>

namespace rvsys::bench {

// One figure: median candidate time / median baseline time (wall-clock time
// per iteration). Benchmarks are named as registered, plus "/threads:N" for
// runs with more than one thread; "/real_time" and "/repeats:N" are not part
// of the name.
struct Ratio {
    const char* label;
    const char* candidate;
    const char* baseline;
    double target;  // the ratio must stay at or under this; 0: for information only
};

// Runs the registered benchmarks and prints the `ratios` table after them.
//
// Defaults, which command-line flags override: 30 repetitions of 0.1 s each,
// randomly interleaved across all benchmarks of the program, so that load
// spikes on a shared machine fall on candidates and baselines alike. Before
// anything is measured one std::thread is started and joined: glibc takes
// cheaper non-atomic paths until a process has had a second thread, which
// would flatter pthread baselines against the library's atomic code.
//
// The console shows each benchmark's median and coefficient of variation, then
// the table; --benchmark_out=<file> keeps every repetition, and
// --ratio_json=<file> writes the table as JSON (each side's median, minimum
// and coefficient of variation too).
int RunRatioMain(int argc, char** argv, std::span<const Ratio> ratios);

}  // namespace rvsys::bench

#endif  // RVSYS_BENCH_SUPPORT_RATIO_MAIN_H
