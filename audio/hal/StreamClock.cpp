#include "StreamClock.h"

#include <algorithm>
#include <cmath>

void StreamClock::reset() {
    *this = StreamClock(mSampleRate);
}

double StreamClock::nextBlock(std::uint32_t frames, double seconds, bool lossReported) {
    // Lags are taken against the sample time, lost frames included, so that a jump within
    // a window leaves its bottom comparable.
    const bool paused = mDelivered > 0 && seconds - mLastSeconds > kLongestPauseSeconds;
    if (mHasBottom && (lossReported || paused)) {
        const double rise = mFloor.lag(seconds, sampleTime()) - mBottom;
        if (rise > 0.0) {
            jump(rise);
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
    if (!mHasBottom) {
        mBottom = bottom;
        mHasBottom = true;
        return;
    }
    const double rise = bottom - mBottom;
    if (rise <= kJitterFrames) {
        // Caught up, or a clock a little off: followed, upwards no faster than drift.
        mBottom += std::min(rise, kDrift * elapsedFrames);
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
