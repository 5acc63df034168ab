// The backend's sample clock on simulated deliveries: a device captures 512-frame blocks at
// its own rate and hands them over in bursts, late, jittered, or not at all. The clock must
// give every block the time its device captured it, counting no frame lost for a healthy
// stream (seeded members of each class: bursts of 256 to 8192 frames, jitter to 50 ms, a
// clock 1000 ppm off, a slow start), and count the frames of one block in k (k up to 16) or
// of a stall as lost (a stall that ends as a burst begins too); a stream far faster than
// real time runs wild. Sixteen rounds of members.
#include "StreamClock.h"
#include "support/SimulatedDelivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

TEST(StreamClock, CountsLostFramesOnlyAndGivesEachBlockItsCaptureTime) {
    std::mt19937 random(20261208);
    // Runs a delivery through a fresh clock: returns the frames truly lost; `worst` gets the
    // farthest a block's sample time falls from the frame its device captured it at, over the
    // blocks handed over once the clock has had `settle` seconds to count a loss.
    StreamClock clock(44100.0);
    double worst = 0.0;
    auto deliver = [&](const Delivery& d, double settle) {
        clock = StreamClock(44100.0);
        worst = 0.0;
        double lastLoss = -1e9;
        int expected = 0;
        return simulateDelivery(d, random, [&](double handed, int k) {
            lastLoss = k != expected ? handed : lastLoss;
            expected = k + 1;
            const double time = clock.nextBlock(512, handed);
            worst =
                handed - lastLoss > settle ? std::max(worst, std::abs(time - 512.0 * k)) : worst;
            return !clock.runningWild();
        });
    };
    // Seeded members of each class, drawn afresh each round.
    for (int round = 0; round < 16; ++round) {
        std::vector<Delivery> healthy;
        for (int i = 0; i < 4; ++i) {
            healthy.push_back(healthyDelivery(random));
            healthy.back().lateUntil = i == 0 ? uniform(random, 0.05, 0.25) : 0.0;
            healthy.back().seconds = i == 3 && round == 0 ? 60.0 : 8.0;
        }
        for (const Delivery& d : healthy) {
            deliver(d, 0.0);
            // Worst: a block stored away from its capture time.
            EXPECT_EQ(std::tuple(clock.lostFrames(), worst, clock.runningWild()),
                      std::tuple(0, 0.0, false))
                << "bursts of " << d.burst << ", jitter " << d.jitter << " s, rate " << d.rate
                << ", late until " << d.lateUntil;
        }

        std::vector<Delivery> losing;
        for (int k : {2, 4, static_cast<int>(uniform(random, 5, 16)), 16}) {
            losing.push_back({.what = "one block in k lost",
                              .burst = 256 * static_cast<int>(uniform(random, 1, 9)),
                              .jitter = uniform(random, 0.0, 0.02),
                              .loseEvery = k});
        }
        for (double stall :
             {uniform(random, 0.01, 0.1), uniform(random, 0.1, 0.3), uniform(random, 0.3, 5.0)}) {
            losing.push_back({.what = "a stall",
                              .seconds = 4.0 + stall,
                              .burst = 256 * static_cast<int>(uniform(random, 1, 17)),
                              .stallAt = 2.0,
                              .stallFor = stall});
        }
        // A device back from a stall of 1 to 4 s in a burst of 8192 frames: the first block it
        // hands over lags by the whole burst more than by what the stall lost.
        const double period = 512.0 / 44100.0;
        const double back = (16 * std::round(uniform(random, 3, 6) / period / 16) + 1) * period;
        losing.push_back({.what = "a stall, then a burst",
                          .seconds = back + 2.0,
                          .burst = 8192,
                          .stallAt = 2.0,
                          .stallFor = back - 2.0 - 1e-6});
        // A rise is counted once it has held over two whole windows after the one it began
        // in; a gap longer than a healthy stream leaves, once a burst's worth of blocks (its
        // spread, with the jitter) has come after it.
        constexpr double kWindow = StreamClock::kWindowSeconds;
        for (const Delivery& d : losing) {
            SCOPED_TRACE(testing::Message() << d.what << ": k " << d.loseEvery << ", stall "
                                            << d.stallFor << " s, bursts of " << d.burst);
            // (The gap between arrivals is the stall's less up to a burst's period.)
            const bool pause = d.stallFor > StreamClock::kLongestPauseSeconds + d.burst / 44100.0;
            const double settle =
                (pause ? 0 : 3 * kWindow) + (d.burst + StreamClock::kJitterFrames) / 44100.0;
            const double lost = deliver(d, settle);
            // Counted whole but for a rise within the jitter (too small to tell from it) and
            // what came on it over the windows before it showed for two in a row (up to four,
            // and the one still open), give or take the jitter.
            const double recent = d.loseEvery > 0 ? 5 * kWindow * 44100.0 / d.loseEvery : 0.0;
            EXPECT_GE(static_cast<double>(clock.lostFrames()),
                      lost - recent - StreamClock::kJitterFrames);
            EXPECT_LE(static_cast<double>(clock.lostFrames()), lost + StreamClock::kJitterFrames);
            EXPECT_TRUE(d.loseEvery > 0 || worst <= StreamClock::kJitterFrames)
                << "blocks after the stall misplaced by up to " << worst;
        }
    }
    deliver({.what = "at the end of a file", .speed = 1000.0}, 0.0);
    EXPECT_TRUE(clock.runningWild());
}
