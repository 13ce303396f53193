#include <rvsysutils/Semaphore.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <new>
#include <thread>

#include "../platform/platform.h"
#include "../threads/atomic_field.h"

namespace platform = rvsys::platform;
// The members may be cleared by the signal clean-up while another thread uses
// the object: every access is atomic.
using rvsys::detail::Exchange;
using rvsys::detail::Load;
using rvsys::detail::Store;
using namespace rvsys::platform;

// Declared by the class; the registry and the message in use are the
// process-lifetime objects below, so that a user's static Semaphore destroyed
// after this file's statics still finds them.
std::list<std::pair<void*, Semaphore*>> Semaphore::mHandleMap;
bool Semaphore::mIsRegistered = false;
std::string Semaphore::mErrorMessage = "No errors";

namespace {

constexpr LONG kMaximumCount = 0xFFFF;

// How long a signal handler waits for another thread's sweep, and for
// Lock/Unlock calls under way on other threads, before it goes on without them.
constexpr DWORD kHandlerWaitMs = 2000;

// The seven signals in the slot order of gPreviousSignalHandlers. Linux numbers;
// SIGBREAK is SIGQUIT there.
constexpr int kSignalCount = 7;
const int kSignals[kSignalCount] = {SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, SIGBREAK, SIGINT};

platform::SignalHandler gPreviousSignalHandlers[kSignalCount];

// Guards registration, mIsRegistered and the sweep list's replacement. The
// signal handler never takes it (it could interrupt the holder): it walks the
// sweep list instead. Trivially destructible, as is everything below.
std::mutex gRegistryLock;

// The registry: the registered objects in order of construction, as the list
// SemaphoreCleaner walks. Registration publishes a new list (without the holes
// removals left); removal clears its entry in place, so it never allocates and
// cannot fail. A list or an object is let go only once no sweep can still be
// looking at it (WaitForSweep). The current list is never freed.
struct SweepList {
    explicit SweepList(std::size_t count) : size(count), objects(new (std::nothrow) std::atomic<Semaphore*>[count]) {}
    ~SweepList() { delete[] objects; }
    SweepList(const SweepList&) = delete;
    SweepList& operator=(const SweepList&) = delete;

    std::size_t size;
    std::atomic<Semaphore*>* objects;
};
std::atomic<SweepList*> gSweepList{nullptr};
// Set while a signal handler sweeps; one sweep at a time.
std::atomic<bool> gSweeping{false};

// Serialises reports outside signal handlers.
std::mutex gReportLock;

// The last error message, never destroyed.
std::string& Message() {
    static std::string* const message = new std::string("No errors");
    return *message;
}

// Called outside signal handlers. A sweep on this very thread cannot be in
// progress here (it would have finished before this code resumed).
void WaitForSweep() {
    while (gSweeping.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

// Waits, at most kHandlerWaitMs, until no other sweep runs and takes the turn.
bool TakeSweepTurn() {
    const auto start = std::chrono::steady_clock::now();
    while (gSweeping.exchange(true, std::memory_order_seq_cst)) {
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kHandlerWaitMs)) return false;
        std::this_thread::yield();
    }
    return true;
}

// Publishes a list of the registered objects and `object`. False when memory
// runs out (nothing changed).
bool Register(Semaphore* object) {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    SweepList* old = gSweepList.load(std::memory_order_seq_cst);
    std::size_t count = 1;
    for (std::size_t i = 0; old != nullptr && i < old->size; ++i) {
        if (old->objects[i].load(std::memory_order_relaxed) != nullptr) ++count;
    }
    auto* fresh = new (std::nothrow) SweepList(count);
    if (fresh == nullptr || fresh->objects == nullptr) {
        delete fresh;
        return false;
    }
    std::size_t index = 0;
    for (std::size_t i = 0; old != nullptr && i < old->size; ++i) {
        if (Semaphore* entry = old->objects[i].load(std::memory_order_relaxed)) {
            fresh->objects[index++].store(entry, std::memory_order_relaxed);
        }
    }
    fresh->objects[index].store(object, std::memory_order_relaxed);
    gSweepList.store(fresh, std::memory_order_seq_cst);
    WaitForSweep();
    delete old;
    return true;
}

// Removes the object's entry; once this returns no sweep touches the object.
void Unregister(Semaphore* object) {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    if (SweepList* list = gSweepList.load(std::memory_order_seq_cst)) {
        for (std::size_t i = 0; i < list->size; ++i) {
            Semaphore* expected = object;
            list->objects[i].compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
        }
    }
    WaitForSweep();
}

// A stretch in which a signal sees the object's flags and the shared count
// change as one step (see platform.h).
class Section {
public:
    Section() : mEntered(platform::EnterSignalSection(mOuter)) {}
    ~Section() { Leave(); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    explicit operator bool() const { return mEntered; }
    void Leave() {
        if (mEntered) platform::LeaveSignalSection(mOuter);
        mEntered = false;
    }

private:
    std::uint32_t mOuter = 0;
    bool mEntered;
};

int SlotOf(int signal) {
    for (int slot = 0; slot < kSignalCount; ++slot) {
        if (kSignals[slot] == signal) return slot;
    }
    return -1;
}

// The file name of an executable's path: what follows the last separator. Both
// '\' and '/' count: Windows accepts either, Linux uses '/'.
const char* FileNameOf(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') name = c + 1;
    }
    return name;
}

// A report from inside the signal handler: no allocation, no lock, no
// iostreams. The message is built on the stack and written with write(2) when
// standard error is open; it is neither stored nor sent to syslog.
class SignalSafeReport {
public:
    void Append(const char* text) {
        while (*text != '\0' && mUsed < sizeof mText) mText[mUsed++] = *text++;
    }

