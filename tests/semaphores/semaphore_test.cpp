// Semaphore in one process and between processes: resets, clean-up at
// destruction, ownership of handles, the error reports, and the clean-up at
// signals, in helper processes that the signals may end (Linux's SIGQUIT
// stands for Windows' SIGBREAK). Built twice: semaphore_tests on both systems,
// and with RVSYS_SIGNALS_LINUX_ONLY semaphore_signal_linux_tests, for what only
// the Linux layer does (it runs a handler as an interrupt of whatever the
// thread was doing; Windows' runtime calls it as ordinary code).
#include <rvsysutils/Semaphore.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#endif

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = rvsys::platform;
using namespace rvsys::platform;  // constants (and SIGBREAK): macros on Windows
using namespace rvsys::test;

#if !defined(RVSYS_SIGNALS_LINUX_ONLY)

namespace {

// The base name a helper process works with, passed through its environment.
void SetHelperBase(const std::string& base) { SetEnvironment("RVSYS_TEST_SEMAPHORE_BASE", base); }
std::string HelperBase() { return std::getenv("RVSYS_TEST_SEMAPHORE_BASE"); }

// A raw handle to the semaphore that Semaphore(number, base) names.
void* OpenRaw(const std::string& base, int number) {
    return pf::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, (base + std::to_string(number)).c_str());
}

std::string SystemText(pf::DWORD code) {
    char text[512];
    const DWORD length = pf::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                            LANG_USER_DEFAULT, text, sizeof text, nullptr);
    return std::string(text, length);
}
const std::string kTooManyPosts = "Unlock semaphore error : " + SystemText(ERROR_TOO_MANY_POSTS);
const std::string kCreateFailed = "Create semaphore error : " + SystemText(ERROR_PATH_NOT_FOUND);

}  // namespace

// An object on name 1 of a fresh base, and a raw handle to it for reading the count.
class SemaphoreObject : public testing::Test {
protected:
    ~SemaphoreObject() override { pf::CloseHandle(raw); }
    const std::string before = Semaphore::GetLastError();
    const std::string base = UniqueName(testing::UnitTest::GetInstance()->current_test_info()->name());
    Semaphore object{1, base.c_str()};
    void* raw = OpenRaw(base, 1);
};

