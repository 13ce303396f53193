#include <rvsysutils/TimersAndEventManager.h>

#include <rvsysutils/Thread.h>
#include <rvsysutils/ThreadEvent.h>

#include <iterator>

#include "../platform/platform.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;

namespace {

// Appends one request. The node is allocated before the lock is taken, so the
// lock covers only an O(1) splice that cannot fail; when memory runs out the
// request is lost and the list is untouched. So is a request to a manager
// whose mutex could not be made: appending without it would race.
template <class List, class Action>
void AppendRequest(ThreadMutex& mutex, List& list, std::atomic<bool>& hasPending, const Action& action) {
    try {
        List node;
        node.push_back(action);
        if (!mutex.Lock()) return;
        list.splice(list.end(), node);
        hasPending.store(true, std::memory_order_release);
        mutex.Unlock();
    } catch (const std::bad_alloc&) {
    }
}

// Takes every request out of `list` at once, so the lock is held for an O(1)
// splice and never while the queue is changed. Only the loop's thread applies
// or drops requests, so applying them after the lock is left cannot reorder
// them against another consumer.
template <class List>
List TakeRequests(ThreadMutex* mutex, List& list, std::atomic<bool>& hasPending) {
    List taken;
    if (mutex != nullptr) mutex->Lock();
    taken.splice(taken.end(), list);
    hasPending.store(false, std::memory_order_relaxed);
    if (mutex != nullptr) mutex->Unlock();
    return taken;
}

// Sleeps out up to `period` ms in short steps, and ends early once the loop is
// asked to stop or a request is queued: the loop's event cannot be signalled
// (it was never created), so nothing else would end an endless period.
void SleepUnlessWoken(unsigned long period, const std::atomic<bool>& running, const std::atomic<bool>& pending) {
    constexpr unsigned long long kStepMs = 10;
    const unsigned long long start = GetSystemUptime();
    while (running.load(std::memory_order_acquire) && !pending.load(std::memory_order_acquire)) {
        const unsigned long long elapsed = GetSystemUptime() - start;
        if (elapsed >= period) return;
        const unsigned long long left = period - elapsed;
        platform::Sleep(static_cast<DWORD>(left < kStepMs ? left : kStepMs));
    }
}

}  // namespace

TimersAndEventManager::TimersAndEventManager(unsigned int period)
    : mPeriod(period),
      mEventCallback(nullptr),
      mTimeHasChangedCallback(nullptr),
      mEventUserData(nullptr),
      mTimeChangeUserData(nullptr),
      mUseSystemUptime(true),
      mRunning(false),
      mHasPendingActions(false) {}

TimersAndEventManager::~TimersAndEventManager() {}

void TimersAndEventManager::SetRealTime() { mUseSystemUptime = false; }

void TimersAndEventManager::SetEventCallback(void (*callback)(void*)) { mEventCallback = callback; }

void TimersAndEventManager::SetTimeHasChangedCallback(void (*callback)(void*, int)) {
    mTimeHasChangedCallback = callback;
}

void TimersAndEventManager::SetEventUserData(void* userData) { mEventUserData = userData; }

void TimersAndEventManager::SetTimeChangeUserData(void* userData) { mTimeChangeUserData = userData; }

void TimersAndEventManager::CeaseExecution() { mRunning.store(false, std::memory_order_release); }

bool TimersAndEventManager::Start(ThreadEvent& event) {
    mRunning.store(true, std::memory_order_release);
    unsigned long long previous = GetKeyTime();
    if (!mRunning.load(std::memory_order_acquire)) return true;
    for (;;) {
        event.Lock();
        const unsigned long result = event.WaitForEvent(mPeriod, nullptr);
        event.Unlock();
        if (result == WAIT_OBJECT_0) {
            if (mEventCallback != nullptr) mEventCallback(mEventUserData);
        } else if (result == WAIT_FAILED) {
            // A wait that fails does so at once, so the whole period is still
            // to be waited: sleep it rather than spin.
            SleepUnlessWoken(mPeriod, mRunning, mHasPendingActions);
        }
        if (!mRunning.load(std::memory_order_acquire)) return true;

        // Tested without the lock: a pass with nothing queued takes no lock
        // but the event's. A request appended just after the test waits one pass.
        if (mHasPendingActions.load(std::memory_order_acquire)) ProcessPendingActions(true);

        const unsigned long long current = GetKeyTime();
        int shiftSeconds = 0;
        if (TimeHasChanged(previous, current, shiftSeconds)) {
            if (mTimeHasChangedCallback == nullptr) throw -1;
            mTimeHasChangedCallback(mTimeChangeUserData, shiftSeconds);
        }
        previous = current;

        // The first entry is looked up afresh after every call, and each entry
        // leaves the queue before its callback runs, so callbacks may add,
        // remove or move timers freely.
        while (!mTimersQueue.empty()) {
            const auto first = mTimersQueue.begin();
            if (!(first->first < current)) break;
            void (*const callback)(void*) = first->second.first;
            void* const userData = first->second.second;
            mTimersQueue.erase(first);
            if (callback != nullptr) callback(userData);
        }
        if (!mRunning.load(std::memory_order_acquire)) return true;
    }
}

unsigned long long TimersAndEventManager::GetKeyTime() {
    return mUseSystemUptime ? GetSystemUptime() : GetCurrentTimeInMilliSec();
}

