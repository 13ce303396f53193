// Atomic access to plain data members of the exported classes, whose layout
// the public headers fix: used where another thread (or a signal handler) may
// touch the member at the same time.
#ifndef RVSYS_THREADS_ATOMIC_FIELD_H
#define RVSYS_THREADS_ATOMIC_FIELD_H

#include <atomic>
#include <type_traits>

namespace rvsys::detail {

template <class T>
T Load(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <class T>
void Store(T& field, std::type_identity_t<T> value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

template <class T>
T Exchange(T& field, std::type_identity_t<T> value) {
    return std::atomic_ref<T>(field).exchange(value, std::memory_order_acq_rel);
}

}  // namespace rvsys::detail

#endif  // RVSYS_THREADS_ATOMIC_FIELD_H
