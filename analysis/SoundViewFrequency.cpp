// SoundView's frequency measurement, the note's stability, the smoothed readout and the
// in-tune judgement.
#include "SoundView.h"

#include "SaturatingCast.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Counters of analyses stop at the top of their range instead of wrapping negative,
// which would make a long-lost note look freshly attacked or unstruck.
std::int32_t incremented(std::int32_t counter) {
    return counter < std::numeric_limits<std::int32_t>::max() ? counter + 1 : counter;
}

} // namespace

void SoundView::getFrequency() {
    const std::int32_t count = mPeriodCount;
    if (count <= 1) {
        mFrequency = -1.0f;
        mSamplePeriod = -1.0f;
        mCurrentFrequency = -1.0f;
        return;
    }

    const float period =
        static_cast<float>(mLastPeriod - mFirstPeriod) / static_cast<float>(count - 1);
    const auto frequency = static_cast<float>(tuner::kSampleRate / static_cast<double>(period));
    mSamplePeriod = period;
    mCurrentFrequency = frequency;
    // Crossings counted across the edge of a gap measure no period of the note.
    if (mGapInWindow) {
        return;
    }

    checkStable();

    if (!validFrequency(frequency)) {
        return;
    }
    if (mSinceAttack > 3) {
        return;
    }
    if (mLastAttackFrequency != -1) {
        return;
    }
    // The note's first reading: the readout starts here and the band is centred on it.
    mDisplayFrequency = frequency;
    mLastAttackFrequency = toInt32(frequency);
    if (autoSelect != 0) {
        selectNearestString();
    }
}

void SoundView::checkStable() {
    const float current = mCurrentFrequency;
    const double c = current;
    const double reference = static_cast<double>(mLastAttackFrequency.load());
    std::int32_t strikes = mStrikesSinceAttack;
    std::int32_t hits = mHitsSinceAttack;
    float display = mDisplayFrequency;

    if (c < 0.9 * reference || c > 1.2 * reference) {
        strikes = incremented(strikes);
        mStrikesSinceAttack = strikes;
    } else {
        mFrequency = current;
        hits = incremented(hits);
        mHitsSinceAttack = hits;
        const float difference = current - display;
        display = static_cast<float>(
            std::fma(static_cast<double>(difference), 0.045, static_cast<double>(display)));
        mDisplayFrequency = display;
    }

    float stable = mFrequencyStable;
    if (hits > 1 && hits > strikes) {
        stable = 1.0f;
    }
    // A ninth strike clears stability whatever the hits.
    if (strikes > 8) {
        stable = 0.0f;
    }
    mFrequencyStable = stable;
    if (stable == 0.0f) {
        return;
    }

    // The target is written by clicks on the main thread too; read it once.
    const std::int32_t selected = selectedFrequency;
    if (selected < 0 || selected >= tuner::kStringCount) {
        return;
    }
    const float target = frequencyList[selected];
    const std::int32_t deviation = toInt32(display - target);
    // The magnitude in double: the int32 minimum has no int32 magnitude.
    const bool inTune =
        std::fabs(static_cast<double>(deviation)) < 0.005 * static_cast<double>(target);
    mInTune = inTune ? 1.0f : 0.0f;
}

bool SoundView::validFrequency(float frequency) const {
    return frequency > 8.0f && frequency < 10000.0f;
}
