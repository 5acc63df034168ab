// Two threads on one ring, as the two procedures use it: one stores 512-frame blocks at
// rising frame numbers, now and then a whole capacity ahead (which clears the ring); the
// other fetches 1200 frames behind the newest and checks every block it copied.
#include "MyRingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// Frames that say which frame they are, so that one from the wrong place or a torn one
// shows: two 32-bit words, both derived from the frame number.
static void fillFrames(std::uint32_t* words, std::int64_t first) {
    for (std::uint64_t frame = first; frame < static_cast<std::uint64_t>(first) + 512; ++frame) {
        *words++ = static_cast<std::uint32_t>(frame * 2654435761u);
        *words++ = static_cast<std::uint32_t>(frame >> 32) ^ 0x5A5A0000u ^
                   static_cast<std::uint32_t>(frame);
    }
}

// Runs the two for 6000 blocks at least, and on until there were enough fetches that
// copied (hits) and that missed or stores that were refused (collisions).
static void stress(std::int32_t capacity, std::int64_t firstFrame, long minHits,
                   long minCollisions) {
    MyRingBuffer ring;
    ring.AllocateBytes(8, capacity);
    std::atomic<std::int64_t> newest{firstFrame};
    std::atomic<bool> done{false};
    std::atomic<long> hits{0}, collisions{0};
    std::thread writer([&] {
        std::vector<std::uint32_t> block(1024);
        for (std::int64_t i = 0, t = firstFrame;
             i < 6000 || ((hits < minHits || collisions < minCollisions) && i < 600000);
             ++i, t += 512) {
            t += i % 997 == 996 ? capacity : 0;
            fillFrames(block.data(), t);
            // Refused while a fetch copies frames it would overwrite: tried again, so that
            // the stream has no holes.
            while (ring.storeData(block.data(), 512, t) == 0) {
                ++collisions;
            }
            newest.store(t + 512, std::memory_order_relaxed);
        }
        done = true;
    });
    std::vector<std::uint32_t> got(1024), want(1024);
    long wrong = 0;
    while (!done) {
        const std::int64_t t = newest.load(std::memory_order_relaxed) - 1200;
        bool copied = false;
        if (t >= firstFrame) {
            ring.fetchData(got.data(), 512, t, &copied);
            ++(copied ? hits : collisions);
        }
        if (copied) {
            fillFrames(want.data(), t);
            wrong += got != want;
        }
    }
    writer.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(hits >= minHits && collisions >= minCollisions) << hits << " hits, " << collisions;
}

TEST(MyRingBufferConcurrency, FetchBehindStoreSeesWholeFramesOrMisses) {
    // The tuner's shape, across the 2^31 boundary: the fetch stays well inside the window.
    stress(88200, (std::int64_t{1} << 31) - 3000 * 512, 500, 0);
    // A ring barely longer than the distance behind: a store while a fetch copies would
    // overwrite the fetched frames, so one of the two must give way.
    stress(1300, 1, 200, 200);
}
