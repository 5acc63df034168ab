#include "MyRingBuffer.h"
#include "RingTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kBlock = 512;
constexpr std::int64_t kBehind = 1200;
constexpr std::uint32_t kUntouched = 0xFFFFFFFFu;

struct StressOutcome {
    long hits = 0;
    long misses = 0;
    long refusals = 0;
    long wrongFrames = 0;
};

// One thread stores 512-frame blocks at increasing frame numbers, now and then jumping a
// whole capacity ahead (which clears the ring); the other fetches about 1200 frames
// behind the newest and checks every frame of every successful fetch.
// The writer goes on past its blocks until there were enough hits and collisions.
StressOutcome stress(std::int32_t capacity, std::int64_t firstFrame, long blocks, long minHits,
                     long minCollisions) {
    MyRingBuffer ring;
    ring.AllocateBytes(8, capacity);
    std::atomic<std::int64_t> newest{firstFrame};
    std::atomic<bool> done{false};
    std::atomic<long> hits{0};
    std::atomic<long> collisions{0}; // misses and refusals
    StressOutcome outcome;

    std::thread writer([&] {
        std::vector<std::uint32_t> block(2 * kBlock);
        std::int64_t t = firstFrame;
        for (long i = 0;
             i < blocks ||
             ((hits.load() < minHits || collisions.load() < minCollisions) && i < 100 * blocks);
             ++i) {
            if (i % 997 == 996) {
                t += capacity; // lands a whole capacity ahead: the ring clears
            }
            fillFrames(block.data(), t, kBlock);
            // A store is refused while a fetch copies frames it would overwrite; the
            // test's writer tries again so that the stream has no holes.
            while (ring.storeData(block.data(), kBlock, t) == 0) {
                ++outcome.refusals;
                collisions.fetch_add(1);
            }
            t += kBlock;
            newest.store(t, std::memory_order_relaxed);
        }
        done.store(true);
    });

    std::vector<std::uint32_t> got(2 * kBlock);
    std::vector<std::uint32_t> want(2 * kBlock);
    while (!done.load()) {
        const std::int64_t t = newest.load(std::memory_order_relaxed) - kBehind;
        if (t < firstFrame) {
            continue; // the writer has not stored enough yet
        }
        // A positive result is either a hit or a request past the end (the window is
        // empty just after a clear), so a fetch that wrote nothing is told by the marker.
        std::fill(got.begin(), got.end(), kUntouched);
        const double result = ring.fetchData(got.data(), kBlock, t);
        if (result < 0 || std::all_of(got.begin(), got.end(),
                                      [](std::uint32_t word) { return word == kUntouched; })) {
            ++outcome.misses;
            collisions.fetch_add(1);
            continue;
        }
        // A hit: every frame must be the one the writer derived from its number.
        fillFrames(want.data(), t, kBlock);
        for (std::uint32_t i = 0; i < 2 * kBlock; i += 2) {
            if (got[i] != want[i] || got[i + 1] != want[i + 1]) {
                ++outcome.wrongFrames;
            }
        }
        outcome.hits = hits.fetch_add(1) + 1;
    }
    writer.join();
    return outcome;
}

} // namespace

TEST(MyRingBufferConcurrency, FetchBehindStoreSeesWholeFramesOrMisses) {
    // The tuner's shape, across the 2^31 boundary: the fetch stays well inside the window.
    const StressOutcome normal = stress(88200, (std::int64_t{1} << 31) - 3000 * 512, 6000, 500, 0);
    EXPECT_EQ(normal.wrongFrames, 0);
    EXPECT_GE(normal.hits, 500);

    // A ring barely longer than the distance behind: every store while a fetch copies
    // would overwrite the fetched frames, so one of the two must give way.
    const StressOutcome tight = stress(1300, 1, 6000, 200, 200);
    EXPECT_EQ(tight.wrongFrames, 0);
    EXPECT_GE(tight.hits, 200);
    EXPECT_GE(tight.misses + tight.refusals, 200);
}
