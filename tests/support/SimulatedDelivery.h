#pragma once

// A device's deliveries, simulated: it captures 512-frame blocks at its own rate and hands
// them over in bursts, late, jittered, or not at all.

#include <algorithm>
#include <random>

struct Delivery {
    const char* what;
    double seconds = 8.0;                 // how long the device captures
    double rate = 1.0;                    // its clock against the nominal rate (0.95: 5 % slow)
    int burst = 512;                      // frames handed over at once
    double jitter = 0.0;                  // each burst up to this late, at random
    double lateUntil = 0.0;               // nothing handed over before this, then all at once
    int loseEvery = 0;                    // one block in this many never handed over
    int keepEvery = 0;                    // only one block in this many handed over (starving)
    double failingFrom = 0.0;             // blocks lost or starved from here on
    double stallAt = 0.0, stallFor = 0.0; // blocks captured meanwhile are lost ...
    double stallEvery = 0.0;              // ... and again every this many seconds
    double speed = 1.0;                   // handed over this many times too fast
};

// A number drawn evenly from [low, high).
inline double uniform(std::mt19937& random, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
}

// A healthy delivery drawn at random: the right average rate, in bursts of 256 to 8192
// frames, up to 50 ms late, from a clock up to 1000 ppm off.
inline Delivery healthyDelivery(std::mt19937& random) {
    Delivery d{"healthy"};
    d.burst = 256 * static_cast<int>(uniform(random, 1, 33));
    d.jitter = uniform(random, 0.0, 0.05);
    d.rate = 1.0 + uniform(random, -1e-3, 1e-3);
    return d;
}

// Calls handOver(seconds, block) for each block handed over, in order, block being its
// number in the capture (lost ones included). Returns the frames never handed over.
template <class HandOver>
double simulateDelivery(const Delivery& d, std::mt19937& random, HandOver handOver) {
    const double period = 512.0 / (44100.0 * d.rate) / d.speed;
    const int perBurst = std::max(1, d.burst / 512);
    std::uniform_real_distribution<double> late(0.0, d.jitter);
    double burstTime = 0.0, lost = 0.0;
    for (int k = 0; k * period < d.seconds; ++k) {
        const double captured = (k + 1) * period;
        double sinceStall = captured - d.stallAt;
        if (d.stallEvery > 0.0 && sinceStall > 0.0) {
            sinceStall -= d.stallEvery * static_cast<int>(sinceStall / d.stallEvery);
        }
        const bool failing = captured >= d.failingFrom;
        if ((failing && d.loseEvery > 0 && k % d.loseEvery == d.loseEvery - 1) ||
            (failing && d.keepEvery > 0 && k % d.keepEvery != 0) ||
            (sinceStall >= 0.0 && sinceStall < d.stallFor)) {
            lost += 512.0;
            continue;
        }
        if (k % perBurst == 0) { // a new burst: handed over once its last block is captured
            burstTime = std::max(burstTime, (k + perBurst) * period + late(random));
        }
        if (!handOver(std::max({burstTime, d.lateUntil, captured}), k)) {
            break;
        }
    }
    return lost;
}
