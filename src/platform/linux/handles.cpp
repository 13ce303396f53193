// Handle table, references and the last-error value of the Linux emulation.
// Depends on no kind of object: a kind's clean-up is in its own kind table
// (KindOps, handles.h).
//
// Data structure: a two-level table of slots (pages of 1024, allocated on first
// use, never freed; past 64 pages cut from huge-page blocks, like the object
// pools' memory), so a lookup is a bounds check and two loads, no lock. A
// slot holds its state word (generation << 1 | open) and the object pointer; a
// handle value is (generation << 32) | ((index + 1) << 2). Closing a handle
// advances the generation, so the old value fails with error 6 from then on,
// even after the slot is reused.
//
// Home slots (handles.h): whole pages reserved for one pool block, page by
// page beside a note of the objects they belong to (HomePage), so that the
// object of a handle in one is its page's first object + index * stride. They
// never join the free list: closing one leaves it closed until its own object
// is given a handle again.
//
// Lock order: the table lock is taken alone, never with an object's lock; a
// pool reserving home slots takes it under its own lock.
//
// Signal handlers: a handle closed inside one (CloseObjectHandleInSignalHandler)
// takes no lock. Its slot is closed with a compare-and-swap and pushed on a
// lock-free list, and an object whose last reference it held on another; both
// are taken back under the lock by the next Open outside a handler.
//
// Windows behaviours reproduced: handle values are never 0, -1 (the current
// process) or -2 (the current thread); an invalid, closed or forged handle gives
// error 6; closing twice fails with 6; creation sets the last error to 0.
// Deliberate gaps: no handle inheritance or access masks (named semaphores
// live in semaphores.cpp). DuplicateHandle lives with threads (threads.cpp):
// the calling thread's pseudo-handle is its one kind-specific case.
// Stricter than Windows: a closed value is never silently reused for a new
// object (until its slot's 31-bit generation wraps).
#include <sys/mman.h>

#include <cstdlib>
#include <iterator>
#include <new>

#include "handles.h"

namespace rvsys::platform::posix {

thread_local DWORD tlsLastError [[gnu::tls_model("initial-exec")]] = 0;

namespace {

// Each kind's table, by kind number; registered before the kind's first object.
constinit std::atomic<const KindOps*> gKinds[8] = {};

// Objects whose last reference went away inside a signal handler, linked
// through poolNext (written before the push publishes it).
std::atomic<KObject*> gRecycleLater{nullptr};

void RecycleDeferred();

struct Slot {
    std::atomic<std::uint64_t> word{0};  // generation << 1 | open; 0 before first use
    std::atomic<KObject*> object{nullptr};
    std::uint32_t nextFree = 0;  // guarded by the table lock
    std::atomic<std::uint32_t> nextClosedInHandler{0};
};

constexpr std::uint32_t kPageBits = 10;
constexpr std::uint32_t kPageSlots = 1u << kPageBits;
constexpr std::uint32_t kMaxPages = 1u << 16;
constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxGeneration = 0x7FFFFFFFu;
constexpr std::uint32_t kSmallPages = 64;  // 64k handles before pages come from huge blocks

// The objects a page of home slots belongs to; `first` is set last and never
// changes once set.
struct HomePage {
    std::atomic<char*> first{nullptr};  // the object of the page's slot 0; null: ordinary slots
    std::uint32_t count = 0;            // slots of the page that have an object
    std::uint16_t stride = 0;
    Kind kind{};
};

class HandleTable {
public:
    HANDLE Open(KObject* object) {
        InternalGuard guard(mLock);
        TakeBackClosedInHandlers();
        std::uint32_t index = object->homed ? HomeOf(object) : kNoSlot;
        Slot* slot = index == kNoSlot ? nullptr : SlotAt(index);
        if (slot != nullptr && (slot->word.load(std::memory_order_relaxed) & 1) != 0) {
            slot = nullptr;  // its home is open already: a second handle
        }
        if (slot == nullptr && mFreeHead != kNoSlot) {
            index = mFreeHead;
            slot = SlotAt(index);
            mFreeHead = slot->nextFree;
        } else if (slot == nullptr) {
            if (mFresh == mFreshEnd) {
                if (mNextPage == kMaxPages) {
                    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
                    return nullptr;
                }
                if (!EnsurePage(mNextPage)) {
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                    return nullptr;
                }
                mFresh = mNextPage++ << kPageBits;
                mFreshEnd = mFresh + kPageSlots;
            }
            index = mFresh++;
            slot = SlotAt(index);
        }
        std::uint64_t generation = slot->word.load(std::memory_order_relaxed) >> 1;
        if (generation == 0) generation = 1;
        AddRef(object);
        if (const KindOps& ops = OpsOf(object); ops.handleOpened != nullptr) ops.handleOpened(object);
        slot->object.store(object, std::memory_order_relaxed);
        slot->word.store(generation << 1 | 1, std::memory_order_release);
        return Encode(index, generation);
    }

