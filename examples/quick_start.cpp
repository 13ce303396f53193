// The README's example, built with the examples so that it keeps compiling.
#include <rvsysutils/rvsysutils.h>

// A thread object: Initialize, Run and Destroy run on the new thread.
class Worker : public ThreadBase {
protected:
    unsigned long Run() override { return 42; }  // the exit code
};

// An event as a condition: the wait leaves the event's lock while it blocks.
ThreadEvent ready;  // ready.Create(1 /* own lock */, 0 /* auto-reset */)
bool done = false;

unsigned long RVSYS_WINAPI Job(void*) {
    ready.Lock();
    done = true;
    ready.SetEvent();
    ready.Unlock();
    return 7;
}

int main() {
    ready.Create(1, 0);
    ThreadBase* job = StartThread(Job, nullptr, nullptr, 0);
    ready.Lock();
    while (!done) ready.WaitForEvent(1000, nullptr);  // 0 signalled, 258 timed out
    ready.Unlock();
    unsigned long code = 0;
    StopThread(&job, 1000, &code);  // waits, then terminates; code == 7

    Worker worker;
    worker.Start(nullptr);
    worker.WaitForThreadEnd(0xFFFFFFFF);  // 1 once ended; cleans up

    ThreadMutex mutex;  // re-entrant
    mutex.Lock();
    mutex.Lock();
    mutex.Unlock();
    mutex.Unlock();

    unsigned long long start = GetSystemUptime();  // 64-bit: never wraps
    Thread::Sleep(10);

    Semaphore lock(1, "MyAppLock");  // the system-wide name "MyAppLock1"
    if (lock.Lock(true)) {           // true: given back at a signal or destruction
        lock.Unlock();
    }  // failures: Semaphore::GetLastError()

    char arguments[256];
    int count = Thread::GetCommandLineA(arguments, sizeof arguments, false, false, false);
    return count >= 0 && GetSystemUptime() >= start + 10 ? 0 : 1;
}