    void AppendDecimal(DWORD value) {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0 && mUsed < sizeof mText) mText[mUsed++] = digits[--count];
    }

    void Write() const {
        char title[128];
        if (platform::GetConsoleTitleA(title, sizeof title) == 0) return;
        DWORD written = 0;
        platform::WriteFile(platform::GetStdHandle(STD_ERROR_HANDLE), mText, static_cast<DWORD>(mUsed), &written,
                            nullptr);
    }

private:
    char mText[512];
    std::size_t mUsed = 0;
};

void ReportInSignalHandler(const char* operation, DWORD code) {
    SignalSafeReport report;
    report.Append("\n");
    report.Append(operation);
    report.Append(" error");
    report.Append(" : ");
    char text[256];
    if (platform::FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                 LANG_USER_DEFAULT, text, sizeof text, nullptr) != 0) {
        report.Append(text);
    } else {
        report.Append("Unknown error ");
        report.AppendDecimal(code);
    }
    report.Append("\n");
    report.Write();
}

// The system's text for `code`, or "Unknown error N" when it has none.
std::string SystemText(DWORD code) {
    char* text = nullptr;
    const DWORD length = platform::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        if (text != nullptr) platform::LocalFree(text);
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "Unknown error %lu", static_cast<unsigned long>(code));
        return unknown;
    }
    struct FreeText {
        char* text;
        ~FreeText() { platform::LocalFree(text); }
    } freeText{text};
    return std::string(text, length);
}

}  // namespace

Semaphore::Semaphore(int number, const char* name) : mHandle(nullptr), mIsLocked(false), mUnlockOnCleanup(false) {
    if (name == nullptr) return;  // not a valid string: invalid, nothing to report
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", number);
    std::string fullName;
    try {
        fullName = std::string(name) + digits;
    } catch (const std::bad_alloc&) {
        return;
    }
    Store(mHandle, platform::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, fullName.c_str()));
    if (Load(mHandle) == nullptr) {
        const DWORD error = platform::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            ErrorEx("Getting semaphore");
            return;
        }
        Store(mHandle, platform::CreateSemaphoreA(nullptr, 1, kMaximumCount, fullName.c_str()));
        if (Load(mHandle) == nullptr) {
            ErrorEx("Create semaphore");
            return;
        }
        // Only a semaphore made here is reset. One that another process created
        // between our open and our create (183) may be held already: resetting
        // it would hand out a second unit.
        if (platform::GetLastError() != ERROR_ALREADY_EXISTS) ResetSemaphore();
    }
    if (!Register(this)) {
        platform::CloseHandle(Exchange(mHandle, nullptr));
        return;
    }
    std::lock_guard<std::mutex> guard(gRegistryLock);
    if (mIsRegistered) return;
    mIsRegistered = true;
    for (int slot = 0; slot < kSignalCount; ++slot) {
        platform::SignalHandler previous = platform::signal(kSignals[slot], &Semaphore::SemaphoreCleaner);
        // Putting SIG_ERR back would fail and leave the cleaner in place for ever.
        gPreviousSignalHandlers[slot] = previous == SIG_ERR ? SIG_DFL : previous;
    }
}

Semaphore::Semaphore(const Semaphore& other) : mHandle(nullptr), mIsLocked(false), mUnlockOnCleanup(false) {
    *this = other;
}

