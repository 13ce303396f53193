// A plugin that uses Semaphore: loaded and unloaded by unload_host.cpp. It
// keeps one object holding its unit for the clean-up, as a plugin whose lock
// lives until the process ends would.
#include <rvsysutils/Semaphore.h>

extern "C" __attribute__((visibility("default"))) bool rvsys_plugin_hold(const char* base) {
    auto* held = new Semaphore(1, base);  // never destroyed: the signal cleans it
    return *held && held->Lock(true);
}
