// SoundView's detection of a newly struck note.
#include "SoundView.h"

#include "SaturatingCast.h"

#include <cstdint>
#include <limits>

void SoundView::getAttack() {
    const float volume = mCurrentVolume;
    const double v = volume;
    // Sound coming back after a gap rises from the silence put in its place, wherever the
    // note stood: it is measured against the last window heard whole, or struck in.
    const float last = mGapBefore ? mHeardVolume : mLastVolume.load();
    const bool attack =
        v > 1.1 * static_cast<double>(last) && v > 0.2 * static_cast<double>(mHighestVolume.load());
    if (attack && mNoteEnded) {
        // Struck while the gap that ended the note went on: it is heard from somewhere in
        // its middle, and its first reading would be none it gives from its attack. The
        // readout waits for the next one struck.
        endNote();
    } else if (attack) {
        startNote(volume);
        mGapInWindow = false;
        return;
    }
    // Stops at the top rather than wrapping negative, which would reopen the first reading.
    const std::int32_t since = mSinceAttack;
    if (since < std::numeric_limits<std::int32_t>::max()) {
        mSinceAttack = since + 1;
    }
}

void SoundView::startNote(float volume) {
    mFrequencyStable = 0.0f;
    mLastAttackFrequency = -1;
    mHitsSinceAttack = 0;
    mSinceAttack = 0;
    mStrikesSinceAttack = 0;
    mLastAttackVolume = toInt32(volume);
}

void SoundView::takeNewSource(float volume) {
    // The next window's volume is compared with this one's, as if the note had been heard
    // from its start.
    mCurrentVolume = volume;
    startNote(volume);
}
