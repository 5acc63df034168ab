#pragma once

#include "LagFloor.h"
#include "TunerConstants.h"

#include <atomic>
#include <cstdint>

// How well the input device keeps up with real time, judged from its deliveries: the input
// procedure notes each block's arrival, and the supervisor asks, a few times a second,
// whether the input is failing.
//
// The input's lag behind real time is taken at its best over each quarter second
// (LagFloor), so bursts and jitter do not count; what the lag gained over the last two
// seconds is what the device did not deliver. The input is failing when that is more than
// jitter explains and spread over the two seconds rather than one step: it drops blocks now
// and then, starves, stands still again and again, or its clock runs well slow. A single
// stall is not failing: a short one passes as a gap, a long one is a stop the supervisor
// sees by itself.
//
// Threads: note() on the input procedure's thread (real-time: no lock, no allocation);
// assess() on one other thread. The windows are handed over through a ring of atomics that
// the reader reads well within its 64 windows (16 s).
class InputHealth {
public:
    // What the last two seconds say.
    struct Assessment {
        bool known = false;     // two seconds of deliveries, since the stream (re)started
        bool failing = false;   // too much missing, or missing all along
        bool clean = false;     // nothing missing beyond the jitter
        double delivered = 1.0; // the share of real time delivered
    };

    // Notes a block of `frames` frames arriving at `seconds` on the monotonic clock. After
    // `restart` the lag is taken afresh (a new stream).
    void note(double seconds, std::uint32_t frames, bool restart);
    // The last two seconds of deliveries up to `seconds` (0: up to the last window).
    Assessment assess(double seconds) const;

    static constexpr double kWindowSeconds = 0.25;
    static constexpr double kSpanSeconds = 2.0;
    // The longest pause between blocks of a healthy input.
    static constexpr double kLongestPauseSeconds = 0.3;
    // Failing: this share of the span missing, spread over it.
    static constexpr double kSpreadMissing = 0.04;
    // Spread: no quarter second holds more than this share of what is missing.
    static constexpr double kLargestStep = 0.7;
    // Clean: no more missing than jitter explains.
    static constexpr double kCleanMissing = 0.03;

private:
    static constexpr int kWindows = 64;

    LagFloor mFloor{tuner::kSampleRate, kWindowSeconds};
    double mDelivered = 0.0;
    std::uint32_t mStream = 0; // counts restarts; windows of two streams are not compared
    struct Window {
        std::atomic<double> seconds{0.0};
        std::atomic<double> floor{0.0};
        std::atomic<std::uint32_t> stream{0};
    };
    Window mWindows[kWindows];
    std::atomic<std::uint64_t> mClosed{0};
    std::atomic<double> mLastArrival{0.0};
    std::atomic<double> mOpenFloor{0.0};
    bool mPaused = false; // the open window holds a pause
    // The spread of the last window without a pause (LagFloor::closedSpread).
    std::atomic<double> mSpread{0.0};
};