    BOOL Close(HANDLE handle) {
        std::uint32_t index;
        std::uint64_t generation;
        if (!Decode(handle, index, generation)) return Invalid();
        KObject* object;
        {
            InternalGuard guard(mLock);
            Slot* slot = SlotAt(index);
            // A compare-and-swap: a signal handler may close the same slot without the lock.
            if (!CloseSlot(slot, generation)) return Invalid();
            object = slot->object.load(std::memory_order_relaxed);
            if (!IsHome(index)) {
                slot->nextFree = mFreeHead;
                mFreeHead = index;
            }
        }
        if (const KindOps& ops = OpsOf(object); ops.handleClosed != nullptr) ops.handleClosed(object);
        Release(object);
        return TRUE;
    }

    // Async-signal-safe: the slot joins the free list at the next Open.
    KObject* CloseInHandler(HANDLE handle) {
        std::uint32_t index;
        std::uint64_t generation;
        Slot* slot = Locate(handle, index, generation);
        if (slot == nullptr || !CloseSlot(slot, generation)) return InvalidObject();
        // Ours now: the slot is reused only once it is taken back by Open. A
        // home slot is not listed: its own object may take it again at once.
        KObject* object = slot->object.load(std::memory_order_relaxed);
        if (IsHome(index)) return object;
        std::uint32_t head = mClosedInHandlers.load(std::memory_order_relaxed);
        do {
            slot->nextClosedInHandler.store(head, std::memory_order_relaxed);
        } while (!mClosedInHandlers.compare_exchange_weak(head, index, std::memory_order_release,
                                                          std::memory_order_relaxed));
        return object;
    }

    // Lock-free: two loads of the slot word around the object load prove the
    // pointer belongs to this handle's generation.
    KObject* Peek(HANDLE handle, Slot** slotOut = nullptr, std::uint64_t* wordOut = nullptr) const {
        std::uint32_t index;
        std::uint64_t generation;
        Slot* slot = Locate(handle, index, generation);
        if (slot == nullptr) return InvalidObject();
        const std::uint64_t expected = generation << 1 | 1;
        if (slot->word.load(std::memory_order_acquire) != expected) return InvalidObject();
        KObject* object = slot->object.load(std::memory_order_acquire);
        if (slot->word.load(std::memory_order_acquire) != expected) return InvalidObject();
        if (slotOut != nullptr) *slotOut = slot;
        if (wordOut != nullptr) *wordOut = expected;
        return object;
    }

