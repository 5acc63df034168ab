#include "NSView.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
NSView* gFocusView = nullptr; // main thread only
} // namespace

NSView::NSView(NSRect frame)
    : mFrame(frame), mWidth(std::max(toInt32(frame.size.width), 0)),
      mHeight(std::max(toInt32(frame.size.height), 0)), mPicture(mWidth, mHeight) {}

NSView::~NSView() {
    if (gFocusView == this) {
        gFocusView = nullptr;
    }
    if (const int wakeUp = mWakeUp.load(std::memory_order_relaxed); wakeUp >= 0) {
        close(wakeUp);
    }
}

void NSView::setNeedsDisplay(bool flag) noexcept {
    if (!flag) {
        mNeedsDisplay.store(false, std::memory_order_release);
        return;
    }
    if (mNeedsDisplay.exchange(true, std::memory_order_acq_rel)) {
        return; // the main loop has been woken for this one already
    }
    if (const int wakeUp = mWakeUp.load(std::memory_order_acquire); wakeUp >= 0) {
        const std::uint64_t one = 1;
        // Never blocks: a non-blocking eventfd refuses only a write that would overflow
        // its counter, which one write per taken request cannot come near.
        [[maybe_unused]] const ssize_t written = write(wakeUp, &one, sizeof one);
    }
}

int NSView::redrawWakeUp() {
    int wakeUp = mWakeUp.load(std::memory_order_relaxed);
    if (wakeUp < 0) {
        wakeUp = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        mWakeUp.store(wakeUp, std::memory_order_release);
    }
    return wakeUp;
}

void NSView::drainRedrawWakeUp() noexcept {
    if (const int wakeUp = mWakeUp.load(std::memory_order_relaxed); wakeUp >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = read(wakeUp, &count, sizeof count);
    }
}

NSRect NSView::bounds() const {
    return NSMakeRect(0.0f, 0.0f, static_cast<float>(mWidth), static_cast<float>(mHeight));
}

bool NSView::setBackingScaleFactor(int scale) {
    scale = std::clamp(scale, 1, kMaximumBackingScaleFactor);
    if (scale == mScale) {
        return true;
    }
    if (mWidth > std::numeric_limits<int>::max() / scale ||
        mHeight > std::numeric_limits<int>::max() / scale) {
        return false;
    }
    try {
        mPicture = RgbPicture(mWidth * scale, mHeight * scale);
    } catch (const std::bad_alloc&) {
        return false;
    }
    mScale = scale;
    viewDidChangeBackingProperties();
    return true;
}

void NSView::display() {
    NSView* const previous = gFocusView;
    gFocusView = this;
    drawRect(bounds());
    gFocusView = previous;
}

NSView* NSView::focusView() {
    return gFocusView;
}

void NSView::drawRect(NSRect) {}

void NSView::mouseUp(const NSEvent&) {}

void NSView::viewDidChangeBackingProperties() {}
