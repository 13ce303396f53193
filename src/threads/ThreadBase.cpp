#include <rvsysutils/ThreadBase.h>

#include <rvsysutils/ThreadEvent.h>
#include <rvsysutils/ThreadMutex.h>

#include <atomic>
#include <new>

#include "../platform/platform.h"
#include "atomic_field.h"
#include "timeout.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;

namespace rvsys::detail {

struct ThreadBaseAccess {
    static DWORD RVSYS_WINAPI Entry(LPVOID parameter) {
        return static_cast<DWORD>(ThreadBase::MainThreadRoutine(static_cast<ThreadBase*>(parameter)));
    }
    static ThreadBase* StartThread(ThreadRoutine routine, void* argument, ThreadEvent* event, long autoDelete);
    static long StopThread(ThreadBase** thread, unsigned long timeout, unsigned long* exitCode);
};

}  // namespace rvsys::detail

namespace {

// mIsRunning, mExitCode and mAutoDelete are guarded by the run event's lock; a
// caller's event may have none, so they are accessed atomically as well.
using rvsys::detail::Load;
using rvsys::detail::Store;

// The object whose run this thread is. Cleared when user code on the thread
// destroys that object: the thread then ends as soon as the code returns.
thread_local ThreadBase* tlsOwnRun = nullptr;

// Runs one piece of user code (`call`: the routine, or Initialize / Run /
// Destroy with an ordinary virtual call) and gives the exit code it stands for.
// The order of the virtual table read and anything around it does not matter
// for termination: TerminateThread returns only once the thread runs nothing
// of its own any more (on Linux the thread acknowledges it itself, inside the
// layer), so the owner cannot free the object while this thread still reads
// it, whatever code the compiler made. When the user code destroyed the object
// on this very thread, the thread ends here without touching it.
template <class Call>
DWORD CallUserCode(const ThreadBase* thread, Call call) {
    const DWORD code = call();
    if (tlsOwnRun != thread) platform::ExitThread(code);
    return code;
}

// Serialises StopThread with the deletion of a self-deleting object by its own
// thread, so the object cannot be freed while StopThread reads it. Taken before
// any run event's lock. Immortal: threads may end while statics are destroyed.
ThreadMutex& SelfDeleteLock() {
    static auto* lock = new ThreadMutex;
    return *lock;
}

}  // namespace

ThreadBase::ThreadBase()
    : mThreadHandle(nullptr),
      mThreadFunction(nullptr),
      mThreadArgument(nullptr),
      mExitCode(0xFFFFFFFFul),
      mIsRunning(0),
      mEvent(nullptr),
      mOwnsEvent(0),
      mAutoDelete(0) {}

// A copy shares the run's event but owns neither it nor the thread: with no
// handle and no claim on the event, its Stop never terminates and its Cleanup
// only forgets.
ThreadBase::ThreadBase(const ThreadBase& other)
    : mThreadHandle(nullptr),
      mThreadFunction(other.mThreadFunction),
      mThreadArgument(other.mThreadArgument),
      mExitCode(Load(other.mExitCode)),
      mIsRunning(Load(other.mIsRunning)),
      mEvent(other.mEvent),
      mOwnsEvent(0),
      mAutoDelete(Load(other.mAutoDelete)) {}

ThreadBase& ThreadBase::operator=(const ThreadBase& other) {
    if (this == &other) return *this;
    Stop(0);
    mThreadHandle = nullptr;
    mThreadFunction = other.mThreadFunction;
    mThreadArgument = other.mThreadArgument;
    // The source's run may be recording its end right now.
    mExitCode = Load(other.mExitCode);
    mIsRunning = Load(other.mIsRunning);
    mEvent = other.mEvent;
    mOwnsEvent = 0;
    mAutoDelete = Load(other.mAutoDelete);
    return *this;
}

ThreadBase::~ThreadBase() {
    Store(mAutoDelete, 0L);
    if (tlsOwnRun == this) {
        // Destroyed by its own thread (self-deletion, or user code on it): there
        // is nothing to wait for. The thread ends as soon as control is back in
        // the library, so releasing the event and handle now is safe.
        tlsOwnRun = nullptr;
        Cleanup();
        return;
    }
    Stop(0);
}