    KObject* Acquire(HANDLE handle) {
        Slot* slot;
        std::uint64_t word;
        KObject* object = Peek(handle, &slot, &word);
        if (object == nullptr) return nullptr;
        // Timers and threads span more than one cache line and their callers
        // go on past the first at once: start those misses now, since no later
        // load can overtake the locked count below.
        __builtin_prefetch(reinterpret_cast<char*>(object) + 64);
        __builtin_prefetch(reinterpret_cast<char*>(object) + 112);
        // The object's memory is type-stable, so counting it up is safe even if
        // it was recycled meanwhile; the re-check below rejects that case.
        std::uint32_t refs = object->refs.load(std::memory_order_relaxed);
        do {
            if (refs == 0) return InvalidObject();
        } while (!object->refs.compare_exchange_weak(refs, refs + 1, std::memory_order_acquire,
                                                     std::memory_order_relaxed));
        if (slot->word.load(std::memory_order_acquire) != word ||
            slot->object.load(std::memory_order_acquire) != object) {
            Release(object);
            return InvalidObject();
        }
        return object;
    }

    std::uint32_t ReserveHome(Kind kind, char* objects, std::uint32_t count, std::uint32_t stride) {
        InternalGuard guard(mLock);
        const std::uint32_t pages = (count + kPageSlots - 1) / kPageSlots;
        if (pages == 0 || stride > UINT16_MAX || pages > kMaxPages - mNextPage) return kNoHomeSlot;
        for (std::uint32_t page = mNextPage; page < mNextPage + pages; ++page) {
            if (!EnsurePage(page)) return kNoHomeSlot;  // the pages made serve later claims
        }
        const std::uint32_t firstPage = mNextPage;
        for (std::uint32_t i = 0; i < pages; ++i) {
            HomePage& home = mHome[firstPage + i];
            home.count = count - i * kPageSlots < kPageSlots ? count - i * kPageSlots : kPageSlots;
            home.stride = static_cast<std::uint16_t>(stride);
            home.kind = kind;
            home.first.store(objects + std::size_t{i} * kPageSlots * stride, std::memory_order_release);
        }
        mNextPage += pages;
        return firstPage << kPageBits;
    }

    KObject* LocateHome(HANDLE handle, Kind kind, const std::atomic<std::uint64_t>** word,
                        std::uint64_t* value) const {
        std::uint32_t index;
        std::uint64_t generation;
        if (!Decode(handle, index, generation)) return nullptr;
        const HomePage& home = mHome[index >> kPageBits];
        char* const first = home.first.load(std::memory_order_acquire);
        const std::uint32_t at = index & (kPageSlots - 1);
        if (first == nullptr || home.kind != kind || at >= home.count) return nullptr;
        // The page was made before `first` was published.
        *word = &mPages[index >> kPageBits].load(std::memory_order_relaxed)[at].word;
        *value = generation << 1 | 1;
        return reinterpret_cast<KObject*>(first + std::size_t{at} * home.stride);
    }

private:
    bool IsHome(std::uint32_t index) const {
        return mHome[index >> kPageBits].first.load(std::memory_order_relaxed) != nullptr;
    }

    // The home slot of a homed object: its pool block, found by masking its
    // address, says where the block's slots begin.
    static std::uint32_t HomeOf(const KObject* object) {
        const auto address = reinterpret_cast<std::uintptr_t>(object);
        const auto* block = reinterpret_cast<const PoolBlock*>(address & ~std::uintptr_t{kHugePage - 1});
        return block->homeFirst + static_cast<std::uint32_t>(
                                      (address - reinterpret_cast<std::uintptr_t>(block->objects)) / block->stride);
    }

    // Makes page `page` (called with the lock held); false when memory runs out.
    bool EnsurePage(std::uint32_t page) {
        std::atomic<Slot*>& entry = mPages[page];
        if (entry.load(std::memory_order_relaxed) != nullptr) return true;
        Slot* fresh = NewPage(page);
        if (fresh == nullptr) return false;
        entry.store(fresh, std::memory_order_release);
        return true;
    }