// At destruction a holder gives back a unit still locked for clean-up, and no
// other: a reset takes the count to 1 and keeps the holder's unit only when the
// count was 1.
TEST_F(SemaphoreObject, DestructionGivesBackOnlyAUnitStillLockedForCleanup) {
    enum Take { kLockForCleanup, kLockKept, kTryLockThenUnlock };
    const struct {
        Take take;
        pf::LONG resetAt;  // the count a reset finds; -1: no reset
        long countAfter;
    } rows[] = {{kLockForCleanup, -1, 1}, {kLockKept, -1, 0},      {kTryLockThenUnlock, -1, 1},
                {kLockForCleanup, 0, 1},  {kLockForCleanup, 1, 2}, {kLockForCleanup, 2, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        {
            Semaphore holder(1, base.c_str());
            ASSERT_TRUE(row.take == kTryLockThenUnlock ? holder.TryLock(true) && holder.Unlock()
                                                       : holder.Lock(row.take == kLockForCleanup));
            if (row.resetAt > 0) pf::ReleaseSemaphore(raw, row.resetAt, nullptr);
            if (row.resetAt >= 0) {
                EXPECT_TRUE(holder.ResetSemaphore());
                EXPECT_EQ(CountOf(raw), 1);
            }
        }
        EXPECT_EQ(CountOf(raw), row.countAfter);
        ASSERT_TRUE(object.ResetSemaphore());
    }
}

// Each copy closes its own handle once (a second close would report "Remove
// semaphore") and gives back what it holds; assignment first gives back what
// the target held.
TEST_F(SemaphoreObject, CopiesAndAssignedObjectsOwnTheirHandlesAndUnits) {
    pf::ReleaseSemaphore(raw, 1, nullptr);
    {
        Semaphore target(1, base.c_str());
        ASSERT_TRUE(object.Lock(true) && target.Lock(true));
        Semaphore copy(object);  // NOLINT(performance-unnecessary-copy-initialization): the copy is the test
        target = copy;
        Semaphore& self = target;  // through a reference: compilers warn on a literal self-assignment
        target = self;
    }
    EXPECT_EQ(CountOf(raw), 3);
    EXPECT_EQ(Semaphore::GetLastError(), before);
}

RVSYS_HELPER(report_errors) {
    // Before the semaphore opens: the library's own descriptors must not take
    // standard error's place and pass for a console.
    if (std::getenv("RVSYS_TEST_NO_CONSOLE")[0] == '1') {
        LoseConsole();
        CloseMessageBoxes();
    }
    Semaphore object(1, HelperBase().c_str());
    void* raw = OpenRaw(HelperBase(), 1);
    pf::ReleaseSemaphore(raw, 0xFFFE, nullptr);  // to the maximum
    pf::CloseHandle(raw);  // a handle left open at exit would leave the name's file behind on Linux
    object.Unlock();
    object.Unlock();  // the same message: not shown again
    Semaphore bad(1, "a\\b");
    object.Unlock();  // different from the last one: shown again
    WriteOut("|" + Semaphore::GetLastError() + "|" + ClosedMessageBoxes());
    return 0;
}

// Each new message (not a repeat of the last) is shown: with a console on
// standard error between line ends (Windows' text mode writes "\r\n"); without
// one in a message box (Linux: syslog), nothing written. GetLastError keeps
// the last.
TEST(SemaphoreReports, EachNewMessageIsShownOnTheConsoleOrInAMessageBox) {
    SetHelperBase(UniqueName("reports"));
    std::string written, boxes;
    for (const std::string& message : {kTooManyPosts, kCreateFailed, kTooManyPosts}) {
        written += "\n" + message + "\n";
        boxes += "[Semaphore Error in module \"semaphore_tests.exe\"] " + message + "\n";
    }
#if defined(_WIN32)
    for (std::size_t at = 0; (at = written.find('\n', at)) != std::string::npos; at += 2) written.insert(at, "\r");
#else
    boxes.clear();  // Linux shows no message boxes
#endif
    std::string output;
    SetEnvironment("RVSYS_TEST_NO_CONSOLE", "0");
    EXPECT_EQ(RunHelper("report_errors", &output), 0);
    EXPECT_EQ(output, written + "|" + kTooManyPosts + "|");
    SetEnvironment("RVSYS_TEST_NO_CONSOLE", "1");
    EXPECT_EQ(RunHelper("report_errors", &output), 0);
    if (output == "|" + kTooManyPosts + "|" && !boxes.empty())
        RVSYS_SKIP_ON_WINE("MessageBoxA fails without a display (error 1400): no box to observe");
    EXPECT_EQ(output, "|" + kTooManyPosts + "|" + boxes);
}

RVSYS_HELPER(hold_then_signal) {
#if !defined(_WIN32)
    rlimit noCoreDumps{0, 0};  // SIGQUIT's default action dumps core
    setrlimit(RLIMIT_CORE, &noCoreDumps);
#endif
    Semaphore givesBack(1, HelperBase().c_str()), keeps(2, HelperBase().c_str());
    if (!givesBack.Lock(true) || !keeps.Lock(false)) return 2;
    RaiseInProcess(std::atoi(std::getenv("RVSYS_TEST_SIGNAL")));
    return 99;  // the signal must end the process before this
}

// A helper process holding units gets SIGINT, SIGTERM or SIGBREAK: its
// Lock(true) unit comes back, the Lock(false) one stays taken, then the
// default action ends the process. Semaphores here watch the counts.
TEST(SemaphoreSignals, ASignalGivesBackOnlyUnitsLockedForCleanup) {
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        const std::string base = UniqueName("hold" + std::to_string(signal));
        SetHelperBase(base);
        SetEnvironment("RVSYS_TEST_SIGNAL", std::to_string(signal));
        Semaphore watchGivesBack(1, base.c_str()), watchKeeps(2, base.c_str());
        EXPECT_EQ(RunHelper("hold_then_signal"), SignalExitStatus(signal));
        EXPECT_TRUE(watchGivesBack.TryLock(true));
        EXPECT_FALSE(watchKeeps.TryLock(true));
    }
}

std::atomic<int> gLastSignal{0}, gSignals{0};
void RecordSignal(int signal) {
    gLastSignal = signal;
    ++gSignals;
}