void ThreadBase::Initialize() {}
void ThreadBase::Destroy() {}
unsigned long ThreadBase::Run() { return 0; }

long ThreadBase::Start(ThreadEvent* event) {
    if (IsOwnThread()) return 0;  // stopping the run first would end this very thread
    Stop(0);
    if (event != nullptr) {
        mOwnsEvent = 0;
        mEvent = event;
    } else {
        mOwnsEvent = 1;
        mEvent = new (std::nothrow) ThreadEvent;
        if (mEvent == nullptr || mEvent->Create(1, 0) != 1) {
            Cleanup();
            return 0;
        }
    }
    // Marked running before the thread can begin: it starts suspended and is let
    // go only after the handle is stored, because a self-deleting object may be
    // gone as soon as its thread runs.
    mEvent->Lock();
    Store(mIsRunning, 1L);
    mEvent->Unlock();
    mThreadHandle =
        platform::CreateThread(nullptr, 0, &rvsys::detail::ThreadBaseAccess::Entry, this, CREATE_SUSPENDED, nullptr);
    if (mThreadHandle != nullptr && platform::ResumeThread(mThreadHandle) == 1) return 1;
    if (mThreadHandle != nullptr) platform::TerminateThread(mThreadHandle, 0);
    mEvent->Lock();
    Store(mIsRunning, 0L);
    mEvent->Unlock();
    Cleanup();
    return 0;
}

long ThreadBase::Stop(unsigned long timeout) {
    if (mEvent == nullptr) return 0;
    if (mThreadHandle == nullptr) {
        Cleanup();  // a copy: the run is not ours to wait for or end
        return 0;
    }
    mEvent->Lock();
    if (Load(mIsRunning) == 0) {
        mEvent->Unlock();
        Cleanup();
        return 1;
    }
    if (IsOwnThread()) {
        mEvent->Unlock();
        return 0;
    }
    long result = 1;
    // A thread that recorded its end while the wait was timing out has ended by
    // itself: it is not terminated, and its exit code stays its own.
    if (mEvent->WaitForEvent(timeout, nullptr) != WAIT_OBJECT_0 && Load(mIsRunning) != 0) {
        // Terminated while the lock is held again, so never inside its own
        // short locked steps.
        platform::TerminateThread(mThreadHandle, 0);
        result = 0;
    }
    Store(mIsRunning, 0L);
    mEvent->Unlock();
    Cleanup();
    return result;
}

long ThreadBase::WaitForThreadEnd(unsigned long timeout) {
    if (mEvent == nullptr) return 0;
    mEvent->Lock();
    if (Load(mIsRunning) == 0) {
        mEvent->Unlock();
        Cleanup();
        return 1;
    }
    if (IsOwnThread() || mEvent->WaitForEvent(timeout, nullptr) != WAIT_OBJECT_0) {
        mEvent->Unlock();
        return 0;
    }
    Store(mIsRunning, 0L);
    mEvent->Unlock();
    Cleanup();
    return 1;
}

long ThreadBase::GetThreadExitCode(unsigned long* exitCode) {
    ThreadEvent* event = mEvent;
    if (event == nullptr || exitCode == nullptr) return 0;
    event->Lock();
    if (Load(mIsRunning) != 0) {
        event->Unlock();
        return 0;
    }
    *exitCode = Load(mExitCode);
    event->Unlock();
    return 1;
}

long ThreadBase::IsRunning() {
    ThreadEvent* event = mEvent;
    if (event == nullptr) return 0;
    event->Lock();
    const long running = Load(mIsRunning) != 0 ? 1 : 0;
    event->Unlock();
    return running;
}

void ThreadBase::Cleanup() {
    if (mOwnsEvent != 0) {
        if (mEvent != nullptr) {
            mEvent->Destroy();
            delete mEvent;
        }
        mOwnsEvent = 0;
    }
    mEvent = nullptr;
    if (mThreadHandle != nullptr) {
        platform::CloseHandle(mThreadHandle);
        mThreadHandle = nullptr;
    }
}