    // The slot a handle value points at, without looking at its state; null
    // for a value no handle can have.
    Slot* Locate(HANDLE handle, std::uint32_t& index, std::uint64_t& generation) const {
        if (!Decode(handle, index, generation)) return nullptr;
        Slot* page = mPages[index >> kPageBits].load(std::memory_order_acquire);
        return page == nullptr ? nullptr : &page[index & (kPageSlots - 1)];
    }

    static bool CloseSlot(Slot* slot, std::uint64_t generation) {
        std::uint64_t open = generation << 1 | 1;
        const std::uint64_t next = generation == kMaxGeneration ? 1 : generation + 1;
        return slot->word.compare_exchange_strong(open, next << 1, std::memory_order_acq_rel);
    }

    // Called with the lock held.
    void TakeBackClosedInHandlers() {
        if (mClosedInHandlers.load(std::memory_order_relaxed) == kNoSlot) return;
        std::uint32_t index = mClosedInHandlers.exchange(kNoSlot, std::memory_order_acquire);
        while (index != kNoSlot) {
            Slot* slot = SlotAt(index);
            const std::uint32_t next = slot->nextClosedInHandler.load(std::memory_order_relaxed);
            slot->nextFree = mFreeHead;
            mFreeHead = index;
            index = next;
        }
    }

    static HANDLE Encode(std::uint32_t index, std::uint64_t generation) {
        return reinterpret_cast<HANDLE>(
            static_cast<std::uintptr_t>(generation << 32 | std::uint64_t{index + 1} << 2));
    }

    bool Decode(HANDLE handle, std::uint32_t& index, std::uint64_t& generation) const {
        const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
        generation = value >> 32;
        const std::uint64_t low = value & 0xFFFFFFFFu;
        if ((low & 3) != 0 || low == 0 || generation == 0 || generation > kMaxGeneration) return false;
        index = static_cast<std::uint32_t>(low >> 2) - 1;
        return index < kMaxPages * kPageSlots;
    }

    Slot* SlotAt(std::uint32_t index) {
        return &mPages[index >> kPageBits].load(std::memory_order_acquire)[index & (kPageSlots - 1)];
    }

    // A page of fresh slots (called with the lock held). Past the first few
    // pages they are cut from 2 MiB blocks backed by a huge page where the
    // system allows, for the same reason as the object pools' large blocks.
    Slot* NewPage(std::uint32_t page) {
        constexpr std::size_t kPageBytes = sizeof(Slot) * kPageSlots;
        void* memory;
        if (page < kSmallPages) {
            memory = std::malloc(kPageBytes);
        } else {
            if (mBlockLeft < kPageBytes) {
                mBlock = static_cast<char*>(std::aligned_alloc(kHugePage, kHugePage));
                if (mBlock == nullptr) return nullptr;
                madvise(mBlock, kHugePage, MADV_HUGEPAGE);
                mBlockLeft = kHugePage;
            }
            memory = mBlock + (kHugePage - mBlockLeft);
            mBlockLeft -= kPageBytes;
        }
        if (memory == nullptr) return nullptr;
        auto* slots = static_cast<Slot*>(memory);
        for (std::uint32_t i = 0; i < kPageSlots; ++i) new (&slots[i]) Slot;
        return slots;
    }

