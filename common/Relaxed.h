#pragma once

#include <atomic>

// A value shared between the audio thread and the main thread, read and written whole
// with relaxed ordering: each side sees some recent value, never a torn one. Reads and
// writes look like those of a plain field. Each field has one writer at a time, so a
// read followed by a write (x = x + 1) needs no atomic read-modify-write.
template <class T>
class Relaxed {
public:
    constexpr Relaxed(T value = T{}) noexcept : mValue(value) {}
    Relaxed(const Relaxed&) = delete;
    Relaxed& operator=(const Relaxed&) = delete;

    operator T() const noexcept { return mValue.load(std::memory_order_relaxed); }
    T load() const noexcept { return mValue.load(std::memory_order_relaxed); }
    Relaxed& operator=(T value) noexcept {
        mValue.store(value, std::memory_order_relaxed);
        return *this;
    }

private:
    std::atomic<T> mValue;
    static_assert(std::atomic<T>::is_always_lock_free, "shared tuner fields must be lock-free");
};
