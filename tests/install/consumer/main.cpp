// A program outside the project, built against an installed rvsysutils.
#include <rvsysutils/rvsysutils.h>

#include <cstdio>

namespace {
unsigned long RVSYS_WINAPI Answer(void*) { return 42; }
}  // namespace

int main() {
    ThreadMutex mutex;
    ThreadEvent event;
    if (!mutex.Lock() || event.Create(1, 0) != 1 || !mutex.Unlock()) return 1;
    ThreadBase* thread = StartThread(Answer, nullptr, nullptr, 0);
    unsigned long code = 0;
    if (thread == nullptr || StopThread(&thread, 0xFFFFFFFFul, &code) != 1 || code != 42) return 2;
    if (GetSystemUptime() == 0) return 3;
    std::printf("consumer ok\n");
    return 0;
}
