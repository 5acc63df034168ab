// SoundView's automatic choice of the target string.
#include "SoundView.h"

#include "SaturatingCast.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Whole hertz between a string and the frequency; in 64 bits, where the int32 minimum
// still has a magnitude.
std::int64_t distance(float string, float frequency) {
    return std::llabs(static_cast<long long>(toInt32(string - frequency)));
}

} // namespace

void SoundView::selectNearestString() {
    const float frequency = mCurrentFrequency;
    std::int32_t best = 0;
    std::int64_t bestDistance = distance(frequencyList[0], frequency);
    for (std::int32_t i = 1; i < tuner::kStringCount; ++i) {
        const std::int64_t d = distance(frequencyList[i], frequency);
        // Ties go to the lower string.
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    selectedFrequency = best;
}
