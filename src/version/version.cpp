#include <rvsysutils/version.h>

// Compiled into the library, so the numbers are the library's own, whatever
// headers the calling program was built with.
unsigned long GetRvsysutilsVersion() { return RVSYSUTILS_VERSION; }

const char* GetRvsysutilsVersionString() { return RVSYSUTILS_VERSION_STRING; }
