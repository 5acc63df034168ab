#pragma once

#include <cstdint>

// The sample clock of one stream: the frame number of each block, counting every frame the
// device has captured or played since the stream started, lost ones included.
//
// PortAudio hands blocks without saying how many frames were lost in between (an overrun,
// a stalled sound server, a device that stood still), and under a sound server its time
// stamps are not reliable either. So the clock compares the frames handed over with the
// time that has passed on the monotonic clock: the lag (elapsed frames minus frames handed
// over) of a healthy stream stays within a band whose bottom is steady, however bursty the
// blocks come, since a burst only delays frames and is followed by blocks in quick
// succession. The bottom of the band over each window (longer than any sound server's
// bursts, short enough to count a loss before the output gives up on the input) is
// compared with the one before: a step up of more than a block means frames were lost, and
// the clock jumps by the step; a smaller change is the device's own clock drifting against
// the system's, and is followed. A stream that hands over far more frames than time allows (a device at the
// end of a file, returning at once) is running wild.
//
// Real-time safe: no allocation, no system call. One thread (the stream's callback).
class StreamClock {
public:
    explicit StreamClock(double sampleRate) : mSampleRate(sampleRate) {}

    // Starts counting again from 0 (before the stream starts).
    void reset();
    // The sample time of a block of `frames` frames handed over at `seconds` on the
    // monotonic clock; advances the clock past it.
    double nextBlock(std::uint32_t frames, double seconds);
    // The sample time the next block will have (unless frames are lost meanwhile).
    double sampleTime() const { return static_cast<double>(mPosition); }
    // Frames the clock has jumped over since the start.
    std::int64_t lostFrames() const { return mLost; }
    // The stream hands over frames much faster than real time.
    bool runningWild() const { return mWild; }

    // Length of the window whose lowest lag is compared with the one before.
    static constexpr double kWindowSeconds = 0.15;
    // A step up of the lowest lag beyond this many frames counts as frames lost.
    static constexpr double kLossFrames = 512.0;
    // Frames a window may hand over beyond twice its real time before the stream counts
    // as running wild (a starting output fills its buffer in a burst).
    static constexpr double kWildSlackFrames = 16384.0;

private:
    void closeWindow(double seconds);

    double mSampleRate;
    bool mStarted = false;
    bool mHasFloor = false;
    bool mWild = false;
    double mStartSeconds = 0.0;
    double mWindowStartSeconds = 0.0;
    std::int64_t mWindowStartPosition = 0;
    double mWindowLowestLag = 0.0;
    double mFloor = 0.0;
    std::int64_t mPosition = 0; // frames handed over plus frames lost
    std::int64_t mLost = 0;
};
