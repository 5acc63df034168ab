#include "StreamClock.h"

#include <algorithm>
#include <cmath>

void StreamClock::reset() {
    *this = StreamClock(mSampleRate);
}

double StreamClock::nextBlock(std::uint32_t frames, double seconds) {
    if (!mStarted) {
        mStarted = true;
        mStartSeconds = seconds;
        mWindowStartSeconds = seconds;
        mWindowLowestLag = 0.0;
    }
    const double lag = (seconds - mStartSeconds) * mSampleRate - static_cast<double>(mPosition);
    mWindowLowestLag = std::min(mWindowLowestLag, lag);
    if (seconds - mWindowStartSeconds >= kWindowSeconds) {
        closeWindow(seconds);
    }
    const double time = static_cast<double>(mPosition);
    mPosition += frames;
    return time;
}

void StreamClock::closeWindow(double seconds) {
    const double elapsedFrames = (seconds - mWindowStartSeconds) * mSampleRate;
    const auto handedOver = static_cast<double>(mPosition - mWindowStartPosition);
    if (handedOver > 2.0 * elapsedFrames + kWildSlackFrames) {
        mWild = true;
    }
    if (mHasFloor && mWindowLowestLag - mFloor > kLossFrames) {
        // The lag stayed up for a whole window: those frames will never come.
        const auto lost = static_cast<std::int64_t>(std::llround(mWindowLowestLag - mFloor));
        mPosition += lost;
        mLost += lost;
    } else {
        mFloor = mWindowLowestLag;
        mHasFloor = true;
    }
    mWindowStartSeconds = seconds;
    mWindowStartPosition = mPosition;
    // The current lag opens the next window, with the jump taken into account.
    mWindowLowestLag = (seconds - mStartSeconds) * mSampleRate - static_cast<double>(mPosition);
}
