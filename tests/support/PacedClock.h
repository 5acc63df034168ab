#pragma once

// The shared clock of the pacing helpers: chunk k of a stream falls due at start + k chunks
// of 44100 frames/s, on the monotonic clock, so a late chunk is caught up rather than
// drifting the rate.

#include <cstdint>
#include <ctime>

namespace paced {

inline constexpr std::int64_t kFramesPerSecond = 44100;

class PacedClock {
public:
    explicit PacedClock(std::int64_t framesPerChunk) : mFramesPerChunk(framesPerChunk) {
        clock_gettime(CLOCK_MONOTONIC, &mStart);
    }

    // Sleeps until chunk `chunk` (counted from 0) is due.
    void waitFor(std::int64_t chunk) const {
        const std::int64_t nanoseconds = chunk * mFramesPerChunk * 1000000000 / kFramesPerSecond;
        timespec due = mStart;
        due.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
        due.tv_nsec += static_cast<long>(nanoseconds % 1000000000);
        if (due.tv_nsec >= 1000000000) {
            due.tv_sec += 1;
            due.tv_nsec -= 1000000000;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
        }
    }

private:
    std::int64_t mFramesPerChunk;
    timespec mStart{};
};

} // namespace paced