bool ThreadBase::IsOwnThread() {
    return mThreadHandle != nullptr && platform::GetThreadId(mThreadHandle) == platform::GetCurrentThreadId();
}

unsigned long ThreadBase::MainThreadRoutine(ThreadBase* thread) {
    tlsOwnRun = thread;
    ThreadEvent* event = thread->mEvent;
    event->Lock();
    Store(thread->mIsRunning, 1L);
    event->Unlock();

    DWORD exitCode;
    if (ThreadRoutine routine = thread->mThreadFunction) {
        void* argument = thread->mThreadArgument;
        exitCode = CallUserCode(thread, [routine, argument] { return static_cast<DWORD>(routine(argument)); });
    } else {
        CallUserCode(thread, [thread] {
            thread->Initialize();
            return DWORD{0};
        });
        exitCode = CallUserCode(thread, [thread] { return static_cast<DWORD>(thread->Run()); });
        CallUserCode(thread, [thread] {
            thread->Destroy();
            return DWORD{0};
        });
    }

    event->Lock();
    const long autoDelete = Load(thread->mAutoDelete);
    Store(thread->mExitCode, static_cast<unsigned long>(exitCode));
    Store(thread->mIsRunning, 0L);
    event->SetEvent();
    event->Unlock();
    // From here on the owner may destroy the object; only a self-deleting
    // object is touched again, by its own deletion.
    if (autoDelete != 0) {
        SelfDeleteLock().Lock();
        delete thread;
        SelfDeleteLock().Unlock();
    }
    // Returning from the thread's routine ends it with this exit code.
    return exitCode;
}

ThreadBase* StartThread(ThreadRoutine routine, void* argument, ThreadEvent* event, long autoDelete) {
    return rvsys::detail::ThreadBaseAccess::StartThread(routine, argument, event, autoDelete);
}

long StopThread(ThreadBase** thread, unsigned long timeout, unsigned long* exitCode) {
    return rvsys::detail::ThreadBaseAccess::StopThread(thread, timeout, exitCode);
}

ThreadBase* rvsys::detail::ThreadBaseAccess::StartThread(ThreadRoutine routine, void* argument, ThreadEvent* event,
                                                         long autoDelete) {
    if (routine == nullptr) return nullptr;  // such an object could not be stopped by StopThread
    auto* thread = new (std::nothrow) ThreadBase;
    if (thread == nullptr) return nullptr;
    thread->mThreadFunction = routine;
    thread->mThreadArgument = argument;
    thread->mAutoDelete = autoDelete;
    if (thread->Start(event) == 1) return thread;
    delete thread;
    return nullptr;
}

long rvsys::detail::ThreadBaseAccess::StopThread(ThreadBase** thread, unsigned long timeout,
                                                 unsigned long* exitCode) {
    if (thread == nullptr || *thread == nullptr) return 0;
    ThreadMutex& selfDelete = SelfDeleteLock();
    selfDelete.Lock();
    ThreadBase* object = *thread;
    if (object->mThreadFunction == nullptr) {
        selfDelete.Unlock();
        return 0;
    }
    // The thread reads the self-delete flag under the run's lock when it records
    // its end, so the decision is taken under that lock too.
    if (ThreadEvent* event = object->mEvent) {
        event->Lock();
        if (Load(object->mIsRunning) == 0 && Load(object->mAutoDelete) != 0) {
            // Ended and committed to deleting itself: leave the object to it.
            if (exitCode != nullptr) *exitCode = Load(object->mExitCode);
            event->Unlock();
            selfDelete.Unlock();
            *thread = nullptr;
            return 1;
        }
        Store(object->mAutoDelete, 0L);
        event->Unlock();
    }
    Store(object->mAutoDelete, 0L);
    selfDelete.Unlock();

    const long result = object->Stop(timeout);
    if (exitCode != nullptr) *exitCode = object->mExitCode;
    delete object;
    *thread = nullptr;
    return result;
}
