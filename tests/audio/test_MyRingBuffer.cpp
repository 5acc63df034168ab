// The ring against a model of what it means (a window of frame numbers, each held frame's
// bytes) on random stores and fetches; shapes and frame numbers it refuses. And the channel
// filter, which writes silence.
#include "MyFilter.h"
#include "MyRingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <tuple>
#include <vector>

// What the ring means: a window of frame numbers (start 0: empty) and each held frame's bytes.
struct ReferenceRing {
    std::int64_t bytesPerFrame, capacity, start = 0, end = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> frames;

    int store(const std::uint8_t* block, std::int64_t count, std::int64_t t) {
        if (count > capacity || count == 0) {
            return count == 0;
        }
        if (start == 0 || t >= end + capacity) {
            frames.clear();
            start = end = t;
        }
        for (std::int64_t f = end; f < t; ++f) {
            frames[f].assign(bytesPerFrame, 0);
        }
        end = std::max(end, t + count);
        start = std::max(start, end - capacity);
        frames.erase(frames.begin(), frames.lower_bound(start));
        for (std::int64_t f = std::max(t, start); f < t + count; ++f) {
            frames[f].assign(block + (f - t) * bytesPerFrame, block + (f - t + 1) * bytesPerFrame);
        }
        return 1;
    }
    double fetch(std::uint8_t* block, std::int64_t count, std::int64_t t) const {
        if (t < start || t + count > end) {
            return static_cast<double>(t < start ? t - start : t + count - end);
        }
        for (std::int64_t f = t; f < t + count; ++f) {
            std::copy(frames.at(f).begin(), frames.at(f).end(), block + (f - t) * bytesPerFrame);
        }
        return static_cast<double>(end - t - count);
    }
};

TEST(MyRingBuffer, AgreesWithReferenceOnRandomSequences) {
    // Bytes a frame, capacity, operations.
    const std::tuple<std::int32_t, std::int32_t, int> shapes[] = {
        {8, 1000, 6000}, {3, 37, 6000}, {1, 5, 3000}, {8, 88200, 150}};
    for (const auto& [bytesPerFrame, capacity, operations] : shapes) {
        SCOPED_TRACE(::testing::Message() << bytesPerFrame << " x " << capacity);
        std::mt19937_64 random(20240611 + capacity);
        MyRingBuffer ring;
        ring.AllocateBytes(bytesPerFrame, capacity);
        ReferenceRing model{bytesPerFrame, capacity, 0, 0, {}};
        const std::int64_t cap = capacity;
        auto pick = [&](std::int64_t lo, std::int64_t hi) {
            return std::uniform_int_distribution<std::int64_t>(lo, hi)(random);
        };
        for (int op = 0; op < operations; ++op) {
            SCOPED_TRACE(op);
            const std::int64_t kind = pick(0, 5);
            const std::int64_t count = kind == 0 ? 0 : kind == 1 ? cap + pick(0, 1) : pick(1, cap);
            const std::int64_t s = model.start, e = model.end;
            // Around both edges of the window, a capacity ahead, and far off on both sides.
            const std::function<std::int64_t()> times[] = {
                [&] { return s - pick(1, cap); },
                [&] { return s; },
                [&] { return pick(s, std::max(s, e - 1)); },
                [&] { return e - count; },
                [&] { return e; },
                [&] { return e + pick(1, cap - 1 + (cap == 1)); },
                [&] { return e + cap + pick(0, 2); },
                [&] { return pick(-3 * cap, 3 * cap); },
                [&] { return pick(-2, 2); },
                [&] { return std::int64_t{1} << pick(31, 45); },
                [&] { return -pick(1, cap) - (pick(0, 1) << 40); },
                [&] { return e + pick(0, cap / 4); },
            };
            const std::int64_t t = times[pick(0, 11)]();
            std::vector<std::uint8_t> block(count * bytesPerFrame + 1);
            std::generate(block.begin(), block.end(), [&] { return random(); });
            if (pick(0, 1) == 0) {
                const int stored =
                    ring.storeData(block.data(), static_cast<std::uint32_t>(count), t);
                ASSERT_EQ(stored, model.store(block.data(), count, t)) << "store at " << t;
                ASSERT_EQ(std::tuple(ring.startFrame(), ring.endFrame(), ring.startOffset()),
                          std::tuple(model.start, model.end, ring.FrameOffset(model.start)));
            } else {
                std::vector<std::uint8_t> expected(count * bytesPerFrame, 0xEE), got(expected);
                const double result =
                    ring.fetchData(got.data(), static_cast<std::uint32_t>(count), t);
                ASSERT_EQ(result, model.fetch(expected.data(), count, t)) << "fetch at " << t;
                ASSERT_EQ(got, expected) << "fetch at " << t;
            }
        }
    }
}

TEST(MyRingBuffer, RefusesFramesNoClockReachesAndEmptiesOnAllocation) {
    MyRingBuffer ring;
    ring.AllocateBytes(8, 1000);
    const std::vector<std::uint64_t> block(256);
    ring.storeData(block.data(), 256, 5000);
    // Refused rather than overflowing, the window as it was.
    EXPECT_EQ(ring.storeData(block.data(), 10, INT64_MAX - 5), 0);
    EXPECT_EQ(ring.storeData(block.data(), 10, INT64_MIN), 0);
    EXPECT_GT(ring.fetchData(nullptr, 10, INT64_MAX - 5), 0.0);
    EXPECT_LT(ring.fetchData(nullptr, 10, INT64_MIN), 0.0);
    // INT64_MIN lies 9223372036854780808 frames before the origin (5000): 192 slots past it.
    EXPECT_EQ(ring.FrameOffset(INT64_MIN), 192u * 8);
    EXPECT_EQ(ring.endFrame() - ring.startFrame(), 256);
    // A new allocation drops what was held and takes the new shape, or none when it cannot.
    ring.AllocateBytes(65536, 65537);
    EXPECT_EQ(ring.capacityFrames() + ring.storeData(block.data(), 1, 10), 0u);
    ring.AllocateBytes(3, 88200);
    EXPECT_EQ(ring.capacityBytes(), 3u * 88200u);
    EXPECT_EQ(ring.startFrame() + ring.endFrame(), 0);
}

TEST(MyFilter, WritesPositiveZeroToExactlyCountSamples) {
    MyFilter filter;
    std::vector<float> block{0.5f, -0.25f, NAN, -7.0f};
    filter.filterInput(block.data(), block.data(), 3, 99);
    EXPECT_EQ(block, (std::vector<float>{0.0f, 0.0f, 0.0f, -7.0f}));
    EXPECT_FALSE(std::signbit(block[1]));
    EXPECT_EQ(filter.slider1 + filter.slider2, 2.0f); // untouched
}
