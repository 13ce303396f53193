#include <rvsysutils/ThreadMutex.h>

#include <new>

#include "../platform/platform.h"

namespace platform = rvsys::platform;
using namespace rvsys::platform;

ThreadMutex::ThreadMutex() : mCriticalSection(new (std::nothrow) CRITICAL_SECTION) {
    if (mCriticalSection != nullptr) platform::InitializeCriticalSection(mCriticalSection);
}

ThreadMutex::~ThreadMutex() {
    if (mCriticalSection == nullptr) return;
    platform::DeleteCriticalSection(mCriticalSection);
    delete mCriticalSection;
    mCriticalSection = nullptr;
}

bool ThreadMutex::Lock() {
    if (mCriticalSection == nullptr) return false;
    platform::EnterCriticalSection(mCriticalSection);
    return true;
}

bool ThreadMutex::TryLock() {
    if (mCriticalSection == nullptr) return false;
    return platform::TryEnterCriticalSection(mCriticalSection) == 1;
}

bool ThreadMutex::Unlock() {
    if (mCriticalSection == nullptr) return false;
    platform::LeaveCriticalSection(mCriticalSection);
    return true;
}

ThreadMutex::operator bool() const { return mCriticalSection != nullptr; }
