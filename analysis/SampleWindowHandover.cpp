#include "SampleWindowHandover.h"

#include <new>

namespace {

template <class Window> void freeRetired(Window*& list) {
    while (list != nullptr) {
        Window* const next = list->nextRetired;
        delete list;
        list = next;
    }
}

} // namespace

SampleWindowHandover::~SampleWindowHandover() {
    // Every reader and the audio thread have finished when the view is destroyed.
    delete mCurrent.load(std::memory_order_acquire);
    freeRetired(mRetired);
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
        // Linking costs no allocation, so however often the block length changes while
        // frames are drawn, every replaced array is kept and later freed.
        old->nextRetired = mRetired;
        mRetired = old;
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
    freeRetired(mRetired);
}

std::int32_t SampleWindowHandover::retiredCount() const noexcept {
    std::int32_t count = 0;
    for (const Window* window = mRetired; window != nullptr; window = window->nextRetired) {
        ++count;
    }
    return count;
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
