// SoundView's volume and peak flags of the analysis window.
#include "SoundView.h"

#include <cstdint>

void SoundView::getVolume() {
    const SharedFloat* const s = mSampleBuffer;
    const std::int32_t n = s != nullptr ? mSampleBufferSize.load() : 0;

    // The volume is the largest signed sample. NaN samples take no part: one at the start
    // would otherwise stand as the volume of the whole window. A window with no number in
    // it has no measurable volume.
    std::int32_t i = 0;
    while (i < n && s[i].load(std::memory_order_relaxed) != s[i].load(std::memory_order_relaxed)) {
        ++i;
    }
    float v = -1.0f;
    if (i < n) {
        v = s[i].load(std::memory_order_relaxed);
        for (++i; i < n; ++i) {
            const float x = s[i].load(std::memory_order_relaxed);
            if (x > v) {
                v = x;
            }
        }
    }

    mLastVolume = mCurrentVolume.load();
    mCurrentVolume = v;
    if (v > mHighestVolume && v < 10.0f) {
        mHighestVolume = v;
    }
}

void SoundView::getPeaks() {
    const SharedFloat* const s = mSampleBuffer;
    std::int32_t* const peaks = mPeaks;
    const std::int32_t n = (s != nullptr && peaks != nullptr) ? mSampleBufferSize.load() : 0;
    if (n <= 2) {
        return;
    }
    const double threshold = 0.8 * static_cast<double>(mCurrentVolume.load());

    float before = s[0].load(std::memory_order_relaxed);
    float peak = s[1].load(std::memory_order_relaxed);
    for (std::int32_t i = 2; i < n; ++i) {
        const float after = s[i].load(std::memory_order_relaxed);
        // A flat top counts at its last sample; the flag stands one after the peak.
        peaks[i] =
            (before <= peak && peak > after && static_cast<double>(peak) > threshold) ? 1 : 0;
        before = peak;
        peak = after;
    }
}
