#include "test_support.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <thread>

namespace rvsys::test {

int TimeScale() {
    static const char* const value = std::getenv("RVSYS_TEST_TIME_SCALE");
    static const int scale = std::max(1, value != nullptr ? std::atoi(value) : 1);
    return scale;
}

bool Eventually(const std::function<bool()>& condition, Ms limit) {
    const auto until = Clock::now() + limit * TimeScale();
    while (Clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(Ms(1));
    }
    return condition();
}

double GridDriftMs(const std::vector<Clock::time_point>& times, Clock::time_point origin, Ms period,
                   std::size_t window) {
    const auto phase = [&](std::size_t i) {
        const auto since = std::chrono::duration_cast<std::chrono::microseconds>(times[i] - origin);
        return static_cast<double>(since.count() % std::chrono::microseconds(period).count()) / 1000.0;
    };
    double first = 1e9, last = 1e9;
    for (std::size_t i = 0; i < window && i < times.size(); ++i) {
        first = std::min(first, phase(i));
        last = std::min(last, phase(times.size() - 1 - i));
    }
    return last - first;
}

std::string UniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "rvsys-" + std::to_string(ProcessId()) + "-" + tag + "-" + std::to_string(counter++) + "-";
}

long CountOf(void* semaphore) {
    rvsys::platform::LONG previous = -1;
    if (rvsys::platform::ReleaseSemaphore(semaphore, 1, &previous) == 0) return -1;
    rvsys::platform::WaitForSingleObject(semaphore, 0);
    return previous;
}

namespace {

std::map<std::string, int (*)()>& Helpers() {
    static std::map<std::string, int (*)()> helpers;
    return helpers;
}

thread_local int tlsFailNothrow = 0;
thread_local int tlsSkipBeforeFailing = 0;

}  // namespace

HelperRegistration::HelperRegistration(const char* name, int (*body)()) { Helpers()[name] = body; }

int RunHelperIfAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        constexpr const char kFlag[] = "--rvsys-helper=";
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
            const auto& helpers = Helpers();
            const auto found = helpers.find(argv[i] + sizeof kFlag - 1);
            if (found == helpers.end()) return 126;
            const int code = found->second();
            std::fflush(nullptr);
            return code;
        }
    }
    return -1;
}

void FailNothrowAllocations(int count, int skip) {
    tlsFailNothrow = count;
    tlsSkipBeforeFailing = skip;
}

}  // namespace rvsys::test

// Non-throwing allocations can be made to fail on demand; everything else is the
// ordinary allocator.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    using rvsys::test::tlsFailNothrow, rvsys::test::tlsSkipBeforeFailing;
    if (tlsFailNothrow > 0 && tlsSkipBeforeFailing-- <= 0) {  // past the ones to skip: fail
        --tlsFailNothrow;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

int main(int argc, char** argv) {
    rvsys::test::PrepareProcess();
    const int helperCode = rvsys::test::RunHelperIfAsked(argc, argv);
    if (helperCode != -1) return helperCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
