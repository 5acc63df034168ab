#pragma once

// The shared clock of the pacing helpers: chunk k of a stream falls due at start + k chunks
// of 44100 frames/s, on the monotonic clock, so a chunk a little late is caught up rather
// than drifting the rate. A stream that stood still for longer (the device opened long
// before its stream started, or the other side stalled) starts a new schedule from the
// late chunk instead: catching up then would deliver a burst of chunks at once, which a
// real device never does.

#include <cstdint>
#include <ctime>

namespace paced {

inline constexpr std::int64_t kFramesPerSecond = 44100;

class PacedClock {
public:
    explicit PacedClock(std::int64_t framesPerChunk)
        : mFramesPerChunk(framesPerChunk), mStartNanoseconds(nowNanoseconds()) {}

    // Sleeps until chunk `chunk` (counted from 0) is due.
    void waitFor(std::int64_t chunk) {
        const std::int64_t due = dueAt(chunk);
        const std::int64_t now = nowNanoseconds();
        if (now - due > kLatestCatchUpChunks * chunkNanoseconds()) {
            mStartNanoseconds = now - (dueAt(chunk) - mStartNanoseconds);
            return;
        }
        timespec until{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
        }
    }

private:
    // Lateness, in chunks, that is still caught up.
    static constexpr std::int64_t kLatestCatchUpChunks = 2;

    static std::int64_t nowNanoseconds() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    std::int64_t chunkNanoseconds() const { return mFramesPerChunk * 1000000000 / kFramesPerSecond; }
    std::int64_t dueAt(std::int64_t chunk) const {
        return mStartNanoseconds + chunk * mFramesPerChunk * 1000000000 / kFramesPerSecond;
    }

    std::int64_t mFramesPerChunk;
    std::int64_t mStartNanoseconds;
};

} // namespace paced
