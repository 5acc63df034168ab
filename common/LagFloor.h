#pragma once

#include <algorithm>
#include <limits>

// How far a stream's deliveries lag behind real time, at its best over each window.
//
// The lag of an arrival is the frames that fell due since the first arrival (the time
// passed, at the nominal rate) less the frames delivered before it. A healthy stream's lag
// has a steady bottom however bursty or jittery its arrivals, since a burst only delays
// frames and is followed by blocks in quick succession; the lowest lag over a window longer
// than any burst's period is that bottom, give or take the jitter. Frames that never come
// raise the bottom for good; a clock a little slow or fast moves it slowly.
//
// Real-time safe: no allocation, no system call. One thread.
class LagFloor {
public:
    LagFloor(double sampleRate, double windowSeconds)
        : mSampleRate(sampleRate), mWindowSeconds(windowSeconds) {}

    void reset() { *this = LagFloor(mSampleRate, mWindowSeconds); }

    // The lag of an arrival at `seconds`, with `delivered` frames delivered before it.
    double lag(double seconds, double delivered) const {
        return (seconds - mStartSeconds) * mSampleRate - delivered;
    }
    // Notes an arrival. True when it closed a window: closedFloor() is then the lowest lag
    // of that window, this arrival included. With `carry` the arrival that closes a window
    // also opens the next: the open window then shows at once what the latest arrival lags
    // by (a device that delivers a block a second has no other arrival to show it by).
    bool note(double seconds, double delivered, bool carry = false) {
        if (!mStarted) {
            mStarted = true;
            mStartSeconds = seconds;
            mWindowStartSeconds = seconds;
        }
        const double now = lag(seconds, delivered);
        mLowest = std::min(mLowest, now);
        mHighest = std::max(mHighest, now);
        if (seconds - mWindowStartSeconds < mWindowSeconds) {
            return false;
        }
        mClosedFloor = mLowest;
        mClosedSpread = mHighest - mLowest;
        mClosedSeconds = seconds - mWindowStartSeconds;
        mWindowStartSeconds = seconds;
        mLowest = carry ? now : std::numeric_limits<double>::infinity();
        mHighest = carry ? now : -std::numeric_limits<double>::infinity();
        return true;
    }
    double closedFloor() const { return mClosedFloor; }
    // How far above its floor the window just closed lagged at most: a burst's first blocks
    // lag by the rest of the burst, and a late one by its jitter too.
    double closedSpread() const { return mClosedSpread; }
    // The lowest lag of the window still open (infinite before its first arrival).
    double openFloor() const { return mLowest; }
    // How long the window just closed lasted (at least the window's length).
    double closedSeconds() const { return mClosedSeconds; }

private:
    double mSampleRate;
    double mWindowSeconds;
    bool mStarted = false;
    double mStartSeconds = 0.0;
    double mWindowStartSeconds = 0.0;
    double mLowest = std::numeric_limits<double>::infinity();
    double mHighest = -std::numeric_limits<double>::infinity();
    double mClosedFloor = 0.0;
    double mClosedSpread = 0.0;
    double mClosedSeconds = 0.0;
};