    static BOOL Invalid() {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    static KObject* InvalidObject() {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }

    std::atomic<Slot*> mPages[kMaxPages] = {};
    HomePage mHome[kMaxPages] = {};
    InternalLock mLock;
    std::uint32_t mFreeHead = kNoSlot;
    std::uint32_t mNextPage = 0;  // pages below are ordinary or home pages
    std::uint32_t mFresh = 0;     // never-used slots of the latest ordinary page
    std::uint32_t mFreshEnd = 0;
    std::atomic<std::uint32_t> mClosedInHandlers{kNoSlot};
    char* mBlock = nullptr;  // the huge block pages are being cut from (kept: pages live for ever)
    std::size_t mBlockLeft = 0;
};

static_assert(sizeof(void*) == 8, "handle values need 64-bit pointers");

// Constant-initialised (no guard on the lookup path) and trivially
// destructible, so it outlives every thread.
constinit HandleTable gTable;
HandleTable& Table() { return gTable; }

void RecycleDeferred() {
    if (gRecycleLater.load(std::memory_order_relaxed) == nullptr) return;
    KObject* object = gRecycleLater.exchange(nullptr, std::memory_order_acquire);
    while (object != nullptr) {
        KObject* next = object->poolNext;
        object->poolNext = nullptr;
        OpsOf(object).recycle(object);
        object = next;
    }
}

}  // namespace

void RegisterKind(Kind kind, const KindOps* ops) {
    RVSYS_DCHECK(static_cast<std::size_t>(kind) < std::size(gKinds));
    gKinds[static_cast<std::size_t>(kind)].store(ops, std::memory_order_release);
}

const KindOps& OpsOf(const KObject* object) {
    const KindOps* ops = gKinds[static_cast<std::size_t>(object->kind)].load(std::memory_order_acquire);
    RVSYS_DCHECK(ops != nullptr);
    return *ops;
}

void AddRef(KObject* object) {
    // Only a holder may count up: from 0 the object may already be recycled.
    [[maybe_unused]] const std::uint32_t before = object->refs.fetch_add(1, std::memory_order_relaxed);
    RVSYS_DCHECK(before != 0);
}

void Release(KObject* object) {
    const std::uint32_t before = object->refs.fetch_sub(1, std::memory_order_acq_rel);
    RVSYS_DCHECK(before != 0);
    if (before == 1) OpsOf(object).recycle(object);
}

HANDLE PublishObject(KObject* object, DWORD success) {
    HANDLE handle = OpenHandle(object);
    Release(object);
    if (handle != nullptr) SetLastError(success);
    return handle;
}

HANDLE OpenHandle(KObject* object) {
    RecycleDeferred();
    return Table().Open(object);
}
BOOL CloseObjectHandle(HANDLE handle) { return Table().Close(handle); }
KObject* PeekHandle(HANDLE handle) { return Table().Peek(handle); }
KObject* AcquireHandle(HANDLE handle) { return Table().Acquire(handle); }

KObject* PeekHandleSlot(HANDLE handle, const std::atomic<std::uint64_t>** word, std::uint64_t* value) {
    Slot* slot = nullptr;
    KObject* object = Table().Peek(handle, &slot, value);
    if (object != nullptr) *word = &slot->word;
    return object;
}

std::uint32_t ReserveHomeSlots(Kind kind, char* objects, std::uint32_t count, std::uint32_t stride) {
    return Table().ReserveHome(kind, objects, count, stride);
}

KObject* LocateHomeSlot(HANDLE handle, Kind kind, const std::atomic<std::uint64_t>** word, std::uint64_t* value) {
    return Table().LocateHome(handle, kind, word, value);
}

BOOL CloseObjectHandleInSignalHandler(HANDLE handle) {
    KObject* object = Table().CloseInHandler(handle);
    if (object == nullptr) return FALSE;
    if (const KindOps& ops = OpsOf(object); ops.handleClosed != nullptr) ops.handleClosed(object);
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return TRUE;
    KObject* head = gRecycleLater.load(std::memory_order_relaxed);
    do {
        object->poolNext = head;
    } while (
        !gRecycleLater.compare_exchange_weak(head, object, std::memory_order_release, std::memory_order_relaxed));
    return TRUE;
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

DWORD GetLastError() { return tlsLastError; }
void SetLastError(DWORD error) { tlsLastError = error; }

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

BOOL CloseHandle(HANDLE handle) {
    // Closing a pseudo-handle has no effect.
    if (handle == kCurrentProcess || handle == kCurrentThread) return TRUE;
    if (InSignalHandler()) return CloseObjectHandleInSignalHandler(handle);
    return CloseObjectHandle(handle);
}

}  // namespace rvsys::platform
