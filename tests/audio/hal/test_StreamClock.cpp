// The backend's sample clock on made-up callback timings: it must jump by exactly the
// frames a device lost, and by nothing for bursts, late callbacks caught up, or clocks a
// little apart; a stream far faster than real time runs wild.
#include "StreamClock.h"

#include <gtest/gtest.h>

TEST(StreamClock, JumpsByTheLostFramesOnly) {
    struct Case {
        const char* what;
        double seconds, rateFactor; // how long the stream runs; its rate against the clock
        int burst;                  // blocks handed over at once (1: evenly)
        double stallAt, stallFor;   // no callbacks from here for this long (0: none) ...
        bool stallLoses, wild;      // ... and the frames captured meanwhile are lost
    };
    for (const Case& c : {Case{"steady", 5.0, 1.0, 1, 0, 0, false, false},
                          Case{"bursts of 4096 frames", 5.0, 1.0, 8, 0, 0, false, false},
                          Case{"100 ppm slow", 60.0, 1.0 - 1e-4, 1, 0, 0, false, false},
                          Case{"100 ppm fast", 60.0, 1.0 + 1e-4, 1, 0, 0, false, false},
                          Case{"200 ms late, nothing lost", 5.0, 1.0, 1, 2.0, 0.2, false, false},
                          Case{"40 ms lost", 5.0, 1.0, 1, 2.0, 0.04, true, false},
                          Case{"200 ms lost in bursts", 5.0, 1.0, 8, 2.0, 0.2, true, false},
                          Case{"3 s lost", 8.0, 1.0, 1, 2.0, 3.0, true, false},
                          Case{"at the end of a file", 1.0, 1000.0, 1, 0, 0, false, true}}) {
        SCOPED_TRACE(c.what);
        StreamClock clock(44100.0);
        double previous = -512.0;
        int jumps = 0;
        std::int64_t lost = 0;
        // Block k is captured by (k + 1) periods and handed over with its burst's last block.
        const double period = 512.0 / (44100.0 * c.rateFactor);
        for (int k = 0; k * period < c.seconds && !clock.runningWild(); ++k) {
            double t = ((k / c.burst + 1) * c.burst) * period;
            if (t >= c.stallAt && t < c.stallAt + c.stallFor) {
                if (c.stallLoses) {
                    lost += 512;
                    continue;
                }
                t = c.stallAt + c.stallFor;
            }
            const double time = clock.nextBlock(512, t);
            jumps += !clock.runningWild() && time != previous + 512.0;
            previous = time;
        }
        EXPECT_EQ(clock.runningWild(), c.wild);
        // The clock steps by the frames lost, give or take a few for the blocks' timing.
        EXPECT_NEAR(static_cast<double>(clock.lostFrames()), static_cast<double>(lost), 16.0);
        EXPECT_EQ(jumps, lost != 0 ? 1 : 0);
    }
}
