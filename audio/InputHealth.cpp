#include "InputHealth.h"

#include <algorithm>
#include <cmath>

void InputHealth::note(double seconds, std::uint32_t frames, bool restart) {
    if (restart) {
        mFloor.reset();
        mDelivered = 0.0;
        ++mStream;
        mPaused = false;
    } else if (seconds - mLastArrival.load(std::memory_order_relaxed) > kLongestPauseSeconds) {
        mPaused = true;
    }
    mLastArrival.store(seconds, std::memory_order_relaxed);
    // The arrival that closes a window opens the next: a device that delivers a block a
    // second then shows each second's loss as a step of its own, not two as one.
    const bool closed = mFloor.note(seconds, mDelivered, true);
    mOpenFloor.store(mFloor.openFloor(), std::memory_order_relaxed);
    if (closed) {
        if (!mPaused) {
            mSpread.store(mFloor.closedSpread(), std::memory_order_relaxed);
        }
        mPaused = false;
        const std::uint64_t closed = mClosed.load(std::memory_order_relaxed);
        Window& window = mWindows[closed % kWindows];
        window.seconds.store(seconds, std::memory_order_relaxed);
        window.floor.store(mFloor.closedFloor(), std::memory_order_relaxed);
        window.stream.store(mStream, std::memory_order_relaxed);
        mClosed.store(closed + 1, std::memory_order_release);
    }
    mDelivered += frames;
}

InputHealth::Assessment InputHealth::assess(double seconds) const {
    Assessment result;
    const std::uint64_t closed = mClosed.load(std::memory_order_acquire);
    if (closed == 0) {
        return result;
    }
    const Window& last = mWindows[(closed - 1) % kWindows];
    const std::uint32_t stream = last.stream.load(std::memory_order_relaxed);
    const double lastArrival = mLastArrival.load(std::memory_order_relaxed);
    const double end = std::max(seconds, lastArrival);
    // Windows close only on arrivals: a device that stood still since the last one for
    // longer than a healthy one pauses has missed that time too, in one more step.
    const double newest = last.floor.load(std::memory_order_relaxed);
    const double trailing =
        std::max(0.0, end - lastArrival - kLongestPauseSeconds) * tuner::kSampleRate;
    // The window still open shows frames missing before it closes (the one before it may
    // hold arrivals from before a stall); a healthy burst can raise it too, as far as a
    // burst spreads its blocks' lags (the open window may so far hold only a burst's first
    // blocks), so only what it rose beyond that counts towards failing, and none of it
    // against clean.
    const double openFloor = mOpenFloor.load(std::memory_order_relaxed);
    const double spread = mSpread.load(std::memory_order_relaxed);
    const double open = std::isinf(openFloor) ? 0.0 : std::max(0.0, openFloor - newest - spread);
    double later = newest;
    double biggestStep = std::max(trailing, open);
    // From the newest window back to the first one at least a span old, within one stream.
    for (std::uint64_t back = 2; back <= std::min<std::uint64_t>(closed, kWindows - 8); ++back) {
        const Window& window = mWindows[(closed - back) % kWindows];
        if (window.stream.load(std::memory_order_relaxed) != stream) {
            return result;
        }
        const double floor = window.floor.load(std::memory_order_relaxed);
        biggestStep = std::max(biggestStep, later - floor);
        later = floor;
        const double span = end - window.seconds.load(std::memory_order_relaxed);
        if (span >= kSpanSeconds) {
            const double frames = span * tuner::kSampleRate;
            const double missing = std::max(0.0, newest - floor) + trailing;
            const double missingSoFar = missing + open;
            const double share = std::min(missingSoFar / frames, 1.0);
            result.known = true;
            result.delivered = 1.0 - share;
            result.failing = share >= kSpreadMissing && biggestStep <= kLargestStep * missingSoFar;
            result.clean = missing / frames < kCleanMissing;
            return result;
        }
    }
    return result;
}
