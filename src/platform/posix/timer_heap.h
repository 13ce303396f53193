// The timer service's heap (timers.cpp), in a header of its own so that the
// benchmarks measure the service against this very heap rather than a copy.
#ifndef RVSYS_PLATFORM_POSIX_TIMER_HEAP_H
#define RVSYS_PLATFORM_POSIX_TIMER_HEAP_H

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

#include "objects.h"

namespace rvsys::platform::posix {

// An indexed 4-ary min-heap of nodes by due time. Storage grows by doubling
// and never throws: a failed growth fails the arming with error 8.
class NodeHeap {
public:
    NodeHeap() = default;
    NodeHeap(const NodeHeap&) = delete;
    NodeHeap& operator=(const NodeHeap&) = delete;
    ~NodeHeap() { std::free(mEntries); }

    bool Empty() const { return mSize == 0; }
    HeapNode* Top() const { return mSize == 0 ? nullptr : mEntries[0].node; }
    std::int64_t TopDue() const { return mSize == 0 ? INT64_MAX : mEntries[0].due; }  // INT64_MAX: empty

    bool Push(HeapNode* node) {
        if (mSize == mCapacity && !Grow()) return false;
        mEntries[mSize] = {node->due, node};
        node->index = mSize++;
        SiftUp(node->index);
        return true;
    }

    void Remove(HeapNode* node) {
        const std::uint32_t index = node->index;
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

#endif  // RVSYS_PLATFORM_POSIX_TIMER_HEAP_H
