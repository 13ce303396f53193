// Kernel objects' common base, their pools and references, and the handle table
// that names them. Private to platform/linux; every kind of object builds on it
// and it depends on no kind.
//
// Memory: every kernel object lives in a type-stable pool. Its memory is never
// returned to the allocator, only reused for an object of the same kind, so a
// stale pointer read from the handle table can never reach freed memory: at
// worst it reaches a newer object of the same kind, which is what a closed and
// reused handle value does on Windows too. This lets the hot calls (SetEvent,
// ResetEvent, a wait on a signalled event) resolve a handle with plain loads.
//
// Home slots: a kind whose calls must stay fast among hundreds of thousands
// of objects (timers) gives each object of its large pool blocks a handle slot
// of its own, reserved with the block. The handle of such an object then
// locates the object by arithmetic (LocateHomeSlot), so the lookup's two
// dependent cache misses (the slot, then the object it points to) become two
// independent ones. A home slot only ever holds its own object; a second
// handle to the object, or a first while the home slot is open, takes an
// ordinary slot.
//
// Clean-up: each kind has a table (KindOps) with its finisher (undo what the
// kind holds, then give the memory back to its pool) and, if it counts handles,
// its handle hooks; the pool registers it under the kind's number before the
// first object is made. The handle table calls only these. (Plain function
// pointers looked up by kind rather than virtual functions: the objects' memory
// is reused without destruction, and a process may hold a million timers, so
// no object carries a pointer to its table.)
#ifndef RVSYS_PLATFORM_LINUX_HANDLES_H
#define RVSYS_PLATFORM_LINUX_HANDLES_H

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "../platform.h"
#include "dcheck.h"
#include "internal_lock.h"

namespace rvsys::platform::posix {

// Pseudo-handles: never the value of a real handle.
inline HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
inline HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

enum class Kind : std::uint8_t { Event = 1, Thread = 2, Timer = 3, Semaphore = 4 };

struct KObject;

// What a kind does at the ends of its objects' lives, registered by the kind.
struct KindOps {
    // The last reference is gone: releases what the object holds and gives its
    // memory back to its pool. Runs outside signal handlers.
    void (*recycle)(KObject* object);
    // A handle to the object was opened or closed (null: nothing to do). The
    // closing hook may run inside a signal handler: async-signal-safe.
    void (*handleOpened)(KObject* object);
    void (*handleClosed)(KObject* object);
};

void RegisterKind(Kind kind, const KindOps* ops);
const KindOps& OpsOf(const KObject* object);

// Field order keeps every object small (a process may hold a million timers):
// the pointer first, so a derived class's first small field fills the tail.
struct KObject {
    explicit KObject(Kind k) : kind(k) {}
    KObject(const KObject&) = delete;
    KObject& operator=(const KObject&) = delete;

    KObject* poolNext = nullptr;  // free-list link, used only while recycled
    // References: one per open handle, one per wait in progress, one for a
    // running thread's hold on its own object. The last release recycles it.
    std::atomic<std::uint32_t> refs{0};
    const Kind kind;
    bool homed = false;  // has a home slot (set by its pool before first use)

protected:
    ~KObject() = default;  // pooled: never destroyed
};

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The head of every pool block. A large block is aligned to its size, so an
// object of it finds its block by masking its address.
struct PoolBlock {
    PoolBlock* next;  // keeps every block reachable
    char* objects;
    std::uint32_t stride;     // sizeof the kind
    std::uint32_t homeFirst;  // slot index of the first object's home (homed objects only)
};

inline constexpr std::uint32_t kNoHomeSlot = UINT32_MAX;

// Reserves a run of home slots for `count` objects of `kind` laid out from
// `objects` every `stride` bytes: the first slot's index, or kNoHomeSlot when
// the table is full or out of memory (the objects then use ordinary slots).
// Called by a pool growing under its lock: the table lock is taken after it.
std::uint32_t ReserveHomeSlots(Kind kind, char* objects, std::uint32_t count, std::uint32_t stride);

// Type-stable storage for one kind T (with T::kKind and T::kOps): blocks are
// never freed, objects only recycled. Immortal, since threads may still release
// objects while static destructors run. A pool grows by small blocks while it
// is small, then by 2 MiB blocks aligned to a huge page and advised to be
// backed by one: a program with hundreds of thousands of timers reaches them
// in random order, and with 4 KiB pages each of those accesses missed the TLB
// as well as the cache. The large blocks start only once the pool holds about
// as much, so they add little to its size. A kind with T::kHomeSlots gives the
// objects of its large blocks home slots (above).
template <class T>
class Pool {
public:
    static Pool& Of() {
        static auto* pool = [] {
            RegisterKind(T::kKind, &T::kOps);  // before its first object
            return new Pool;
        }();
        return *pool;
    }

    // refs == 1, or null when memory runs out.
    T* Alloc() {
        T* object;
        {
            InternalGuard guard(mLock);
            if (mFree == nullptr && !Grow()) return nullptr;
            object = static_cast<T*>(mFree);
            mFree = object->poolNext;
        }
        object->poolNext = nullptr;
        RVSYS_DCHECK(object->refs.load(std::memory_order_relaxed) == 0);
        object->refs.store(1, std::memory_order_relaxed);
        return object;
    }

