// SoundView's positive zero crossings and the period starts chosen among them.
#include "SoundView.h"

#include <cstdint>

namespace {

constexpr std::int32_t kNoCrossing = 0;
constexpr std::int32_t kCrossing = 1;
constexpr std::int32_t kPeriodStart = 2;
constexpr std::int32_t kFirstPeriodStart = 3;
constexpr std::int32_t kSecondPeriodStart = 4;
constexpr std::int32_t kLastPeriodStart = 5;

} // namespace

void SoundView::getPosZeroCrossings() {
    const SharedFloat* const s = mSampleBuffer;
    std::int32_t* const codes = mPosZeroCrossings;
    const std::int32_t* const peaks = mPeaks;
    const std::int32_t n =
        (s != nullptr && codes != nullptr && peaks != nullptr) ? mSampleBufferSize.load() : 0;

    // Mark each crossing at its first positive sample.
    if (n > 0) {
        float previous = s[0].load(std::memory_order_relaxed);
        for (std::int32_t i = 1; i < n; ++i) {
            const float current = s[i].load(std::memory_order_relaxed);
            codes[i] = (previous <= 0.0f && current > 0.0f) ? kCrossing : kNoCrossing;
            previous = current;
        }
    }

    // A crossing starts a period only when a strong peak follows it before the next one.
    bool peakSeen = false;
    for (std::int32_t i = n - 1; i >= 1; --i) {
        if (peaks[i] == 1) {
            peakSeen = true;
        }
        if (codes[i] == kCrossing && peakSeen) {
            codes[i] = kPeriodStart;
            peakSeen = false;
        }
    }

    // Index 0 is never a period start, so it stands for "not found" here.
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::int32_t last = 0;
    std::int32_t count = 0;
    for (std::int32_t i = 1; i < n; ++i) {
        if (codes[i] == kPeriodStart) {
            if (second == 0 && first != 0) {
                second = i;
            }
            if (first == 0) {
                first = i;
            }
            ++count;
            last = i;
        }
    }

    // Later labels overwrite earlier ones at the same index.
    if (n > 0) {
        codes[first] = kFirstPeriodStart;
        codes[second] = kSecondPeriodStart;
        codes[last] = kLastPeriodStart;
    }
    if (count <= 1) {
        first = second = last = count = -1;
    }
    mFirstPeriod = first;
    mSecondPeriod = second;
    mLastPeriod = last;
    mPeriodCount = count;
}
