// Queued calls (APCs) of the Linux emulation: one FIFO per thread.
//
// Data structure: an intrusive list of call nodes under the queue's own short
// lock, and an atomic count that the owner's wait loops read without it.
// QueueUserAPC allocates a node per call; a timer embeds its one completion
// call, which is why a node can be withdrawn and is queued at most once.
//
// Lock order: the queue's lock is taken alone; no call runs under it.
//
// Windows behaviours reproduced:
// - Calls run FIFO, only inside alertable waits, with no lock of the layer
//   held; a call may queue further calls, which run in the same wait.
// - Calls queued to a thread that has ended fail (error 31, in QueueUserAPC);
//   calls still queued when it ends are dropped, never run.
#include "queued_calls.h"

namespace rvsys::platform::posix {

void CallQueue::Reset() {
    mCalls.Reset();
    mCount.store(0, std::memory_order_relaxed);
    mClosed = false;
    mRunning = false;
    mBySelf = 0;
}

CallQueue::Result CallQueue::Queue(ApcNode* node, bool byOwner, Wake wake) {
    NoSuspendScope whole;  // queued and woken, or neither
    bool wasEmpty;
    {
        InternalGuard guard(mLock);
        if (mClosed) return Result::Closed;
        if (mCalls.Contains(node)) {
            RVSYS_DCHECK(node->embedded);
            return Result::AlreadyQueued;
        }
        mCalls.PushBack(node);
        if (mRunning && byOwner) ++mBySelf;
        wasEmpty = mCount.fetch_add(1, std::memory_order_release) == 0;
    }
    // A thread with calls already waiting has been woken for them; one queueing
    // to itself is awake.
    if (wake == Wake::Always || (wasEmpty && !byOwner)) mOwnerWake->Poke();
    return Result::Queued;
}

void CallQueue::Withdraw(ApcNode* node) {
    InternalGuard guard(mLock);
    if (!mCalls.Contains(node)) return;
    mCalls.Remove(node);
    mCount.fetch_sub(1, std::memory_order_relaxed);
}

bool CallQueue::Run() {
    std::uint32_t budget;
    {
        InternalGuard guard(mLock);
        budget = mCount.load(std::memory_order_relaxed);
        mRunning = true;
        mBySelf = 0;
    }
    bool ran = false;
    for (;;) {
        PAPCFUNC function;
        ULONG_PTR data;
        ApcNode* owned = nullptr;
        {
            InternalGuard guard(mLock);
            budget += mBySelf;
            mBySelf = 0;
            if (budget == 0 || mCalls.Empty()) {
                mRunning = false;
                break;
            }
            --budget;
            ApcNode* node = mCalls.PopFront();
            mCount.fetch_sub(1, std::memory_order_relaxed);
            function = node->function;
            data = node->data;
            if (!node->embedded) owned = node;
        }
        delete owned;
        function(data);
        ran = true;
    }
    return ran;
}

IntrusiveList<ApcNode> CallQueue::Close() {
    IntrusiveList<ApcNode> owned;
    InternalGuard guard(mLock);
    mClosed = true;
    mCount.store(0, std::memory_order_relaxed);
    // An embedded node belongs to its owner from here on: not touched again.
    while (ApcNode* node = mCalls.PopFront()) {
        if (!node->embedded) owned.PushBack(node);
    }
    return owned;
}

void CallQueue::FreeCalls(IntrusiveList<ApcNode>& owned) {
    while (ApcNode* node = owned.PopFront()) delete node;
}

}  // namespace rvsys::platform::posix
