#include <rvsysutils/TimerManager.h>

#include <cstdint>
#include <new>

#include "../platform/platform.h"
#include "TimerRecord.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;
using rvsys::detail::kUnlimited;
using rvsys::detail::TimerTables;

namespace {

// The tables whose timer thread this is, and whether a callback on it destroyed
// their manager (the thread must then end as soon as that callback returns).
thread_local TimerTables* tlsTimerThreadTables = nullptr;
thread_local bool tlsManagerGone = false;

long Saturate32(long value) {
    constexpr long kMin = INT32_MIN;
    constexpr long kMax = INT32_MAX;
    return value < kMin ? kMin : (value > kMax ? kMax : value);
}

unsigned long NormaliseCount(unsigned long count) { return count == 0 || count >= kUnlimited ? kUnlimited : count; }

TimerTables* TablesOf(std::map<unsigned long, TimerRecord*>* addQueue) { return static_cast<TimerTables*>(addQueue); }

// Called with the tables' lock held. Frees the records removed while the thread
// ran; the thread calls this only outside its wait, when no call of theirs can
// be in progress.
void FreeRetired(TimerTables* tables) {
    while (TimerRecord* record = tables->retired) {
        tables->retired = record->mNextRetired;
        delete record;
    }
}

// Called with the tables' lock held, on a record just taken out of the tables.
// Its completion call is withdrawn (or, if already taken off the queue, dropped);
// the memory is freed now unless a call of it may still be running.
void Retire(TimerTables* tables, TimerRecord* record) {
    record->Cancel();
    record->mRemoved = true;
    if (record == tables->inCallback) return;  // freed when its callback returns
    if (tables->threadInRun && tlsTimerThreadTables != tables) {
        record->mNextRetired = tables->retired;
        tables->retired = record;
        return;
    }
    delete record;
}

// Called with the tables' lock held. Stores `record` under `id`, replacing (and
// freeing) a queued one. False when memory runs out.
bool Queue(std::map<unsigned long, TimerRecord*>& queue, unsigned long id, TimerRecord* record) {
    try {
        auto [it, inserted] = queue.emplace(id, record);
        if (!inserted) {
            delete it->second;
            it->second = record;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

// ---- TimerRecord ------------------------------------------------------------

TimerRecord::TimerRecord(TimerManager* manager, unsigned long id, TimerCallback callback, void* userData,
                         long dueTime, unsigned long count, long period)
    : mManager(manager),
      mId(id),
      mCallback(callback),
      mUserData(userData),
      mDueTime(Saturate32(dueTime)),
      mCount(NormaliseCount(count)),
      mTimerPeriod(period == 0 ? Saturate32(dueTime) : Saturate32(period)),
      mCalledAt(platform::GetRelativeTimerClock()),
      mTimerHandle(nullptr) {}

TimerRecord::~TimerRecord() { Cancel(); }

long TimerRecord::Arm() {
    mTimerHandle = platform::CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (mTimerHandle == nullptr) return 0;
    // What remains of the due time since the call, however late this thread got
    // to it, so that a busy timer thread shifts no schedule. When nothing
    // remains, the shortest relative time (100 ns): due at once, and its periods
    // stay on the monotonic clock (an absolute time would follow the wall clock).
    const long long remaining =
        static_cast<long long>(mDueTime) * 10000 - (platform::GetRelativeTimerClock() - mCalledAt);
    LARGE_INTEGER due;
    due.QuadPart = remaining > 0 ? -remaining : -1;
    return platform::SetWaitableTimer(mTimerHandle, &due, static_cast<LONG>(mTimerPeriod), &TimerRecord::OnExpire,
                                      this, FALSE) == 1
               ? 1
               : 0;
}

long TimerRecord::Cancel() {
    if (mTimerHandle == nullptr) return 0;
    // Closed also when the cancel fails: the handle is ours alone and is never
    // armed again, and on Windows closing it cancels it all the same.
    platform::CancelWaitableTimer(mTimerHandle);
    platform::CloseHandle(mTimerHandle);
    mTimerHandle = nullptr;
    return 1;
}

long TimerRecord::Modify(TimerCallback callback, void* userData, long dueTime, unsigned long count, long period,
                         long long calledAt) {
    if (Cancel() == 0) return 0;
    mCalledAt = calledAt;
    if (callback != nullptr) mCallback = callback;
    if (userData != nullptr) mUserData = userData;
    mDueTime = dueTime;
    if (count != kUnlimited) mCount = count;
    if (period != 0) mTimerPeriod = period;
    return Arm();
}

void RVSYS_WINAPI TimerRecord::OnExpire(void* argument, DWORD, DWORD) {
    auto* record = static_cast<TimerRecord*>(argument);
    TimerManager* manager = record->mManager;
    TimerTables* tables = TablesOf(manager->mAddQueue);

    tables->Lock();
    // Removed after the platform took this call off the queue: it no longer runs.
    if (record->mRemoved) {
        tables->Unlock();
        return;
    }
    tables->inCallback = record;
    const TimerCallback callback = record->mCallback;
    const unsigned long id = record->mId;
    void* const userData = record->mUserData;
    tables->Unlock();

    callback(id, userData);
    if (tlsManagerGone) platform::ExitThread(0);  // the callback destroyed the manager

    tables->Lock();
    tables->inCallback = nullptr;
    if (record->mRemoved) {
        delete record;  // removed during its own callback: its memory was kept for us
    } else {
        if (record->mCount != kUnlimited) --record->mCount;
        if (record->mCount == 0) manager->RemoveTimer(id);  // frees the record
    }
    tables->Unlock();
}

// ---- TimerManager -------------------------------------------------------------

TimerManager::TimerManager() : mAddQueue(nullptr), mResetQueue(nullptr), mTimers(nullptr), mStopRequested(0) {
    if (auto* tables = new (std::nothrow) TimerTables(this, &mTimerEvent)) {
        mAddQueue = tables;
        mResetQueue = &tables->resets;
        mTimers = &tables->running;
    }
}

TimerManager::TimerManager(const TimerManager& other)
    : ThreadBase(other),
      mAddQueue(other.mAddQueue),
      mResetQueue(other.mResetQueue),
      mTimers(other.mTimers),
      mStopRequested(other.mStopRequested),
      mTimerEvent(other.mTimerEvent) {}

TimerManager& TimerManager::operator=(const TimerManager& other) {
    if (this == &other || mAddQueue == other.mAddQueue) return *this;
    ReleaseOwned();
    ThreadBase::operator=(other);
    mAddQueue = other.mAddQueue;
    mResetQueue = other.mResetQueue;
    mTimers = other.mTimers;
    mStopRequested = other.mStopRequested;
    mTimerEvent = other.mTimerEvent;
    return *this;
}

TimerManager::~TimerManager() { ReleaseOwned(); }

bool TimerManager::IsCopy() const { return mAddQueue != nullptr && TablesOf(mAddQueue)->owner != this; }

// The manager that created the tables: it owns the thread whose state counts,
// and records point to it, so they never depend on a copy's lifetime.
TimerManager* TimerManager::Creator() const { return const_cast<TimerManager*>(TablesOf(mAddQueue)->owner); }

void TimerManager::ReleaseOwned() {
    if (mAddQueue == nullptr || IsCopy()) return;
    TimerTables* tables = TablesOf(mAddQueue);
    if (tlsTimerThreadTables == tables) {
        // Destroyed by one of its own callbacks: nothing can be waited for. The
        // thread ends as soon as the callback returns, before it touches anything.
        tlsManagerGone = true;
        tables->threadInRun = false;
    } else {
        Stop();
    }
    // Also after a Stop that failed: the terminated thread never runs library
    // code again, so every record can go.
    ClearQueues();
    mTimerEvent.Destroy();
    delete tables;
    mAddQueue = mResetQueue = mTimers = nullptr;
}

long TimerManager::Start() {
    if (mAddQueue == nullptr || IsCopy()) return 0;
    if (IsRunning() != 0) return 1;
    TimerTables* tables = TablesOf(mAddQueue);
    // The event is made and destroyed under the tables' lock, the only lock
    // under which other threads touch it.
    tables->Lock();
    const bool made = !tables->abandoned && mTimerEvent.Create(1, 0) == 1;
    if (!made && !tables->abandoned) mTimerEvent.Destroy();  // one made without its system event
    mStopRequested = 0;
    tables->Unlock();
    if (!made) return 0;
    // A 1 from ThreadBase::Start means the thread is already marked running.
    if (ThreadBase::Start(nullptr) != 1) {
        tables->Lock();
        mTimerEvent.Destroy();
        tables->Unlock();
        return 0;
    }
    tables->Lock();
    tables->accepting = true;
    tables->Unlock();
    return 1;
}

long TimerManager::Stop() {
    if (mAddQueue == nullptr || IsCopy()) return 0;
    TimerTables* tables = TablesOf(mAddQueue);
    if (tlsTimerThreadTables == tables) return 0;  // from a callback: it would wait for itself
    if (IsRunning() == 0) return 0;
    tables->Lock();
    tables->accepting = false;
    mStopRequested = 1;
    mTimerEvent.SetEvent();
    tables->Unlock();
    const long stopped = ThreadBase::Stop(1000);
    // Ended, or terminated: either way its library code will not run again.
    tables->Lock();
    tables->threadInRun = false;
    if (stopped != 1) tables->abandoned = true;
    tables->Unlock();
    if (stopped != 1) return 0;
    ClearQueues();
    tables->Lock();
    mTimerEvent.Destroy();
    tables->Unlock();
    return 1;
}

long TimerManager::AddTimer(unsigned long id, TimerCallback callback, void* userData, long dueTime,
                            unsigned long count, long period) {
    if (callback == nullptr || id == 0 || mAddQueue == nullptr) return 0;
    return QueueChange(*mAddQueue, false, id, callback, userData, dueTime, count, period);
}

long TimerManager::ResetTimer(unsigned long id, long dueTime, unsigned long count, long period,
                              TimerCallback callback, void* userData) {
    if (mResetQueue == nullptr) return 0;
    return QueueChange(*mResetQueue, true, id, callback, userData, dueTime, count, period);
}

// Queues a record for the thread when `id` is running (a reset) or is not (an
// addition), and wakes the thread.
long TimerManager::QueueChange(TimerMap& queue, bool running, unsigned long id, TimerCallback callback,
                               void* userData, long dueTime, unsigned long count, long period) {
    // Read before the lock, which the timer thread may hold for a while: the
    // due time counts from the call itself.
    const long long calledAt = platform::GetRelativeTimerClock();
    TimerTables* tables = TablesOf(mAddQueue);
    tables->Lock();
    if (!tables->accepting || (mTimers->count(id) != 0) != running) {
        tables->Unlock();
        return 0;
    }
    auto* record = new (std::nothrow) TimerRecord(Creator(), id, callback, userData, dueTime, count, period);
    if (record != nullptr) record->mCalledAt = calledAt;
    if (record == nullptr || !Queue(queue, id, record)) {
        delete record;
        tables->Unlock();
        return 0;
    }
    // The thread takes the tables' lock again when it wakes: woken as we leave it.
    platform::SetEventUnderLock(*tables->event->GetHandle(), &tables->lock);
    tables->Unlock();
    return 1;
}

long TimerManager::RemoveTimer(unsigned long id) {
    if (mAddQueue == nullptr) return 0;
    TimerTables* tables = TablesOf(mAddQueue);
    long removed = 0;
    tables->Lock();
    if (auto it = mTimers->find(id); it != mTimers->end()) {
        TimerRecord* record = it->second;
        mTimers->erase(it);
        Retire(tables, record);
        removed = 1;
    } else if (auto queued = mAddQueue->find(id); queued != mAddQueue->end()) {
        delete queued->second;  // never armed
        mAddQueue->erase(queued);
        removed = 1;
    }
    tables->Unlock();
    return removed;
}

void TimerManager::ClearQueues() {
    if (mAddQueue == nullptr) return;
    TimerTables* tables = TablesOf(mAddQueue);
    tables->Lock();
    for (auto& entry : *mResetQueue) delete entry.second;
    mResetQueue->clear();
    for (auto& entry : *mAddQueue) delete entry.second;  // the destructor cancels
    mAddQueue->clear();
    for (auto& entry : *mTimers) {
        if (entry.second != tables->inCallback) delete entry.second;
    }
    mTimers->clear();
    if (tables->inCallback != nullptr) {
        // Its callback outlived a terminating Stop; the thread never comes back
        // to it, so it goes too.
        delete tables->inCallback;
        tables->inCallback = nullptr;
    }
    FreeRetired(tables);
    tables->Unlock();
}

unsigned long TimerManager::Run() {
    TimerTables* tables = TablesOf(mAddQueue);
    tlsTimerThreadTables = tables;
    tables->Lock();
    tables->threadInRun = true;
    while (mStopRequested != 1) {
        const unsigned long woken = mTimerEvent.WaitForEventEx(INFINITE, &tables->lock);
        FreeRetired(tables);  // no completion call is in progress out here
        if (woken != WAIT_OBJECT_0) continue;
        while (!mAddQueue->empty()) {
            auto first = mAddQueue->begin();
            TimerRecord* record = first->second;
            mAddQueue->erase(first);
            if (record->Arm() != 1 || !Queue(*mTimers, record->mId, record)) delete record;
        }
        while (!mResetQueue->empty()) {
            auto first = mResetQueue->begin();
            TimerRecord* reset = first->second;
            mResetQueue->erase(first);
            if (auto running = mTimers->find(reset->mId); running != mTimers->end()) {
                running->second->Modify(reset->mCallback, reset->mUserData, reset->mDueTime, reset->mCount,
                                        reset->mTimerPeriod, reset->mCalledAt);
            }
            delete reset;
        }
    }
    tables->threadInRun = false;
    tables->accepting = false;
    tables->Unlock();
    tlsTimerThreadTables = nullptr;
    return 0;
}
