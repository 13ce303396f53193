// rvsysutils demo: a short, timestamped story of what the library does.
//
//   cmake --workflow --preset demo
//
// Every line starts with the milliseconds since the demo began and the thread
// that printed it.
#include <rvsysutils/rvsysutils.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The child of section 5 takes its parent's start, so both tell one time line.
auto gStart = std::chrono::steady_clock::now();
ThreadMutex gPrintLock;  // lines from several threads never interleave

void Say(const char* format, ...) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gStart).count();
    gPrintLock.Lock();
    std::printf("%8.1f ms  [thread %4lu]  ", ms, Thread::GetCurrentThreadID(false));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
    gPrintLock.Unlock();
}

void Title(const char* title) {
    gPrintLock.Lock();
    std::printf("\n== %s ==\n", title);
    gPrintLock.Unlock();
}

// ---- 1. An event as a condition: a worker waits for jobs -----------------------
struct JobQueue {
    ThreadEvent ready;  // auto-reset, with its own lock guarding `pending`
    int pending = 0;
    bool closing = false;
};

unsigned long RVSYS_WINAPI Consumer(void* argument) {
    auto* queue = static_cast<JobQueue*>(argument);
    int done = 0;
    queue->ready.Lock();
    for (;;) {
        while (queue->pending == 0 && !queue->closing) queue->ready.WaitForEvent(nullptr);  // lock left while waiting
        if (queue->pending == 0) break;
        --queue->pending;
        ++done;
        queue->ready.Unlock();
        Say("consumer: took job %d", done);
        queue->ready.Lock();
    }
    queue->ready.Unlock();
    Say("consumer: queue closed after %d jobs", done);
    return static_cast<unsigned long>(done);
}

void EventAsCondition() {
    Title("An event used as a condition");
    JobQueue queue;
    queue.ready.Create(1, 0);
    ThreadBase* consumer = StartThread(Consumer, &queue, nullptr, 0);
    for (int job = 1; job <= 3; ++job) {
        Thread::Sleep(20);
        queue.ready.Lock();
        ++queue.pending;
        queue.ready.SetEvent();
        queue.ready.Unlock();
        Say("producer: queued job %d", job);
    }
    Thread::Sleep(20);
    queue.ready.Lock();
    queue.closing = true;
    queue.ready.SetEvent();
    queue.ready.Unlock();
    unsigned long jobs = 0;
    const long stopped = StopThread(&consumer, 1000, &jobs);
    Say("producer: StopThread returned %ld; the consumer's exit code is %lu (jobs done)", stopped, jobs);
}

// ---- 2. A thread object by subclassing --------------------------------------------
class Counter : public ThreadBase {
public:
    ~Counter() override { Stop(1000); }

protected:
    void Initialize() override { Say("counter: Initialize"); }
    unsigned long Run() override {
        unsigned long sum = 0;
        for (unsigned long i = 1; i <= 5; ++i) {
            sum += i;
            Thread::Sleep(5);
        }
        Say("counter: Run returns %lu", sum);
        return sum;
    }
    void Destroy() override { Say("counter: Destroy"); }
};

void Subclassing() {
    Title("A ThreadBase subclass: Initialize, Run, Destroy on the new thread");
    Counter counter;
    Say("main: Start -> %ld", counter.Start(nullptr));
    Say("main: IsRunning -> %ld", counter.IsRunning());
    while (counter.IsRunning() != 0) Thread::Sleep(5);
    unsigned long code = 0;
    counter.GetThreadExitCode(&code);
    Say("main: the run has ended; exit code %lu", code);
    Say("main: Stop -> %ld (ended by itself)", counter.Stop(0));
}

// ---- 3. Stopping: waiting, then terminating -------------------------------------
unsigned long RVSYS_WINAPI WaitsForever(void*) {
    Say("sleeper: going to sleep for ever");
    Thread::Sleep(0xFFFFFFFFul);
    return 1;
}

unsigned long RVSYS_WINAPI QuickJob(void*) {
    Say("quick job: done, deleting my own thread object");
    return 0;
}

void Stopping() {
    Title("Stop waits, then terminates");
    ThreadBase* sleeper = StartThread(WaitsForever, nullptr, nullptr, 0);
    Thread::Sleep(20);
    unsigned long code = 0;
    const long stopped = StopThread(&sleeper, 50, &code);
    Say("main: StopThread after 50 ms -> %ld (terminated); exit code 0x%lX (none recorded)", stopped, code);

    ThreadBase* quick = StartThread(QuickJob, nullptr, nullptr, 1);
    (void)quick;  // self-deleting: never touched again
    Thread::Sleep(20);
}

// ---- 4. Raw thread handles -------------------------------------------------------
unsigned int RVSYS_WINAPI Greeter(void*) {
    Say("greeter: running at priority %d", Thread::GetThreadPriority(Thread::GetCurrentThread(false)));
    return 42;
}

