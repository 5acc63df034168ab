#include "InputHealth.h"

#include <algorithm>

void InputHealth::note(double seconds, std::uint32_t frames, bool restart) {
    if (restart) {
        mFloor.reset();
        mDelivered = 0.0;
        ++mStream;
    }
    if (mFloor.note(seconds, mDelivered)) {
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
    const double lastArrival = last.seconds.load(std::memory_order_relaxed);
    const double end = std::max(seconds, lastArrival);
    // Windows close only on arrivals: a device that stood still since the last one has
    // missed that time too, in one more step.
    const double newest = last.floor.load(std::memory_order_relaxed);
    const double trailing = (end - lastArrival) * tuner::kSampleRate;
    double later = newest;
    double biggestStep = trailing;
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
            const double missing = std::max(0.0, newest - floor) + trailing;
            const double share = std::min(missing / (span * tuner::kSampleRate), 1.0);
            result.known = true;
            result.delivered = 1.0 - share;
            result.failing = share >= kSpreadMissing && biggestStep <= kLargestStep * missing;
            result.clean = share < kCleanMissing;
            return result;
        }
    }
    return result;
}
