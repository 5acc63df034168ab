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

    // One backward pass marks each crossing at its first positive sample, makes it a
    // period start when a strong peak follows it before the next crossing, and collects
    // the starts: met backward, the last start comes first and the first one last.
    // Index 0 is never a period start, so it stands for "not found" here.
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::int32_t last = 0;
    std::int32_t count = 0;
    bool peakSeen = false;
    float after = n > 0 ? s[n - 1].load(std::memory_order_relaxed) : 0.0f;
    for (std::int32_t i = n - 1; i >= 1; --i) {
        const float before = s[i - 1].load(std::memory_order_relaxed);
        const bool crossing = (before <= 0.0f) & (after > 0.0f);
        after = before;
        peakSeen |= peaks[i] == 1;
        if (crossing && peakSeen) {
            codes[i] = kPeriodStart;
            peakSeen = false;
            ++count;
            if (last == 0) {
                last = i;
            }
            second = first;
            first = i;
        } else {
            codes[i] = crossing ? kCrossing : kNoCrossing;
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
