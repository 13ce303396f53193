// The DLL's entry point (Windows only; part of rvsysutils.dll, not of the
// static core). No thread of the library needs a notification when threads
// start or end, so they are turned off: the loader then never has to call into
// this module (under its lock) for every thread of the host process.
#include "../platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
