#include "SampleWindowHandover.h"

#include <new>

SampleWindowHandover::~SampleWindowHandover() {
    // Every reader and the audio thread have finished when the view is destroyed.
    delete mCurrent.load(std::memory_order_acquire);
    for (Window*& retired : mRetired) {
        delete retired;
        retired = nullptr;
    }
}

SharedFloat* SampleWindowHandover::replace(std::int32_t size) {
    Window* const window = new (std::nothrow) Window;
    if (window == nullptr) {
        return nullptr;
    }
    window->samples.reset(new (std::nothrow) SharedFloat[size > 0 ? size : 1]());
    if (!window->samples) {
        delete window;
        return nullptr;
    }
    window->size = size;

    // Sequentially consistent with the reader's announcement: either the reader's
    // increment comes first and the count below sees it, or its load sees the new window.
    Window* const old = mCurrent.exchange(window, std::memory_order_seq_cst);
    if (old != nullptr) {
        int slot = 0;
        while (slot < kRetiredSlots && mRetired[slot] != nullptr) {
            ++slot;
        }
        if (slot < kRetiredSlots) {
            mRetired[slot] = old;
        }
        // With every slot taken (replacements faster than frames end, which a device never
        // does) the oldest array is left allocated rather than freed under a reader.
    }
    reclaimRetired();
    return window->samples.get();
}

void SampleWindowHandover::reclaimRetired() {
    // No reader inside now means none can still hold a retired window: any reader that
    // arrives from here on finds the current one.
    if (mReaders.load(std::memory_order_seq_cst) != 0) {
        return;
    }
    for (Window*& retired : mRetired) {
        delete retired;
        retired = nullptr;
    }
}

SampleWindowHandover::Reader::Reader(const SampleWindowHandover& handover) noexcept
    : mHandover(handover) {
    mHandover.mReaders.fetch_add(1, std::memory_order_seq_cst);
    mWindow = mHandover.mCurrent.load(std::memory_order_seq_cst);
}

SampleWindowHandover::Reader::~Reader() {
    // Release: this reader's loads happen before a free that sees the count drop.
    mHandover.mReaders.fetch_sub(1, std::memory_order_release);
}
