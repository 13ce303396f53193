// Linked into every program of a Clang ThreadSanitizer build, which takes the
// runtime as a shared library: the runtime must be set up before any shared
// library's constructors run (the C++ runtime's register exit handlers through
// TSan's interceptors), and only the program's pre-initialisation array runs
// that early. GCC's driver adds the same entry to its TSan programs.
extern "C" void __tsan_init();
[[gnu::section(".preinit_array"), gnu::used]] static void (*const rvsysTsanPreinit)() = __tsan_init;
