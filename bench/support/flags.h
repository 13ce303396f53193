// Program-specific flags given among Google Benchmark's.
#ifndef RVSYS_BENCH_SUPPORT_FLAGS_H
#define RVSYS_BENCH_SUPPORT_FLAGS_H

#include <map>
#include <string>

namespace rvsys::bench {

// Takes every "--<prefix><rest>=<value>" argument out of argv (argc shrinks,
// argv stays null-terminated) and returns the values by "<prefix><rest>", so
// that Google Benchmark, which rejects flags it does not know, sees only its own.
std::map<std::string, std::string> TakeFlags(int& argc, char** argv, const std::string& prefix);

}  // namespace rvsys::bench

#endif  // RVSYS_BENCH_SUPPORT_FLAGS_H