unsigned long long TimersAndEventManager::GetCurrentTimeInMilliSec() {
    FILETIME now;
    platform::GetSystemTimeAsFileTime(&now);
    const unsigned long long units = static_cast<unsigned long long>(now.dwHighDateTime) << 32 |
                                     static_cast<unsigned long long>(now.dwLowDateTime);
    return (units - platform::kFileTimeOfUnixEpoch) / 10000u;
}

bool TimersAndEventManager::TimeHasChanged(const unsigned long long& previous, const unsigned long long& current,
                                           int& shiftSeconds) {
    if (mUseSystemUptime) return false;
    const unsigned long long expected = previous + mPeriod;
    // Signed, truncated toward zero: -500 ms is a jump of 0 s, not -1 s.
    shiftSeconds = static_cast<int>(static_cast<long long>(current - expected) / 1000);
    // Unsigned comparisons throughout, as the tolerances are defined on them.
    if (expected > current + 200u) return true;
    const unsigned long long forwardTolerance = static_cast<unsigned long long>(mPeriod / 5u) + 500u;
    return expected < current - forwardTolerance;
}

void TimersAndEventManager::ProcessPendingActions(bool lock) {
    const PendingList taken = TakeRequests(lock ? &mPendingMutex : nullptr, mPendingActions, mHasPendingActions);
    for (const PendingAction& action : taken) {
        switch (action.type) {
            case AddTimerAction:
                try {
                    AddTimerFromCallback(action.keyTime, action.callback, action.userData);
                } catch (const std::bad_alloc&) {
                    // Lost like a request whose append failed: the caller was
                    // promised no exception, and the loop goes on.
                }
                break;
            case RemoveTimerAction:
                for (auto it = mTimersQueue.begin(); it != mTimersQueue.end();) {
                    it = it->second.second == action.userData ? mTimersQueue.erase(it) : std::next(it);
                }
                break;
        }
    }
}

void TimersAndEventManager::AddTimerFromCallback(unsigned int delay, void (*callback)(void*), void* userData) {
    const unsigned long long keyTime = GetKeyTime() + delay;
    AddTimerFromCallback(keyTime, callback, userData);
}

void TimersAndEventManager::AddTimerFromCallback(const unsigned long long& keyTime, void (*callback)(void*),
                                                 void* userData) {
    // A multimap inserts at the upper end of the equal keys: insertion order
    // among equal keys is firing order.
    mTimersQueue.insert(std::make_pair(keyTime, std::make_pair(callback, userData)));
}

void TimersAndEventManager::AddTimerFromOutside(const unsigned long long& keyTime, void (*callback)(void*),
                                                void* userData) {
    const PendingAction action = {AddTimerAction, keyTime, callback, userData};
    AppendRequest(mPendingMutex, mPendingActions, mHasPendingActions, action);
}

void TimersAndEventManager::RemoveTimerFromOutside(void* userData) {
    const PendingAction action = {RemoveTimerAction, 0, nullptr, userData};
    AppendRequest(mPendingMutex, mPendingActions, mHasPendingActions, action);
}

void TimersAndEventManager::ClearAllTimersFromCallback() {
    mTimersQueue.clear();
    ClearPendingEventsFromCallback();
}

void TimersAndEventManager::ClearTimersFromCallbackIf(bool (*predicate)(const TimerEntry&)) {
    if (mHasPendingActions.load(std::memory_order_acquire)) ProcessPendingActions(true);
    if (predicate == nullptr) return;
    for (auto it = mTimersQueue.begin(); it != mTimersQueue.end();) {
        const TimerEntry entry(it->first, it->second);
        it = predicate(entry) ? mTimersQueue.erase(it) : std::next(it);
    }
}

void TimersAndEventManager::AdjustTimersFromCallbackIf(bool (*predicate)(const TimerEntry&), int shift) {
    if (mHasPendingActions.load(std::memory_order_acquire)) ProcessPendingActions(true);
    if (predicate == nullptr) return;
    typedef std::multimap<unsigned long long, std::pair<void (*)(void*), void*> > Queue;

    // Selected nodes are unlinked into `moved` with their new keys, then linked
    // back after the visit: no allocation, so nothing can be lost half-way. A
    // multimap keeps equal keys in insertion order, and each node goes back
    // after the entries that already have its key, so unmoved entries come
    // before moved ones and moved ones keep their visit order. The guard puts
    // them back also when the predicate throws.
    struct MoveBack {
        Queue& queue;
        Queue moved;
        ~MoveBack() {
            while (!moved.empty()) queue.insert(moved.extract(moved.begin()));
        }
    } back{mTimersQueue, {}};

    const unsigned long long delta = static_cast<unsigned long long>(static_cast<long long>(shift));
    for (auto it = mTimersQueue.begin(); it != mTimersQueue.end();) {
        const TimerEntry entry(it->first, it->second);
        if (!predicate(entry)) {
            ++it;
            continue;
        }
        auto node = mTimersQueue.extract(it++);
        node.key() += delta;
        back.moved.insert(std::move(node));
    }
}

bool TimersAndEventManager::IsTimersQueueEmpty() { return mTimersQueue.empty(); }

void TimersAndEventManager::ClearPendingEventsFromCallback() {
    // The dropped nodes are freed here, after the lock is left.
    TakeRequests(&mPendingMutex, mPendingActions, mHasPendingActions);
}
