// The timer service's heap: an indexed 4-ary min-heap of nodes by due time.
// Self-contained, so that the benchmarks measure the service against this very
// heap rather than a copy. Private to platform/linux.
//
// Each node records its position, so removing any node is O(log n). The due
// time is copied into the heap's array, so comparisons never leave it. Storage
// grows by doubling and never throws: a failed growth is a false Push (the
// arming then fails with error 8).
#ifndef RVSYS_PLATFORM_LINUX_TIMER_HEAP_H
#define RVSYS_PLATFORM_LINUX_TIMER_HEAP_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dcheck.h"

namespace rvsys::platform::posix {

// A node of a heap: a timer, or the stand-in for the earliest of a thread's own
// timers (timer_service.cpp). Both derive from it, so the heap reaches the item
// with a cast instead of a pointer per node.
struct HeapNode {
    std::int64_t due = 0;  // nanoseconds on the heap's clock
    std::uint32_t index = 0;
    bool standIn = false;  // the node is the stand-in, not a TimerObj
};

class NodeHeap {
public:
    static constexpr std::int64_t kEmpty = INT64_MAX;  // TopDue of an empty heap

    NodeHeap() = default;
    NodeHeap(const NodeHeap&) = delete;
    NodeHeap& operator=(const NodeHeap&) = delete;
    ~NodeHeap() { std::free(mEntries); }

    bool Empty() const { return mSize == 0; }
    std::uint32_t Size() const { return mSize; }
    HeapNode* Top() const { return mSize == 0 ? nullptr : mEntries[0].node; }
    std::int64_t TopDue() const { return mSize == 0 ? kEmpty : mEntries[0].due; }

    // False when memory runs out; the node is then not in the heap.
    bool Push(HeapNode* node) {
        if (mSize == mCapacity && !Grow()) return false;
        mEntries[mSize] = {node->due, node};
        node->index = mSize++;
        SiftUp(node->index);
        return true;
    }

    // `node` must be in this heap.
    void Remove(HeapNode* node) {
        const std::uint32_t index = node->index;
        RVSYS_DCHECK(index < mSize && mEntries[index].node == node);
        --mSize;
        if (index != mSize) {
            Place(index, mEntries[mSize]);
            if (index > 0 && mEntries[index].due < mEntries[Parent(index)].due) {
                SiftUp(index);
            } else {
                SiftDown(index);
            }
        }
    }

private:
    struct Entry {
        std::int64_t due;  // a copy of node->due, so comparisons stay in this array
        HeapNode* node;
    };
    static std::uint32_t Parent(std::uint32_t index) { return (index - 1) / 4; }

    void Place(std::uint32_t index, const Entry& entry) {
        RVSYS_DCHECK(index < mSize);
        mEntries[index] = entry;
        entry.node->index = index;
    }

    void SiftUp(std::uint32_t index) {
        const Entry moving = mEntries[index];
        while (index > 0) {
            const std::uint32_t parent = Parent(index);
            if (mEntries[parent].due <= moving.due) break;
            Place(index, mEntries[parent]);
            index = parent;
        }
        Place(index, moving);
    }

    void SiftDown(std::uint32_t index) {
        const Entry moving = mEntries[index];
        for (;;) {
            const std::uint32_t first = index * 4 + 1;
            if (first >= mSize) break;
            std::uint32_t best = first;
            const std::uint32_t end = first + 4 < mSize ? first + 4 : mSize;
            for (std::uint32_t child = first + 1; child < end; ++child) {
                if (mEntries[child].due < mEntries[best].due) best = child;
            }
            if (mEntries[best].due >= moving.due) break;
            Place(index, mEntries[best]);
            index = best;
        }
        Place(index, moving);
    }

    bool Grow() {
        const std::uint32_t capacity = mCapacity == 0 ? 64 : mCapacity * 2;
        void* grown = std::realloc(mEntries, sizeof(Entry) * capacity);
        if (grown == nullptr) return false;
        mEntries = static_cast<Entry*>(grown);
        mCapacity = capacity;
        // Cancelling reaches a random place: past a few MiB, huge pages save
        // those accesses a TLB miss each (a hint; the range need not be aligned).
        constexpr std::size_t kPageBytes = 4096;
        constexpr std::size_t kHugeHeapBytes = std::size_t{4} << 20;
        const std::size_t bytes = sizeof(Entry) * capacity;
        if (bytes >= kHugeHeapBytes) {
            const auto start = (reinterpret_cast<std::uintptr_t>(grown) + kPageBytes - 1) & ~(kPageBytes - 1);
            const auto end = (reinterpret_cast<std::uintptr_t>(grown) + bytes) & ~(kPageBytes - 1);
            if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
        }
        return true;
    }

    Entry* mEntries = nullptr;
    std::uint32_t mSize = 0;
    std::uint32_t mCapacity = 0;
};

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_TIMER_HEAP_H
