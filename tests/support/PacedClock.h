#pragma once

// The shared clock of the pacing helpers: frame f of a stream falls due at a start time plus
// f frames at the clock's rate, on the monotonic clock, so chunks late by a busy machine are
// caught up rather than drifting the rate. A stream that stood still for longer (the device
// opened long before its stream started, or the other side stopped reading or writing)
// starts a new schedule from the late chunk instead: catching up then would deliver a burst
// of chunks at once.

#include <cstdint>
#include <ctime>

namespace paced {

inline constexpr std::int64_t kFramesPerSecond = 44100;

inline std::int64_t nowNanoseconds(clockid_t clock = CLOCK_MONOTONIC) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class PacedClock {
public:
    PacedClock() : mStartNanoseconds(nowNanoseconds()) {}

    std::int64_t dueAt(std::int64_t frame) const {
        return mStartNanoseconds +
               static_cast<std::int64_t>(static_cast<double>(frame - mStartFrame) * 1e9 / mRate);
    }

    // A new schedule on which `frame` falls due at `nanoseconds`.
    void restart(std::int64_t frame, std::int64_t nanoseconds) {
        mStartFrame = frame;
        mStartNanoseconds = nanoseconds;
    }

    // The lateness rule above, for the chunk starting at `frame`.
    void restartIfLate(std::int64_t frame, std::int64_t now) {
        if (now - dueAt(frame) > kLatestCatchUpNanoseconds) {
            restart(frame, now);
        }
    }

    // Runs `ppm` parts per million fast (slow when negative) from `frame` on, without a jump.
    void setRate(std::int64_t frame, double ppm) {
        restart(frame, dueAt(frame));
        mRate = static_cast<double>(kFramesPerSecond) * (1.0 + ppm * 1e-6);
    }

private:
    // Lateness that is still caught up: longer than a loaded machine keeps a thread waiting,
    // shorter than a stream's stop and start.
    static constexpr std::int64_t kLatestCatchUpNanoseconds = 250000000;

    std::int64_t mStartFrame = 0;
    std::int64_t mStartNanoseconds;
    double mRate = static_cast<double>(kFramesPerSecond);
};

} // namespace paced
