#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <thread>

namespace rvsys::test {

int TimeScale() {
    static const int scale = [] {
        const char* value = std::getenv("RVSYS_TEST_TIME_SCALE");
        const int parsed = value != nullptr ? std::atoi(value) : 1;
        return parsed > 0 ? parsed : 1;
    }();
    return scale;
}

long KernelThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

bool Eventually(const std::function<bool()>& condition, Ms limit) {
    const auto until = Clock::now() + limit * TimeScale();
    while (Clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(Ms(1));
    }
    return condition();
}

bool WaitUntilBlocked(long tid, Ms limit) {
    const std::string base = "/proc/self/task/" + std::to_string(tid);
    return Eventually(
        [&] {
            std::ifstream stat(base + "/stat");
            std::string line;
            std::getline(stat, line);
            // The state follows the command name, which ends with ')'.
            const auto close = line.rfind(')');
            if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'S') return false;
            std::ifstream wchan(base + "/wchan");
            std::string where;
            std::getline(wchan, where);
            return where.find("futex") != std::string::npos;
        },
        limit);
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

int RunHelper(const std::string& name, std::string* output) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const std::string flag = "--rvsys-helper=" + name;
        execl("/proc/self/exe", "rvsys-helper", flag.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string captured;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) captured.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (output != nullptr) *output = captured;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
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
    if (rvsys::test::tlsFailNothrow > 0) {
        if (rvsys::test::tlsSkipBeforeFailing > 0) {
            --rvsys::test::tlsSkipBeforeFailing;
        } else {
            --rvsys::test::tlsFailNothrow;
            return nullptr;
        }
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
    for (int i = 1; i < argc; ++i) {
        constexpr const char kFlag[] = "--rvsys-helper=";
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
            const auto& helpers = rvsys::test::Helpers();
            const auto found = helpers.find(argv[i] + sizeof kFlag - 1);
            if (found == helpers.end()) return 126;
            const int code = found->second();
            std::fflush(nullptr);
            return code;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