void RawHandles() {
    Title("Raw handles: a suspended start, priorities, waiting for the exit code");
    void* thread = Thread::BeginThread(Greeter, nullptr, 4 /* suspended */);
    Say("main: started suspended; SetThreadPriority(above normal) -> %s",
        Thread::SetThreadPriority(thread, 1) ? "true" : "false");
    unsigned long code = 0;
    unsigned long result = Thread::WaitForThread(thread, 0, &code);
    Say("main: WaitForThread(0) -> %lu, exit code %lu (still active)", result, code);
    Say("main: ResumeThread -> previous count %lu", Thread::ResumeThread(thread));
    result = Thread::WaitForThread(thread, 0xFFFFFFFFul, &code);
    Say("main: WaitForThread -> %lu, exit code %lu (handle now closed)", result, code);
}

// ---- 5. The timer thread ---------------------------------------------------------
struct DemoTimer {
    const char* name;
    double next;  // when the next expiry is due, ms since the demo began
    double period;
    int calls;
};

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gStart).count();
}

TimerManager* gTimers = nullptr;
DemoTimer gDemoTimers[5];

void OnTimer(unsigned long id, void* userData) {
    auto* timer = static_cast<DemoTimer*>(userData);
    const double now = NowMs();
    ++timer->calls;
    Say("%-9s #%d: due at %6.1f ms, late by %.2f ms", timer->name, timer->calls, timer->next, now - timer->next);
    timer->next += timer->period;
    if (id == 1 && timer->calls == 3) {
        // Pull the slow timer in: due 60 ms from now, then every 60 ms, three times.
        DemoTimer& slow = gDemoTimers[4];
        slow.next = NowMs() + 60;
        slow.period = 60;
        Say("heartbeat: ResetTimer(4) -> %ld (due in 60 ms, every 60 ms, 3 times)",
            gTimers->ResetTimer(4, 60, 3, 60, nullptr, nullptr));
    }
    if (id == 3 && timer->calls == 6)
        Say("fast: RemoveTimer(3) from its own callback -> %ld", gTimers->RemoveTimer(3));
}

void Timers() {
    Title("The timer thread: callbacks on one thread, with their lateness");
    TimerManager timers;
    gTimers = &timers;
    Say("main: Start -> %ld", timers.Start());
    const double t0 = NowMs();
    gDemoTimers[1] = {"heartbeat", t0 + 50, 100, 0};
    gDemoTimers[2] = {"one-shot", t0 + 120, 0, 0};
    gDemoTimers[3] = {"fast", t0 + 30, 30, 0};
    gDemoTimers[4] = {"slow", t0 + 400, 0, 0};
    timers.AddTimer(1, OnTimer, &gDemoTimers[1], 50, 5, 100);  // 5 times, every 100 ms
    timers.AddTimer(2, OnTimer, &gDemoTimers[2], 120, 1, 0);   // once
    timers.AddTimer(3, OnTimer, &gDemoTimers[3], 30, 0, 30);   // until removed
    timers.AddTimer(4, OnTimer, &gDemoTimers[4], 400, 1, 0);   // reset before it is due
    Say("main: four timers added");
    Thread::Sleep(560);
    Say("main: Stop -> %ld; every timer cancelled", timers.Stop());
    gTimers = nullptr;
}

// ---- 6. A named semaphore as a lock between two processes ------------------------
constexpr char kChildRole[] = "--semaphore-child";

// The child: takes the lock and keeps it until SIGINT arrives. Semaphore's
// signal clean-up gives the unit back; the default action then ends the child.
// Windows sends no signal to another process: there the parent's named event
// tells the child to raise SIGINT itself, as Ctrl+C would.
int SemaphoreChild(const char* base, const char* parentStart) {
    gStart = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(std::stoll(parentStart)));
    char arguments[256];
    if (Thread::GetCommandLineA(arguments, sizeof arguments, false, false, false) > 0) {
        Say("child: started with the arguments %s", arguments);
    }
    Semaphore lock(1, base);
    if (!lock.Lock(true)) return 1;
#if defined(_WIN32)
    Say("child: holding the lock (Lock(true): give it back at clean-up); waiting for the parent's event");
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (std::string(base) + "-go").c_str());
    if (go == nullptr || WaitForSingleObject(go, INFINITE) != WAIT_OBJECT_0) return 2;
    Say("child: raise(SIGINT)");
    std::raise(SIGINT);
    return 3;
#else
    Say("child: holding the lock (Lock(true): give it back at clean-up); waiting for a signal");
    // pause(), not an endless Sleep: ThreadSanitizer runs a handler only when the
    // thread is in a call it intercepts, and the library's waits are raw futex calls.
    for (;;) pause();
