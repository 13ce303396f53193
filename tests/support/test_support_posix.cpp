// The Linux side of the test support: /proc for thread states, fork and exec
// for helper processes and signals.
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace rvsys::test {

void PrepareProcess() {}

long KernelThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

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

bool IsWine() { return false; }

int RunHelper(const std::string& name, std::string* output, const std::vector<std::string>& arguments,
              const std::string& programName) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const std::string flag = "--rvsys-helper=" + name;
        std::vector<char*> argv{const_cast<char*>(programName.c_str()), const_cast<char*>(flag.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string captured;
    char buffer[4096];
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        captured.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    if (output != nullptr) *output = captured;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool SemaphoreFileExists(const std::string& name) {
    struct stat status;
    return stat(("/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + name).c_str(), &status) == 0;
}

int ProcessId() { return static_cast<int>(getpid()); }

// NOLINTNEXTLINE(concurrency-mt-unsafe): tests set it from their main thread; the library never reads it
void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

void WriteOut(std::string_view text) {
    if (write(1, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(5);
}

void LoseConsole() { close(2); }

void CloseMessageBoxes() {}

std::string ClosedMessageBoxes() { return ""; }

void RaiseInProcess(int signal) { kill(getpid(), signal); }

int SignalExitStatus(int signal) { return 128 + signal; }

}  // namespace rvsys::test