Semaphore::~Semaphore() {
    // Cleaned while still registered, so that a signal at any point finds the
    // unit either still held by a registered object or given back and the
    // handle closed. Cleanup does nothing while a sweep stops sections (the
    // sweep cleans the object if it had registered it by then): wait for it.
    while (Load(mHandle) != nullptr) {
        Cleanup();
        if (Load(mHandle) != nullptr) WaitForSweep();
    }
    Unregister(this);
}

Semaphore& Semaphore::operator=(const Semaphore& other) {
    if (this == &other) return *this;
    while (Load(mHandle) != nullptr) {  // as the destructor does
        Cleanup();
        if (Load(mHandle) != nullptr) WaitForSweep();
    }
    Unregister(this);
    Store(mIsLocked, false);
    Store(mUnlockOnCleanup, false);
    if (Load(other.mHandle) == nullptr) return *this;
    HANDLE duplicate = nullptr;
    if (platform::DuplicateHandle(platform::GetCurrentProcess(), Load(other.mHandle), platform::GetCurrentProcess(),
                                  &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS) == FALSE) {
        ErrorEx("Getting semaphore");
        return *this;
    }
    Store(mHandle, duplicate);
    Store(mIsLocked, Load(other.mIsLocked));
    Store(mUnlockOnCleanup, Load(other.mUnlockOnCleanup));
    if (!Register(this)) {
        platform::CloseHandle(Exchange(mHandle, nullptr));
        Store(mIsLocked, false);
    }
    return *this;
}

bool Semaphore::Lock(bool unlockOnCleanup) {
    // A free unit is taken with no call and nothing saved to the stack ahead of
    // the compare-and-swap (a locked instruction waits for earlier stores);
    // everything else is the tail call `waiting`.
    const auto waiting = [](Semaphore * self, bool unlock) __attribute__((noinline)) {
        DWORD result;
        {
            Section section;
            if (!section || Load(self->mHandle) == nullptr) return false;
            result = platform::WaitForSingleObject(Load(self->mHandle), INFINITE);
            if (result == WAIT_OBJECT_0) {
                Store(self->mIsLocked, true);
                Store(self->mUnlockOnCleanup, unlock);
                return true;
            }
            if (Load(self->mHandle) == nullptr) return false;  // swept meanwhile: nothing to report
        }
        self->ErrorEx("Lock semaphore");
        return false;
    };
    std::uint32_t outer = 0;
    if (!platform::TryEnterSignalSection(outer)) return waiting(this, unlockOnCleanup);
    const HANDLE handle = Load(mHandle);
    if (handle == nullptr || !platform::TryTakeRecentSemaphore(handle)) {
        platform::LeaveSignalSection(outer);
        return waiting(this, unlockOnCleanup);
    }
    Store(mIsLocked, true);
    Store(mUnlockOnCleanup, unlockOnCleanup);
    return platform::LeaveSignalSectionSucceeding(outer);
}

bool Semaphore::TryLock(bool unlockOnCleanup) {
    Section section;
    if (!section || Load(mHandle) == nullptr) return false;
    if (platform::WaitForSingleObject(Load(mHandle), 0) != WAIT_OBJECT_0) return false;
    Store(mIsLocked, true);
    Store(mUnlockOnCleanup, unlockOnCleanup);
    return true;
}

bool Semaphore::Unlock() {
    // As Lock: the common case inline, everything else the tail call
    // `releasing`.
    static constexpr auto releasing = [](Semaphore * self) __attribute__((noinline)) {
        {
            Section section;
            if (!section || Load(self->mHandle) == nullptr) return false;
            if (platform::ReleaseSemaphore(Load(self->mHandle), 1, nullptr) != FALSE) {
                Store(self->mIsLocked, false);
                return true;
            }
        }
        self->ErrorEx("Unlock semaphore");
        return false;
    };
    std::uint32_t outer = 0;
    if (!platform::TryEnterSignalSection(outer)) return releasing(this);
    // The release clears mIsLocked, ends the section and falls back to
    // `releasing` itself, so that it is the last call here.
    const auto otherwise = [](void* self) { return releasing(static_cast<Semaphore*>(self)); };
    return platform::ReleaseRecentSemaphoreLeaving(Load(mHandle), mIsLocked, outer, otherwise, this);
}