#endif
}

#if defined(_WIN32)
// Starts this program again as the child; its process handle, or null.
HANDLE StartChild(const std::string& base, HANDLE* go) {
    *go = CreateEventA(nullptr, TRUE, FALSE, (base + "-go").c_str());
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string line =
        "demo " + std::string(kChildRole) + " " + base + " " + std::to_string(gStart.time_since_epoch().count());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        return nullptr;
    }
    CloseHandle(child.hThread);
    return child.hProcess;
}
#endif

void CrossProcessLock() {
    Title("A named semaphore as a lock between two processes; SIGINT in the holder");
#if defined(_WIN32)
    const std::string base = "rvsys-demo-" + std::to_string(GetCurrentProcessId()) + "-lock";
#else
    const std::string base = "rvsys-demo-" + std::to_string(getpid()) + "-lock";
#endif
    Semaphore lock(1, base.c_str());
    Say("parent: opened the semaphore %s1 (new: one unit)", base.c_str());
#if defined(_WIN32)
    HANDLE go = nullptr;
    HANDLE child = StartChild(base, &go);
    if (child == nullptr) return;
#else
    const pid_t child = fork();
    if (child == 0) {
        const std::string start = std::to_string(gStart.time_since_epoch().count());
        execl("/proc/self/exe", "demo", kChildRole, base.c_str(), start.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
#endif
    // Wait until the child holds the unit: then TryLock fails.
    while (lock.TryLock(true)) {
        lock.Unlock();
        Thread::Sleep(5);
    }
#if defined(_WIN32)
    Say("parent: TryLock -> false, the child holds the lock; setting the child's event");
    SetEvent(go);
#else
    Say("parent: TryLock -> false, the child holds the lock; sending SIGINT");
    kill(child, SIGINT);
#endif
    const bool locked = lock.Lock(true);
    Say("parent: Lock -> %s: the child's clean-up gave the unit back", locked ? "true" : "false");
#if defined(_WIN32)
    WaitForSingleObject(child, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child, &code);
    Say("parent: the child ended with exit code %lu (the runtime's default action for SIGINT)", code);
    CloseHandle(child);
    CloseHandle(go);
#else
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the demo calls strsignal from this thread only
        Say("parent: the child ended by signal %d (%s)", WTERMSIG(status), strsignal(WTERMSIG(status)));
    }
#endif
    lock.Unlock();
    Say("parent: unlocked; the name disappears with the last object");
}

// ---- 7. An event loop on the main thread -------------------------------------------
struct LoopStory {
    TimersAndEventManager loop{50};  // each pass waits at most 50 ms
    ThreadEvent wake;                // the loop's event: auto-reset, with a lock
    int ticks = 0;
};

void Tick(void* argument) {
    auto* story = static_cast<LoopStory*>(argument);
    Say("loop: tick %d", ++story->ticks);
    if (story->ticks < 3) story->loop.AddTimerFromCallback(100u, Tick, story);  // repeats by adding itself again
}

void HelperTimer(void*) { Say("loop: the timer queued by the helper fires"); }

void Woken(void*) { Say("loop: event delivered"); }

unsigned long RVSYS_WINAPI Helper(void* argument) {
    auto* story = static_cast<LoopStory*>(argument);
    Thread::Sleep(120);
    Say("helper: queue a timer due 150 ms from now, and signal the loop's event");
    story->loop.AddTimerFromOutside(story->loop.GetKeyTime() + 150, HelperTimer, story);
    story->wake.SetEvent();
    Thread::Sleep(300);
    Say("helper: CeaseExecution, and a signal so that the loop sees it at once");
    story->loop.CeaseExecution();
    story->wake.SetEvent();
    return 0;
}

void EventLoop() {
    Title("An event loop on the main thread: timers, an event from another thread, CeaseExecution");
    LoopStory story;
    story.wake.Create(1, 0);
    story.loop.SetEventCallback(Woken);
    story.loop.AddTimerFromCallback(100u, Tick, &story);
    ThreadBase* helper = StartThread(Helper, &story, nullptr, 0);
    Say("main: Start runs the loop on this thread; a tick is due in 100 ms");
    const bool result = story.loop.Start(story.wake);
    Say("main: Start returned %s after %d ticks", result ? "true" : "false", story.ticks);
    StopThread(&helper, 1000, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kChildRole) == 0) return SemaphoreChild(argv[2], argv[3]);
    std::printf("rvsysutils demo: system up for %.1f s\n", static_cast<double>(GetSystemUptime()) / 1000.0);
    EventAsCondition();
    Subclassing();
    Stopping();
    RawHandles();
    Timers();
    CrossProcessLock();
    EventLoop();
    std::printf("\ndone.\n");
    return 0;
}
