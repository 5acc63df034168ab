// SoundView's volume and peak flags of the analysis window.
#include "SoundView.h"

#include <cmath>
#include <cstdint>
#include <limits>

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
        // Four running maxima break the chain of dependent comparisons; NaN never wins
        // one. They give the largest value, and that is the first sample holding it,
        // except that 0.0 and -0.0 compare equal: the first zero is then looked up.
        const std::int32_t start = i;
        float m[4];
        for (float& lane : m) {
            lane = s[start].load(std::memory_order_relaxed);
        }
        for (++i; i + 3 < n; i += 4) {
            for (int k = 0; k < 4; ++k) {
                const float x = s[i + k].load(std::memory_order_relaxed);
                m[k] = x > m[k] ? x : m[k];
            }
        }
        for (; i < n; ++i) {
            const float x = s[i].load(std::memory_order_relaxed);
            m[0] = x > m[0] ? x : m[0];
        }
        v = m[0];
        for (int k = 1; k < 4; ++k) {
            v = m[k] > v ? m[k] : v;
        }
        if (v == 0.0f) {
            i = start;
            while (s[i].load(std::memory_order_relaxed) != 0.0f) {
                ++i;
            }
            v = s[i].load(std::memory_order_relaxed);
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
    // The test peak > 0.8 × volume is made in double precision. The float just below or
    // at that double gives the very same answer for every float peak, without widening
    // each sample.
    const double exactThreshold = 0.8 * static_cast<double>(mCurrentVolume.load());
    float threshold = static_cast<float>(exactThreshold);
    if (static_cast<double>(threshold) > exactThreshold) {
        threshold = std::nextafter(threshold, -std::numeric_limits<float>::infinity());
    }

    float before = s[0].load(std::memory_order_relaxed);
    float peak = s[1].load(std::memory_order_relaxed);
    for (std::int32_t i = 2; i < n; ++i) {
        const float after = s[i].load(std::memory_order_relaxed);
        // A flat top counts at its last sample; the flag stands one after the peak.
        // Combined without branches: where peaks fall depends on the signal.
        peaks[i] =
            static_cast<std::int32_t>((before <= peak) & (peak > after) & (peak > threshold));
        before = peak;
        peak = after;
    }
}
