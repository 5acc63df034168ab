#include "StreamClock.h"

#include <algorithm>
#include <cmath>
#include <limits>

void StreamClock::reset() {
    *this = StreamClock(mSampleRate);
}

double StreamClock::nextBlock(std::uint32_t frames, double seconds, bool lossReported) {
    // Lags are taken against the sample time, lost frames included, so that a jump within
    // a window leaves its bottom comparable.
    const bool paused = mDelivered > 0 && seconds - mLastSeconds > kLongestPauseSeconds;
    if (mHasBottom && (lossReported || paused)) {
        // The first block after a gap may open a burst, and lag by the burst's spread more
        // than by what was lost: what is surely lost is skipped now, the rest once the
        // blocks of a whole burst have shown it (a loss taken too large could never be
        // given back).
        const double rise = mFloor.lag(seconds, sampleTime()) - mBottom - mSpread;
        if (rise > 0.0) {
            jump(rise);
        }
        mCheckFrames = mSpread;
        mCheckLowest = std::numeric_limits<double>::infinity();
        mWindowDisturbed = true;
    }
    if (mCheckFrames >= 0.0) {
        mCheckLowest = std::min(mCheckLowest, mFloor.lag(seconds, sampleTime()) - mBottom);
        mCheckFrames -= frames;
        if (mCheckFrames < 0.0 && mCheckLowest > kJitterFrames) {
            jump(mCheckLowest);
        }
    }
    if (mFloor.note(seconds, sampleTime())) {
        closeWindow();
    }
    mLastSeconds = seconds;
    const double time = sampleTime();
    mDelivered += frames;
    return time;
}

void StreamClock::closeWindow() {
    const double elapsedFrames = mFloor.closedSeconds() * mSampleRate;
    const auto handedOver = static_cast<double>(mDelivered - mWindowDelivered);
    mWindowDelivered = mDelivered;
    if (handedOver > 2.0 * elapsedFrames + kWildSlackFrames) {
        mWild = true;
    }
    const double bottom = mFloor.closedFloor();
    // A window that holds a gap, or blocks still to show what it lost, tells neither the
    // burst's spread nor a drift (its length is mostly the gap).
    const bool disturbed = mWindowDisturbed;
    mWindowDisturbed = mCheckFrames >= 0.0;
    if (!disturbed) {
        // How far above its bottom a block of a healthy window lags: the burst's spread and
        // the jitter.
        mSpread = mFloor.closedSpread();
    }
    if (!mHasBottom) {
        mBottom = bottom;
        mHasBottom = true;
        return;
    }
    const double rise = bottom - mBottom;
    if (rise <= kJitterFrames) {
        // Caught up, or a clock a little off: followed, upwards no faster than drift.
        mBottom += std::min(rise, disturbed ? 0.0 : kDrift * elapsedFrames);
        mRiseBefore = 0.0;
    } else if (mRiseBefore > 0.0) {
        // Up for two windows in a row: those frames will never come.
        jump(std::min(rise, mRiseBefore));
        mRiseBefore = 0.0;
    } else {
        mRiseBefore = rise;
    }
}

void StreamClock::jump(double frames) {
    const auto lost = static_cast<std::int64_t>(std::llround(frames));
    mLost += lost;
    mRiseBefore = 0.0;
}
