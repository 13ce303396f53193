// RVSYS_DCHECK(condition): an invariant of the emulation (a heap index, list
// membership, a lock held, a reference count) checked in debug, sanitizer and
// Clang builds and compiled out of optimised ones (CMake option RVSYS_DCHECK).
// A failed check reports file, line and condition and aborts through Fatal:
// the state it guards is already corrupt, so nothing after it can be trusted.
// Off, the condition is not evaluated, so it may be as costly as it needs.
#ifndef RVSYS_PLATFORM_LINUX_DCHECK_H
#define RVSYS_PLATFORM_LINUX_DCHECK_H

namespace rvsys::platform::posix {

[[noreturn]] void DcheckFailed(const char* file, int line, const char* condition);

}  // namespace rvsys::platform::posix

#if defined(RVSYS_DCHECK_ON)
#define RVSYS_DCHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::rvsys::platform::posix::DcheckFailed(__FILE__, __LINE__, #condition))
#else
#define RVSYS_DCHECK(condition) static_cast<void>(sizeof(!(condition)))
#endif

#endif  // RVSYS_PLATFORM_LINUX_DCHECK_H
