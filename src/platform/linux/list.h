// An intrusive doubly linked FIFO: the waiters of an object, a thread's queued
// calls, the timers a thread armed with a routine. A member is a T deriving
// from ListNode<T> (two pointers, no flag: objects a process may hold a million
// of stay small); it is on at most one such list at a time, and costs no
// allocation to link, so linking never fails. Not thread-safe: each list is
// guarded by its owner's lock.
#ifndef RVSYS_PLATFORM_LINUX_LIST_H
#define RVSYS_PLATFORM_LINUX_LIST_H

#include "dcheck.h"

namespace rvsys::platform::posix {

template <class T>
struct ListNode {
    T* next = nullptr;
    T* prev = nullptr;
};

template <class T>
class IntrusiveList {
public:
    bool Empty() const { return mHead == nullptr; }
    T* Front() const { return mHead; }
    // Whether `item`, which is on this list or on none, is on this one.
    bool Contains(T* item) const { return Node(item).prev != nullptr || mHead == item; }

    void PushBack(T* item) {
        ListNode<T>& node = *item;
        RVSYS_DCHECK(node.next == nullptr && node.prev == nullptr && mHead != item);
        node.next = nullptr;
        node.prev = mTail;
        if (mTail != nullptr) {
            Node(mTail).next = item;
        } else {
            mHead = item;
        }
        mTail = item;
    }

    // `item` must be on this list.
    void Remove(T* item) {
        ListNode<T>& node = *item;
        RVSYS_DCHECK(node.prev != nullptr ? Node(node.prev).next == item : mHead == item);
        RVSYS_DCHECK(node.next != nullptr ? Node(node.next).prev == item : mTail == item);
        if (node.prev != nullptr) {
            Node(node.prev).next = node.next;
        } else {
            mHead = node.next;
        }
        if (node.next != nullptr) {
            Node(node.next).prev = node.prev;
        } else {
            mTail = node.prev;
        }
        node.next = node.prev = nullptr;
    }

    T* PopFront() {
        T* item = mHead;
        if (item != nullptr) Remove(item);
        return item;
    }

    // For a pooled owner taken into use again: its list was left empty.
    void Reset() {
        RVSYS_DCHECK(Empty());
        mHead = mTail = nullptr;
    }

private:
    static ListNode<T>& Node(T* item) { return *item; }
    static const ListNode<T>& Node(const T* item) { return *item; }

    T* mHead = nullptr;
    T* mTail = nullptr;
};

}  // namespace rvsys::platform::posix

#endif  // RVSYS_PLATFORM_LINUX_LIST_H
