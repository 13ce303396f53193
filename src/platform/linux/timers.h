// Waitable timers of the Linux emulation: the timer object (timers.cpp), armed
// and expired by the timer service (timer_service.h). Private to
// platform/linux.
#ifndef RVSYS_PLATFORM_LINUX_TIMERS_H
#define RVSYS_PLATFORM_LINUX_TIMERS_H

#include <cstdint>

#include "list.h"
#include "queued_calls.h"
#include "timer_heap.h"
#include "waitable.h"

namespace rvsys::platform::posix {

struct ThreadObj;

// A waitable timer: its own node in the service's heaps, and a member of its
// owner's routineTimers list. Everything but the waitable part is guarded by
// the timer service's lock. A process may arm a million of them: keep the
// record small (the two one-byte fields fill the heap node's tail padding).
struct TimerObj : Waitable, ListNode<TimerObj>, HeapNode {
    static constexpr Kind kKind = Kind::Timer;
    static const KindOps kOps;
    // A program with many timers arms and cancels them in random order: their
    // handles locate them without a load of the handle table (handles.h).
    static constexpr bool kHomeSlots = true;

    TimerObj() : Waitable(kKind) {}
    void Reset(bool manualReset);

    // Where it is armed: nowhere, a service heap of its clock, or its owner's own heap.
    enum class Heap : std::uint8_t { None, Monotonic, Realtime, Owner };
    Heap heap = Heap::None;
    bool realtime = false;    // due time on CLOCK_REALTIME (absolute) or CLOCK_MONOTONIC (relative)
    std::int64_t period = 0;  // nanoseconds, 0 for one expiry
    PTIMERAPCROUTINE routine = nullptr;
    void* argument = nullptr;
    // The thread that armed it with a routine (counted reference); the timer
    // is then on that thread's routineTimers list.
    ThreadObj* owner = nullptr;
    // Advanced by every set, cancel and close, never reset: a completion call
    // queued for an older arming is recognised and dropped.
    std::uint64_t generation = 0;
    std::uint64_t callGeneration = 0;  // the arming the queued call belongs to
    FILETIME callTime{};               // expiry time handed to the routine
    ApcNode call;                      // the one embedded completion call
};
static_assert(sizeof(void*) != 8 || sizeof(TimerObj) <= 168, "a field added to TimerObj breaks its packing");

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_TIMERS_H
