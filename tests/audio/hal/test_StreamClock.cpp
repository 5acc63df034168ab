// The backend's sample clock on made-up callback timings: it must jump by exactly the
// frames a device lost, and by nothing for bursts, late callbacks caught up, or clocks a
// little apart; a stream far faster than real time runs wild.
#include "StreamClock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr double kRate = 44100.0;
constexpr double kBlock = 512.0;

struct Case {
    const char* what;
    double seconds;    // how long the stream runs
    double rateFactor; // the device's rate against the system clock
    int burst;         // blocks handed over at once (1: evenly)
    double stallAt;    // no callbacks from here ...
    double stallFor;   // ... for this long (0: none)
    bool stallLoses;   // the frames captured meanwhile are lost (else they come late)
    bool wild;
};

// When each block the device hands over arrives, and how many frames it lost: block k is
// captured by (k + 1) periods, and handed over with the last block of its burst.
std::vector<double> callbackTimes(const Case& c, std::int64_t& lostFrames) {
    std::vector<double> times;
    const double period = kBlock / (kRate * c.rateFactor);
    lostFrames = 0;
    for (int k = 0; k * period < c.seconds; ++k) {
        const int last = (k / c.burst + 1) * c.burst - 1;
        double t = (last + 1) * period;
        if (t >= c.stallAt && t < c.stallAt + c.stallFor) {
            if (c.stallLoses) {
                lostFrames += static_cast<std::int64_t>(kBlock);
                continue;
            }
            t = c.stallAt + c.stallFor;
        }
        times.push_back(t);
    }
    return times;
}

TEST(StreamClock, JumpsByTheLostFramesOnly) {
    const Case cases[] = {
        {"steady", 5.0, 1.0, 1, 0, 0, false, false},
        {"bursts of 4096 frames", 5.0, 1.0, 8, 0, 0, false, false},
        {"100 ppm slow", 60.0, 1.0 - 1e-4, 1, 0, 0, false, false},
        {"100 ppm fast", 60.0, 1.0 + 1e-4, 1, 0, 0, false, false},
        {"200 ms late, nothing lost", 5.0, 1.0, 1, 2.0, 0.2, false, false},
        {"40 ms lost", 5.0, 1.0, 1, 2.0, 0.04, true, false},
        {"200 ms lost in bursts", 5.0, 1.0, 8, 2.0, 0.2, true, false},
        {"3 s lost", 8.0, 1.0, 1, 2.0, 3.0, true, false},
        {"at the end of a file", 1.0, 1000.0, 1, 0, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamClock clock(kRate);
        double previous = -kBlock;
        int jumps = 0;
        std::int64_t lost = 0;
        for (const double t : callbackTimes(c, lost)) {
            const double time = clock.nextBlock(512, t);
            if (clock.runningWild()) {
                break;
            }
            if (time != previous + kBlock) {
                ++jumps;
            }
            previous = time;
        }
        EXPECT_EQ(clock.runningWild(), c.wild);
        // The clock steps by the frames lost, give or take a few for the blocks' timing.
        EXPECT_NEAR(static_cast<double>(clock.lostFrames()), static_cast<double>(lost), 16.0);
        EXPECT_EQ(jumps, lost != 0 ? 1 : 0);
    }
}

} // namespace
