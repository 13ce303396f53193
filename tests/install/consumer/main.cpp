// A program outside the project, built against an installed rvsysutils: the
// exported interface as another module sees it (on Windows, through the DLL's
// import library).
#include <rvsysutils/rvsysutils.h>

#include <cstdio>
#include <cstring>

namespace {

unsigned long RVSYS_WINAPI Answer(void*) { return 42; }

// A subclass in this module whose override the library's thread calls.
class Worker : public ThreadBase {
public:
    bool ran = false;

protected:
    unsigned long Run() override {
        ran = true;
        return 7;
    }
};

}  // namespace

int main() {
    // The library loaded is the one these headers describe.
    if (GetRvsysutilsVersion() != RVSYSUTILS_VERSION ||
        std::strcmp(GetRvsysutilsVersionString(), RVSYSUTILS_VERSION_STRING) != 0)
        return 8;

    ThreadMutex mutex;
    ThreadEvent event;
    if (!mutex.Lock() || event.Create(1, 0) != 1 || !mutex.Unlock()) return 1;
    ThreadBase* thread = StartThread(Answer, nullptr, nullptr, 0);
    unsigned long code = 0;
    if (thread == nullptr || StopThread(&thread, 0xFFFFFFFFul, &code) != 1 || code != 42) return 2;
    if (GetSystemUptime() == 0) return 3;

    Worker worker;
    if (worker.Start(nullptr) != 1 || worker.WaitForThreadEnd(0xFFFFFFFFul) != 1 || !worker.ran) return 4;

    // An exception thrown inside the library reaches this module: on the wall
    // clock, a pass that ends at once (its event is set) falls a whole period
    // short, which Start takes for a backward jump, and with no callback for
    // it Start throws -1.
    TimersAndEventManager loop(1000);
    loop.SetRealTime();
    if (event.SetEvent() != 1) return 5;
    try {
        loop.Start(event);
        return 6;
    } catch (int thrown) {
        if (thrown != -1) return 7;
    }
    std::printf("consumer ok, rvsysutils %s\n", GetRvsysutilsVersionString());
    return 0;
}
