#pragma once

#include "LagFloor.h"

#include <cstdint>

// The sample clock of one stream: the frame number of each block, counting every frame the
// device has captured or played since the stream started, lost ones included, so that a
// block is stored at the time its device captured it and a gap enters only where frames
// were lost.
//
// PortAudio hands blocks without saying how many frames were lost in between (an overrun,
// a stalled sound server, a device that stood still), and under a sound server its time
// stamps are not reliable either. So the clock follows the stream's lag behind real time at
// its best over each window (LagFloor). Frames count as lost only on evidence that no
// healthy stream gives, however bursty (up to 8192 frames at once), jittery (50 ms) or
// slow to start it is, or however far its clock is off (1000 ppm):
// - the backend says the device overran or ran dry, or a block comes after a pause longer
//   than a healthy stream ever leaves: the lag's rise over its bottom is lost, less the
//   spread a burst gives its blocks at once, and the rest once a burst's worth of blocks
//   has shown it;
// - the bottom stays higher, by more than jitter explains, over two windows in a row: the
//   clock jumps by the smaller rise.
// A bottom that falls is followed (the device catching up, or its clock fast); one that
// rises within the jitter is followed as drift only as far as a clock may drift. A stream
// that hands over far more frames than time allows (a device at the end of a file,
// returning at once) is running wild.
//
// Real-time safe: no allocation, no system call. One thread (the stream's).
class StreamClock {
public:
    explicit StreamClock(double sampleRate) : mSampleRate(sampleRate) {}

    // Starts counting again from 0 (before the stream starts).
    void reset();
    // The sample time of a block of `frames` frames handed over at `seconds` on the
    // monotonic clock, `lossReported` when the backend said frames were lost before it;
    // advances the clock past it.
    double nextBlock(std::uint32_t frames, double seconds, bool lossReported = false);
    // Counts `frames` that the backend says were lost (a hole in the stream it knows the
    // size of): the next block comes that much later.
    void lose(std::int64_t frames) { mLost += frames; }
    // The sample time the next block will have (unless frames are lost meanwhile).
    double sampleTime() const { return static_cast<double>(mDelivered + mLost); }
    // Frames the clock has jumped over since the start.
    std::int64_t lostFrames() const { return mLost; }
    // The stream hands over frames much faster than real time.
    bool runningWild() const { return mWild; }

    // The window over which the lag's bottom is taken: longer than the period of the
    // largest burst with its jitter.
    static constexpr double kWindowSeconds = 0.25;
    // A rise of the bottom that jitter explains: 50 ms, and a block.
    static constexpr double kJitterFrames = 2205.0 + 512.0;
    // The longest pause between blocks of a healthy stream.
    static constexpr double kLongestPauseSeconds = 0.3;
    // How far a device's clock may drift, in parts of its rate.
    static constexpr double kDrift = 0.002;
    // Frames a window may hand over beyond twice its real time before the stream counts
    // as running wild (a starting output fills its buffer in a burst).
    static constexpr double kWildSlackFrames = 16384.0;

private:
    void closeWindow();
    void jump(double frames);

    double mSampleRate;
    LagFloor mFloor{mSampleRate, kWindowSeconds};
    bool mHasBottom = false;
    bool mWild = false;
    double mBottom = 0.0;          // the lag's bottom against the sample time
    double mRiseBefore = 0.0;      // the rise of the window before, when above the jitter
    double mLastSeconds = 0.0;     // the last arrival
    double mSpread = 0.0;          // a healthy window's highest lag above its bottom
    bool mWindowDisturbed = false; // the open window holds a gap
    double mCheckFrames = -1.0;    // frames after a gap still to show what it lost
    double mCheckLowest = 0.0;     // the lowest rise they showed
    std::int64_t mWindowDelivered = 0;
    std::int64_t mDelivered = 0; // frames handed over
    std::int64_t mLost = 0;
};