    void Free(T* object) {
        InternalGuard guard(mLock);
        object->poolNext = mFree;
        mFree = object;
    }

private:
    static constexpr std::size_t kSmallObjects = 64;
    using Block = PoolBlock;
    static constexpr std::size_t ObjectsOffset() {
        return (sizeof(Block) + alignof(T) - 1) / alignof(T) * alignof(T);
    }

    bool Grow() {
        const bool huge = mObjects * sizeof(T) >= kHugePage;
        const std::size_t bytes = huge ? kHugePage : ObjectsOffset() + kSmallObjects * sizeof(T);
        void* memory = huge ? std::aligned_alloc(kHugePage, kHugePage) : std::malloc(bytes);
        if (memory == nullptr) return false;
        if (huge) madvise(memory, kHugePage, MADV_HUGEPAGE);  // a hint: 4 KiB pages still work
        auto* block = static_cast<Block*>(memory);
        block->next = mBlocks;
        mBlocks = block;
        const std::size_t count = (bytes - ObjectsOffset()) / sizeof(T);
        T* objects = reinterpret_cast<T*>(static_cast<char*>(memory) + ObjectsOffset());
        block->objects = reinterpret_cast<char*>(objects);
        block->stride = sizeof(T);
        block->homeFirst = kNoHomeSlot;
        if constexpr (requires { T::kHomeSlots; }) {
            if (huge) {
                block->homeFirst = ReserveHomeSlots(T::kKind, block->objects, static_cast<std::uint32_t>(count),
                                                    static_cast<std::uint32_t>(sizeof(T)));
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            T* object = new (&objects[i]) T;
            object->homed = block->homeFirst != kNoHomeSlot;
            object->poolNext = mFree;
            mFree = object;
        }
        mObjects += count;
        return true;
    }

    InternalLock mLock;
    KObject* mFree = nullptr;
    Block* mBlocks = nullptr;
    std::size_t mObjects = 0;
};

// A finisher for kinds that hold nothing beyond their memory.
template <class T>
void ReturnToPool(KObject* object) {
    Pool<T>::Of().Free(static_cast<T*>(object));
}

void AddRef(KObject* object);
void Release(KObject* object);

// A counted reference held for the duration of a call.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* object) : mObject(object) {}  // adopts a reference
    Ref(Ref&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    Ref& operator=(Ref&&) = delete;
    ~Ref() {
        if (mObject) Release(mObject);
    }
    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    explicit operator bool() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};

// ---- Handle table ------------------------------------------------------------
// A handle encodes a slot and its generation: a closed or forged handle fails
// with error 6 instead of reaching another object. Never 0, -1 or -2.
HANDLE OpenHandle(KObject* object);     // takes a new reference; null + error when full
BOOL CloseObjectHandle(HANDLE handle);  // error 6 when not open
KObject* PeekHandle(HANDLE handle);     // no reference; null + error 6
KObject* AcquireHandle(HANDLE handle);  // with a reference; null + error 6
// PeekHandle that also gives the slot's state word and the value it holds for
// this handle: while it holds that value, the handle still names the object.
KObject* PeekHandleSlot(HANDLE handle, const std::atomic<std::uint64_t>** word, std::uint64_t* value);
// For a handle in a home slot of `kind`: its object, computed from the value
// alone, and the slot's state word and the value it holds while the handle is
// open. Neither is loaded: the caller checks the word before trusting the
// object. Null for every other handle (ask PeekHandleSlot), and sets no error.
KObject* LocateHomeSlot(HANDLE handle, Kind kind, const std::atomic<std::uint64_t>** word, std::uint64_t* value);
// CloseHandle inside a signal handler: no lock, no allocation. The slot is
// closed at once; its reuse, and the recycling of an object whose last
// reference this was, wait for the next handle to be opened outside a handler.
BOOL CloseObjectHandleInSignalHandler(HANDLE handle);

// The first handle of a new object whose reference the caller holds: that
// reference goes, and on success the last error becomes `success`.
HANDLE PublishObject(KObject* object, DWORD success);

// The body of the Create*A calls of unnamed kinds: refuses a name (the library
// uses none), allocates, lets `init` set the object up, publishes it.
template <class T, class Init>
HANDLE CreateUnnamed(LPCSTR name, Init&& init) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    T* object = Pool<T>::Of().Alloc();
    if (object == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    init(object);
    return PublishObject(object, ERROR_SUCCESS);
}

template <class T>
T* Peek(HANDLE handle, Kind kind) {
    KObject* object = PeekHandle(handle);
    if (object == nullptr) return nullptr;
    if (object->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<T*>(object);
}

// AcquireHandle of an object of one kind; null + error 6 for another kind.
template <class T>
Ref<T> AcquireKind(HANDLE handle, Kind kind) {
    KObject* object = AcquireHandle(handle);
    if (object == nullptr) return Ref<T>();
    if (object->kind != kind) {
        Release(object);
        SetLastError(ERROR_INVALID_HANDLE);
        return Ref<T>();
    }
    return Ref<T>(static_cast<T*>(object));
}

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_HANDLES_H