bool Semaphore::ResetSemaphore() {
    // One section: a probe's unit is out only for a moment, and a signal must
    // not see that moment.
    Section section;
    if (!section || Load(mHandle) == nullptr) return false;
    // The count cannot be read: a release reports the count before it, and a
    // wait of 0 takes the probing unit back.
    LONG previous = 0;
    if (platform::ReleaseSemaphore(Load(mHandle), 1, &previous) == FALSE) return false;
    if (platform::WaitForSingleObject(Load(mHandle), 0) != WAIT_OBJECT_0) return false;
    if (previous == 1) return true;
    if (previous == 0) {
        platform::ReleaseSemaphore(Load(mHandle), 1, nullptr);
        Store(mIsLocked, false);
        return true;
    }
    for (;;) {
        if (platform::WaitForSingleObject(Load(mHandle), 0) != WAIT_OBJECT_0) return false;
        platform::ReleaseSemaphore(Load(mHandle), 1, &previous);  // a failure leaves `previous` as it was
        if (platform::WaitForSingleObject(Load(mHandle), 0) != WAIT_OBJECT_0) return false;
        if (previous <= 1) {
            Store(mIsLocked, false);
            return true;
        }
    }
}

Semaphore::operator bool() const { return Load(mHandle) != nullptr; }

const std::string& Semaphore::GetLastError() { return Message(); }

void Semaphore::Cleanup() {
    // Outside a handler, one section: a signal sees the unit and the handle
    // either before or after (the sweep stops sections, so it needs none).
    const bool inHandler = platform::InSignalHandler();
    std::uint32_t outer = 0;
    if (!inHandler && !platform::EnterSignalSection(outer)) return;  // a sweep under way cleans this object
    DWORD unlockError = ERROR_SUCCESS;
    if (Load(mUnlockOnCleanup) && Load(mIsLocked)) {
        if (platform::ReleaseSemaphore(Load(mHandle), 1, nullptr) != FALSE) {
            Store(mIsLocked, false);
        } else {
            unlockError = platform::GetLastError();
        }
    }
    HANDLE handle = Exchange(mHandle, nullptr);
    const bool closed = handle == nullptr || platform::CloseHandle(handle) != FALSE;
    const DWORD closeError = platform::GetLastError();
    if (!inHandler) platform::LeaveSignalSection(outer);
    if (unlockError != ERROR_SUCCESS) {
        platform::SetLastError(unlockError);
        ErrorEx("Unlock semaphore");
    }
    if (!closed) {
        platform::SetLastError(closeError);
        ErrorEx("Remove semaphore");
    }
}

void Semaphore::SemaphoreCleaner(int signal) {
    const int slot = SlotOf(signal);
    if (slot < 0) return;
    // A sweep on another thread is waited for, so that our re-raise cannot end
    // the process half way through it; if it does not end in time, this
    // signal goes on without a sweep of its own. (Every signal is blocked
    // while a handler runs, so a sweep never interrupts itself on one thread.)
    if (TakeSweepTurn()) {
        // Lock and Unlock calls under way on other threads end first, and no
        // new one starts: each object is seen holding its unit or not, never
        // half way. Past the time limit, it sweeps all the same.
        platform::StopSignalSections(kHandlerWaitMs);
        if (SweepList* list = gSweepList.load(std::memory_order_seq_cst)) {
            for (std::size_t i = 0; i < list->size; ++i) {
                Semaphore* object = list->objects[i].load(std::memory_order_seq_cst);
                if (object != nullptr && *object) object->Cleanup();
            }
        }
        platform::ResumeSignalSections();
        gSweeping.store(false, std::memory_order_seq_cst);
    }
    platform::signal(signal, gPreviousSignalHandlers[slot]);
    platform::raise(signal);
}

bool Semaphore::FormatErrorMessageEx(const char* operation) {
    const DWORD code = platform::GetLastError();
    try {
        std::string message = std::string(operation) + " error" + " : " + SystemText(code);
        if (message == Message()) return false;
        Message() = std::move(message);
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // out of memory: nothing stored, nothing shown
    }
}

void Semaphore::ShowError() const {
    char title[128];
    if (platform::GetConsoleTitleA(title, sizeof title) != 0) {
        std::cerr << std::endl << Message() << std::endl;
        return;
    }
    char path[128] = {};
    platform::GetModuleFileNameA(nullptr, path, sizeof path);
    path[sizeof path - 1] = '\0';  // some systems truncate without a terminator
    std::string caption = "Semaphore Error in module \"";
    caption += FileNameOf(path);
    caption += '"';
    platform::MessageBoxA(nullptr, Message().c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

void Semaphore::ErrorEx(const char* operation) {
    const DWORD code = platform::GetLastError();
    if (platform::InSignalHandler()) {
        ReportInSignalHandler(operation, code);
        return;
    }
    try {
        std::lock_guard<std::mutex> guard(gReportLock);
        platform::SetLastError(code);  // read again by FormatErrorMessageEx
        if (FormatErrorMessageEx(operation)) ShowError();
    } catch (const std::exception&) {
        // Reporting must never throw out of the library (out of memory for the
        // caption, a lock the system refuses); a forced unwinding passes.
    }
}