RVSYS_HELPER(previous_handlers_in_order) {
    const int signals[] = {SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, SIGBREAK, SIGINT};
    for (int signal : signals) std::signal(signal, RecordSignal);
    Semaphore first(1, HelperBase().c_str());
    if (!first.Lock(true)) return 2;
    int count = 0;
    for (int signal : signals) {
        std::raise(signal);  // the clean-up, then the handler it replaced
        if (gLastSignal.load() != signal || gSignals.load() != ++count) return 10 + signal;
        if (first) return 3;  // swept at the first signal
    }
    // A later object installs nothing: the signal goes straight to the handler
    // (installed again: Windows' runtime resets a handler before running it).
    std::signal(SIGINT, RecordSignal);
    Semaphore later(3, HelperBase().c_str());
    std::raise(SIGINT);
    return later && gSignals.load() == count + 1 ? 0 : 4;
}

// Each of the seven signals reaches the handler it replaced, after the
// clean-up; a later object installs nothing.
TEST(SemaphoreSignals, EachSignalReachesTheHandlerItReplaced) {
    SetHelperBase(UniqueName("order"));
    std::string output;
    EXPECT_EQ(RunHelper("previous_handlers_in_order", &output), 0) << output;
}

#else  // RVSYS_SIGNALS_LINUX_ONLY

namespace {

std::string FileOf(const std::string& name) { return "/dev/shm/w32sem." + std::to_string(getuid()) + ".n." + name; }

struct PlantedFile {
    const char* what;
    mode_t mode;
    uid_t owner;  // 0: this process's user
};

// Writes a page of forged content to `path`, as `uid` (a forked child changes
// user when it differs from ours). True when planted.
bool Plant(const std::string& path, mode_t mode, uid_t uid) {
    const pid_t child = fork();
    if (child == 0) {
        if (uid != geteuid() && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(1);
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        _exit(fd < 0 || fchmod(fd, mode) != 0 || write(fd, std::string(4096, '\xFF').data(), 4096) != 4096 ? 2 : 0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

class SemaphorePlantedFile : public testing::TestWithParam<PlantedFile> {};

// A backing file another user owns, or one with any group or other permission
// bit, is refused: the object is invalid, the report says access is denied,
// and the file is neither changed nor removed.
TEST_P(SemaphorePlantedFile, IsRefusedUntouched) {
    const PlantedFile& planted = GetParam();
    if (planted.owner != 0 && geteuid() != 0) GTEST_SKIP() << "planting as another user needs root";
    const std::string base = UniqueName(std::string("planted-") + planted.what);
    const std::string path = FileOf(base + "1");
    const uid_t owner = planted.owner != 0 ? planted.owner : geteuid();
    ASSERT_TRUE(Plant(path, planted.mode, owner));
    EXPECT_FALSE(Semaphore(1, base.c_str()));
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread calls strerror meanwhile
    EXPECT_EQ(Semaphore::GetLastError(), std::string("Getting semaphore error : ") + std::strerror(EACCES));
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, planted.mode);
    EXPECT_EQ(after.st_uid, owner);
    std::ifstream content(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(content), {}), std::string(4096, '\xFF'));
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Owners, SemaphorePlantedFile,
                         testing::Values(PlantedFile{"other_user_0600", 0600, 65534},
                                         PlantedFile{"other_user_0666", 0666, 65534},
                                         PlantedFile{"own_group_readable", 0640, 0},
                                         PlantedFile{"own_world_writable", 0602, 0}),
                         [](const testing::TestParamInfo<PlantedFile>& param) { return param.param.what; });

// The name goes with the process that held it last, also when one of its
// threads is blocked in Lock as the signal arrives (the wait holds the object,
// not a handle).
TEST(SemaphoreSignals, TheNameGoesWithItsLastHolderWhileAThreadIsBlockedInLock) {
    const std::string base = UniqueName("blocked");
    const pid_t child = fork();
    if (child == 0) {
        Semaphore holder(1, base.c_str()), waiter(1, base.c_str());
        if (!holder.Lock(false)) _exit(2);  // kept taken: the waiter stays blocked through the clean-up
        std::atomic<long> tid{0};
        std::thread blocked([&] {
            tid = KernelThreadId();
            waiter.Lock(true);
        });
        while (tid.load() == 0) sched_yield();
        if (!WaitUntilBlocked(tid.load())) _exit(3);
        kill(getpid(), SIGTERM);
        blocked.join();
        _exit(99);  // SIGTERM must end the process before this
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_FALSE(SemaphoreFileExists(base + "1"));
    unlink(FileOf(base + "1").c_str());
}

#endif  // RVSYS_SIGNALS_LINUX_ONLY
