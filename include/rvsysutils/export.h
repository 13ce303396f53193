// Export and calling-convention macros shared by every public header.
#ifndef RVSYSUTILS_EXPORT_H
#define RVSYSUTILS_EXPORT_H

// RVSYS_API marks what the shared library exports: the exported classes (every
// member function, private and protected ones included) and the free functions.
// RVSYS_STATIC is defined when linking the static core directly (tests, benchmarks).
#if defined(RVSYS_STATIC)
#define RVSYS_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(RVSYS_BUILDING)
#define RVSYS_API __declspec(dllexport)
#else
#define RVSYS_API __declspec(dllimport)
#endif
#else
#define RVSYS_API __attribute__((visibility("default")))
#endif

// Thread routines use the Windows calling convention on 32-bit Windows; it is
// empty everywhere else (x64 Windows ignores it too).
#if defined(_WIN32) && !defined(_WIN64)
#define RVSYS_WINAPI __stdcall
#else
#define RVSYS_WINAPI
#endif

#endif  // RVSYSUTILS_EXPORT_H
