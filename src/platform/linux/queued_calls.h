// Queued calls (APCs): a thread's FIFO of calls that run inside its next
// alertable wait. Timers queue their completion routines through it too.
// Private to platform/linux; knows a thread only by its wake word.
#ifndef RVSYS_PLATFORM_LINUX_QUEUED_CALLS_H
#define RVSYS_PLATFORM_LINUX_QUEUED_CALLS_H

#include <atomic>
#include <cstdint>

#include "../platform.h"
#include "internal_lock.h"
#include "list.h"
#include "waitable.h"

namespace rvsys::platform::posix {

// A queued call. QueueUserAPC allocates one per call; objects that queue the
// same call repeatedly embed theirs (it is then never freed by the queue).
struct ApcNode : ListNode<ApcNode> {
    PAPCFUNC function = nullptr;
    ULONG_PTR data = 0;
    bool embedded = false;
};

// A thread's queue, embedded in its thread object.
class CallQueue {
public:
    explicit CallQueue(WakeWord* ownerWake) : mOwnerWake(ownerWake) {}

    // For a pooled thread object taken into use: open and empty.
    void Reset();

    // Calls waiting; lock-free, for the wait loops' checks.
    bool Pending() const { return mCount.load(std::memory_order_acquire) != 0; }

    // Appends `node` and wakes the owner: always for `Wake::Always`, else only
    // if it had no call waiting and is not the caller (`byOwner`: it is awake).
    // An embedded node is queued at most once: queueing it again while it
    // waits does nothing.
    enum class Result { Queued, AlreadyQueued, Closed };
    enum class Wake { IfFirst, Always };
    Result Queue(ApcNode* node, bool byOwner, Wake wake = Wake::IfFirst);
    // Takes an embedded call off the queue if it is still waiting there.
    void Withdraw(ApcNode* node);

    // The owner runs its calls, FIFO, with no lock held: those queued when it
    // began and as many more as those calls queue to this thread, so calls
    // queued by calls run in the same wait while calls other threads keep
    // queueing cannot hold the thread in its wait for ever. True when at least
    // one ran.
    bool Run();

    // The owner has ended: closes the queue for good and returns the calls it
    // owned, never run, for FreeCalls (embedded ones go back to their owners
    // untouched). Apart, so the exit path can announce the end before it frees.
    IntrusiveList<ApcNode> Close();
    static void FreeCalls(IntrusiveList<ApcNode>& owned);

private:
    WakeWord* const mOwnerWake;
    InternalLock mLock;  // guards everything below but mCount's lock-free reads
    IntrusiveList<ApcNode> mCalls;
    std::atomic<std::uint32_t> mCount{0};
    bool mClosed = false;
    bool mRunning = false;      // inside Run
    std::uint32_t mBySelf = 0;  // calls the owner queued to itself meanwhile
};

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_QUEUED_CALLS_H
