// ThreadMutex against a pthread recursive mutex (the natural Linux choice for a
// re-entrant lock): Lock+Unlock with the lock free, with two threads fighting
// over it, and one level deeper while already held.
#include <pthread.h>

#include <rvsysutils/ThreadMutex.h>

#include <benchmark/benchmark.h>

#include "support/ratio_main.h"

namespace {

struct RecursivePthreadMutex {
    RecursivePthreadMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~RecursivePthreadMutex() { pthread_mutex_destroy(&mutex); }
    RecursivePthreadMutex(const RecursivePthreadMutex&) = delete;
    RecursivePthreadMutex& operator=(const RecursivePthreadMutex&) = delete;

    pthread_mutex_t mutex;
};

// One lock per kind, shared by the threads of a two-thread run so that they
// really contend. (Function statics: built once, whichever thread comes first.)
ThreadMutex& SharedThreadMutex() {
    static ThreadMutex mutex;
    return mutex;
}

pthread_mutex_t* SharedPthreadMutex() {
    static RecursivePthreadMutex mutex;
    return &mutex.mutex;
}

void ThreadMutex_LockUnlock(benchmark::State& state) {
    ThreadMutex& mutex = SharedThreadMutex();
    for (auto _ : state) {
        mutex.Lock();
        mutex.Unlock();
    }
}

void PthreadRecursive_LockUnlock(benchmark::State& state) {
    pthread_mutex_t* mutex = SharedPthreadMutex();
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
    }
}

// Re-entry: the holder takes one more level and gives it back.
void ThreadMutex_Reenter(benchmark::State& state) {
    ThreadMutex mutex;
    mutex.Lock();
    for (auto _ : state) {
        mutex.Lock();
        mutex.Unlock();
    }
    mutex.Unlock();
}

void PthreadRecursive_Reenter(benchmark::State& state) {
    RecursivePthreadMutex mutex;
    pthread_mutex_lock(&mutex.mutex);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex.mutex);
        pthread_mutex_unlock(&mutex.mutex);
    }
    pthread_mutex_unlock(&mutex.mutex);
}

// Wall time: with two threads it is the time per Lock+Unlock of the pair
// together (throughput), which the CPU time of one thread does not show.
BENCHMARK(ThreadMutex_LockUnlock)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(PthreadRecursive_LockUnlock)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(ThreadMutex_Reenter)->UseRealTime();
BENCHMARK(PthreadRecursive_Reenter)->UseRealTime();

constexpr rvsys::bench::Ratio kRatios[] = {
    {"ThreadMutex Lock+Unlock, uncontended", "ThreadMutex_LockUnlock", "PthreadRecursive_LockUnlock", 1.0},
    {"ThreadMutex Lock+Unlock, 2 threads contending", "ThreadMutex_LockUnlock/threads:2",
     "PthreadRecursive_LockUnlock/threads:2", 1.0},
    {"ThreadMutex Lock+Unlock, re-entered while held", "ThreadMutex_Reenter", "PthreadRecursive_Reenter", 0},
};

}  // namespace

int main(int argc, char** argv) { return rvsys::bench::RunRatioMain(argc, argv, kRatios); }
