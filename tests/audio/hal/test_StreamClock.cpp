// The backend's sample clock on simulated deliveries: a device captures 512-frame blocks at
// its own rate and hands them over in bursts, late, jittered, or not at all. The clock must
// give every block the time its device captured it, counting no frame lost for a healthy
// stream (seeded members of each class: bursts of 256 to 8192 frames, jitter to 50 ms, a
// clock 1000 ppm off, a slow start), and count the frames of one block in k (k up to 16) or
// of a stall as lost; a stream far faster than real time runs wild.
#include "StreamClock.h"
#include "support/SimulatedDelivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// Runs the delivery through a clock. Returns the frames truly lost; `worst` gets the largest
// distance between a block's sample time and the frame its device captured it at, over the
// blocks handed over after the clock has had `settle` seconds to count a loss.
double deliver(const Delivery& d, std::mt19937& random, StreamClock& clock, double& worst,
               double settle) {
    worst = 0.0;
    double lastLoss = -1e9;
    int expected = 0;
    return simulateDelivery(d, random, [&](double handed, int k) {
        if (k != expected) {
            lastLoss = handed;
        }
        expected = k + 1;
        const double time = clock.nextBlock(512, handed);
        if (handed - lastLoss > settle) {
            worst = std::max(worst, std::abs(time - 512.0 * k));
        }
        return !clock.runningWild();
    });
}

} // namespace

TEST(StreamClock, CountsLostFramesOnlyAndGivesEachBlockItsCaptureTime) {
    std::mt19937 random(20261208);
    auto pick = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    std::vector<Delivery> healthy;
    for (int i = 0; i < 4; ++i) {
        Delivery d = healthyDelivery(random);
        d.lateUntil = i == 0 ? pick(0.05, 0.25) : 0.0;
        d.seconds = i == 3 ? 60.0 : 8.0;
        healthy.push_back(d);
    }
    for (const Delivery& d : healthy) {
        SCOPED_TRACE(testing::Message() << "bursts of " << d.burst << ", jitter " << d.jitter
                                        << " s, rate " << d.rate << ", late until " << d.lateUntil);
        StreamClock clock(44100.0);
        double worst = 0.0;
        deliver(d, random, clock, worst, 0.0);
        EXPECT_EQ(clock.lostFrames(), 0);
        EXPECT_EQ(worst, 0.0) << "a block stored away from its capture time";
        EXPECT_FALSE(clock.runningWild());
    }

    std::vector<Delivery> losing;
    for (int k : {2, 4, static_cast<int>(pick(5, 16)), 16}) {
        Delivery d{"one block in k lost"};
        d.loseEvery = k;
        d.burst = 256 * static_cast<int>(pick(1, 9));
        d.jitter = pick(0.0, 0.02);
        losing.push_back(d);
    }
    for (double stall : {pick(0.01, 0.1), pick(0.1, 0.3), pick(0.3, 5.0)}) {
        Delivery d{"a stall"};
        d.stallAt = 2.0;
        d.stallFor = stall;
        d.burst = 256 * static_cast<int>(pick(1, 17));
        d.seconds = 4.0 + stall;
        losing.push_back(d);
    }
    for (const Delivery& d : losing) {
        SCOPED_TRACE(testing::Message() << d.what << ": k " << d.loseEvery << ", stall "
                                        << d.stallFor << " s, bursts of " << d.burst);
        StreamClock clock(44100.0);
        double worst = 0.0;
        // After a pause no healthy stream leaves, the very next block is placed right.
        const double settle = d.stallFor > StreamClock::kLongestPauseSeconds ? 0.0 : 0.6;
        const double lost = deliver(d, random, clock, worst, settle);
        // Counted whole but for what the last three windows lost and a rise within the
        // jitter (too small to tell from it), give or take the jitter.
        const double recent = d.loseEvery > 0 ? 0.75 * 44100.0 / d.loseEvery : 0.0;
        EXPECT_GE(static_cast<double>(clock.lostFrames()),
                  lost - recent - StreamClock::kJitterFrames);
        EXPECT_LE(static_cast<double>(clock.lostFrames()), lost + StreamClock::kJitterFrames);
        if (d.loseEvery == 0) {
            EXPECT_LE(worst, StreamClock::kJitterFrames) << "blocks after the stall misplaced";
        }
    }

    Delivery atEndOfFile{"at the end of a file"};
    atEndOfFile.speed = 1000.0;
    StreamClock clock(44100.0);
    double worst = 0.0;
    deliver(atEndOfFile, random, clock, worst, 0.0);
    EXPECT_TRUE(clock.runningWild());
}
