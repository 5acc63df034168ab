#include "MyRingBuffer.h"
#include "RingTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr std::uint32_t kFrameBytes = 8;

// The ring's meaning without its storage: a window of frame numbers and each held
// frame's bytes.
struct ReferenceRing {
    std::uint32_t bytesPerFrame;
    std::int64_t capacity;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> frames;

    void put(const std::uint8_t* block, std::int64_t first, std::int64_t from, std::int64_t to) {
        for (std::int64_t f = from; f < to; ++f) {
            const auto* bytes = block + (f - first) * bytesPerFrame;
            frames[f].assign(bytes, bytes + bytesPerFrame);
        }
    }

    int store(const std::uint8_t* block, std::int64_t count, std::int64_t t) {
        if (count > capacity) {
            return 0;
        }
        if (count == 0) {
            return 1;
        }
        const std::int64_t e = t + count;
        if (t >= end + capacity) {
            start = end = 0;
        }
        if (start == 0) {
            frames.clear();
            start = t;
            end = e;
            put(block, t, t, e);
            return 1;
        }
        if (e > end) {
            for (std::int64_t f = end; f < t; ++f) {
                frames[f].assign(bytesPerFrame, 0);
            }
            end = e;
            start = std::max(start, e - capacity);
            frames.erase(frames.begin(), frames.lower_bound(start));
        }
        put(block, t, std::max(t, start), e);
        return 1;
    }

    double fetch(std::uint8_t* block, std::int64_t count, std::int64_t t) const {
        if (t < start) {
            return static_cast<double>(t - start);
        }
        if (t + count > end) {
            return static_cast<double>(t + count - end);
        }
        for (std::int64_t f = t; f < t + count; ++f) {
            std::copy(frames.at(f).begin(), frames.at(f).end(), block + (f - t) * bytesPerFrame);
        }
        return static_cast<double>(end - t - count);
    }
};

std::vector<std::uint8_t> bytesOf(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

std::vector<std::uint8_t> fetched(const MyRingBuffer& ring, std::uint32_t frames, std::int64_t t,
                                  double* result = nullptr) {
    std::vector<std::uint8_t> bytes(frames * ring.bytesPerFrame(), 0xEE);
    const double r = ring.fetchData(bytes.data(), frames, t);
    if (result != nullptr) {
        *result = r;
    }
    return bytes;
}

} // namespace

TEST(MyRingBuffer, AgreesWithReferenceOnRandomSequences) {
    struct Shape {
        std::int32_t bytesPerFrame, capacity, operations;
    };
    for (const Shape shape :
         {Shape{8, 1000, 6000}, Shape{3, 37, 6000}, Shape{1, 5, 3000}, Shape{8, 88200, 150}}) {
        SCOPED_TRACE(::testing::Message() << shape.bytesPerFrame << " x " << shape.capacity);
        std::mt19937_64 random(20240611 + shape.capacity);
        MyRingBuffer ring;
        ring.AllocateBytes(shape.bytesPerFrame, shape.capacity);
        ReferenceRing model{
            static_cast<std::uint32_t>(shape.bytesPerFrame), shape.capacity, 0, 0, {}};
        const std::int64_t cap = shape.capacity;
        auto pick = [&](std::int64_t lo, std::int64_t hi) {
            return std::uniform_int_distribution<std::int64_t>(lo, hi)(random);
        };
        for (int op = 0; op < shape.operations; ++op) {
            SCOPED_TRACE(op);
            std::int64_t count = pick(1, cap);
            switch (pick(0, 5)) {
            case 0:
                count = 0;
                break;
            case 1:
                count = cap + pick(0, 1);
                break;
            default:
                break;
            }
            const std::int64_t s = model.start, e = model.end;
            std::int64_t t = 0;
            switch (pick(0, 11)) {
            case 0:
                t = s - pick(1, cap);
                break;
            case 1:
                t = s;
                break;
            case 2:
                t = pick(s, std::max(s, e - 1));
                break;
            case 3:
                t = e - count;
                break;
            case 4:
                t = e;
                break;
            case 5:
                t = e + pick(1, cap - 1 + (cap == 1));
                break;
            case 6:
                t = e + cap + pick(0, 2);
                break;
            case 7:
                t = pick(-3 * cap, 3 * cap);
                break;
            case 8:
                t = pick(-2, 2);
                break;
            case 9:
                t = pick(1, 1) << pick(31, 45);
                break;
            case 10:
                t = -pick(1, cap) - (pick(0, 1) << 40);
                break;
            default:
                t = e + pick(0, cap / 4);
                break;
            }
            std::vector<std::uint8_t> block(count * shape.bytesPerFrame + 1);
            for (auto& byte : block) {
                byte = static_cast<std::uint8_t>(random());
            }
            if (pick(0, 1) == 0) {
                const int stored =
                    ring.storeData(block.data(), static_cast<std::uint32_t>(count), t);
                ASSERT_EQ(stored, model.store(block.data(), count, t)) << "store at " << t;
                ASSERT_EQ(ring.startFrame(), model.start);
                ASSERT_EQ(ring.endFrame(), model.end);
                ASSERT_LE(ring.endFrame() - ring.startFrame(), cap);
                ASSERT_EQ(ring.startOffset(), ring.FrameOffset(ring.startFrame()));
            } else {
                std::vector<std::uint8_t> expected(count * shape.bytesPerFrame, 0xEE);
                double result = 0;
                const auto got = fetched(ring, static_cast<std::uint32_t>(count), t, &result);
                ASSERT_EQ(result, model.fetch(expected.data(), count, t)) << "fetch at " << t;
                ASSERT_EQ(got, expected) << "fetch at " << t;
            }
        }
    }
}

TEST(MyRingBuffer, StoresAndDropsLikeTheWorkedExamples) {
    MyRingBuffer ring;
    ring.AllocateBytes(kFrameBytes, 1000);
    EXPECT_EQ(ring.capacityBytes(), 8000u);

    // Empty ring: a store of 256 frames at 5000 opens the window at offset 0.
    EXPECT_EQ(ring.storeData(framesFrom(5000, 256).data(), 256, 5000), 1);
    EXPECT_EQ(ring.startFrame(), 5000);
    EXPECT_EQ(ring.endFrame(), 5256);
    EXPECT_EQ(ring.startOffset(), 0u);
    // Frames before the window land backwards from the start offset.
    EXPECT_EQ(ring.FrameOffset(4999), 999 * kFrameBytes);
    EXPECT_EQ(ring.FrameOffset(4000), 0u);
    EXPECT_EQ(ring.FrameOffset(2999), 999 * kFrameBytes);
    EXPECT_EQ(std::memcmp(ring.storage(), framesFrom(5000, 256).data(), 256 * kFrameBytes), 0);

    // Too long: refused, nothing changes and nothing is read (ASan would see the read).
    EXPECT_EQ(ring.storeData(framesFrom(0, 1).data(), 1001, 5256), 0);
    EXPECT_EQ(ring.endFrame(), 5256);

    // Fill to capacity, then move along: both ends and the offset move by n.
    EXPECT_EQ(ring.storeData(framesFrom(5256, 744).data(), 744, 5256), 1);
    EXPECT_EQ(ring.storeData(framesFrom(6000, 300).data(), 300, 6000), 1);
    EXPECT_EQ(ring.startFrame(), 5300);
    EXPECT_EQ(ring.endFrame(), 6300);
    EXPECT_EQ(ring.startOffset(), 300 * kFrameBytes);
    // A block whose bytes run past the end of the storage: split, fetched back whole.
    EXPECT_EQ(ring.storeData(framesFrom(6300, 900).data(), 900, 6300), 1);
    EXPECT_EQ(ring.startOffset(), 200 * kFrameBytes);
    EXPECT_EQ(ring.FrameOffset(6200 - 1), 199 * kFrameBytes);
    EXPECT_EQ(ring.FrameOffset(6200 - 201), 999 * kFrameBytes);
    EXPECT_EQ(ring.FrameOffset(7200), 200 * kFrameBytes);
    EXPECT_EQ(std::memcmp(ring.storage() + 300 * kFrameBytes, framesFrom(6300, 700).data(),
                          700 * kFrameBytes),
              0);
    EXPECT_EQ(std::memcmp(ring.storage(), framesFrom(7000, 200).data(), 200 * kFrameBytes), 0);
    double result = 0;
    EXPECT_EQ(fetched(ring, 900, 6300, &result), bytesOf(framesFrom(6300, 900)));
    EXPECT_EQ(result, 0.0);

    // Whole window: 0.0; one frame early or late: -1.0 / 1.0 and the destination kept.
    EXPECT_EQ(fetched(ring, 1000, 6200, &result), bytesOf(framesFrom(6200, 1000)));
    EXPECT_EQ(result, 0.0);
    EXPECT_EQ(fetched(ring, 1000, 6199, &result), std::vector<std::uint8_t>(8000, 0xEE));
    EXPECT_EQ(result, -1.0);
    EXPECT_EQ(fetched(ring, 1000, 6201, &result), std::vector<std::uint8_t>(8000, 0xEE));
    EXPECT_EQ(result, 1.0);
    EXPECT_EQ(fetched(ring, 1001, 6200, &result), std::vector<std::uint8_t>(8008, 0xEE));
    EXPECT_EQ(result, 1.0);

    // Inside the window: overwritten in place, window and offset stay.
    EXPECT_EQ(ring.storeData(framesFrom(1, 10).data(), 10, 6500), 1);
    EXPECT_EQ(ring.startFrame(), 6200);
    EXPECT_EQ(ring.endFrame(), 7200);
    EXPECT_EQ(ring.startOffset(), 200 * kFrameBytes);
    EXPECT_EQ(fetched(ring, 10, 6500), bytesOf(framesFrom(1, 10)));

    // Ending in the window but beginning before it: the held part is overwritten, the
    // frames before the window leave the frames a capacity later alone.
    EXPECT_EQ(ring.storeData(framesFrom(6100, 200).data(), 200, 6100), 1);
    EXPECT_EQ(ring.startFrame(), 6200);
    EXPECT_EQ(fetched(ring, 100, 6200), bytesOf(framesFrom(6200, 100)));
    EXPECT_EQ(fetched(ring, 100, 7100), bytesOf(framesFrom(7100, 100)));

    // A gap below the capacity is zeroed, even where older frames lay in the storage.
    EXPECT_EQ(ring.storeData(framesFrom(7250, 10).data(), 10, 7250), 1);
    EXPECT_EQ(fetched(ring, 50, 7200), std::vector<std::uint8_t>(400, 0));
    EXPECT_EQ(fetched(ring, 10, 7250), bytesOf(framesFrom(7250, 10)));
    EXPECT_EQ(ring.startFrame(), 6260);

    // One frame short of a whole capacity ahead still keeps the window; a whole capacity
    // ahead clears the storage and starts afresh at offset 0.
    EXPECT_EQ(ring.storeData(framesFrom(8259, 1).data(), 1, 8259), 1);
    EXPECT_EQ(ring.startFrame(), 7260);
    EXPECT_EQ(ring.storeData(framesFrom(9260, 4).data(), 4, 9260), 1);
    EXPECT_EQ(ring.startFrame(), 9260);
    EXPECT_EQ(ring.endFrame(), 9264);
    EXPECT_EQ(ring.startOffset(), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(ring.storage() + 32, ring.storage() + 8000),
              std::vector<std::uint8_t>(8000 - 32, 0));

    // Exactly the capacity in one store is accepted and fills the storage.
    EXPECT_EQ(ring.storeData(framesFrom(9264, 1000).data(), 1000, 9264), 1);
    EXPECT_EQ(ring.startFrame(), 9264);
    EXPECT_EQ(fetched(ring, 1000, 9264), bytesOf(framesFrom(9264, 1000)));
}

TEST(MyRingBuffer, EmptyRingAndFrameZero) {
    MyRingBuffer ring;
    ring.AllocateBytes(kFrameBytes, 1000);
    double result = 0;
    EXPECT_EQ(fetched(ring, 64, 300, &result), std::vector<std::uint8_t>(512, 0xEE));
    EXPECT_EQ(result, 364.0);
    fetched(ring, 64, -300, &result);
    EXPECT_EQ(result, -300.0);

    // A window that begins at frame 0 counts as empty: the next store starts afresh.
    EXPECT_EQ(ring.storeData(framesFrom(0, 100).data(), 100, 0), 1);
    EXPECT_EQ(fetched(ring, 100, 0), bytesOf(framesFrom(0, 100)));
    EXPECT_EQ(ring.storeData(framesFrom(100, 100).data(), 100, 100), 1);
    EXPECT_EQ(ring.startFrame(), 100);
    EXPECT_EQ(ring.endFrame(), 200);
    EXPECT_EQ(ring.startOffset(), 0u);
    fetched(ring, 1, 0, &result);
    EXPECT_EQ(result, -100.0);

    // Clear empties; a new allocation drops everything and takes the new shape.
    ring.Clear();
    EXPECT_EQ(ring.endFrame(), 0);
    EXPECT_EQ(std::count(ring.storage(), ring.storage() + 8000, 0), 8000);
    ring.storeData(framesFrom(7, 5).data(), 5, 7);
    ring.AllocateBytes(3, 88200);
    EXPECT_EQ(ring.capacityBytes(), 3u * 88200u);
    EXPECT_EQ(ring.startFrame(), 0);
    EXPECT_EQ(ring.endFrame(), 0);
}

TEST(MyRingBuffer, ZeroFramesCopyNothingAndMoveNothing) {
    MyRingBuffer ring;
    ring.AllocateBytes(kFrameBytes, 1000);
    ring.storeData(framesFrom(5000, 256).data(), 256, 5000);
    // Null blocks: any copy would crash.
    EXPECT_EQ(ring.storeData(nullptr, 0, 5100), 1);
    EXPECT_EQ(ring.storeData(nullptr, 0, 9000), 1);   // would otherwise zero a gap
    EXPECT_EQ(ring.storeData(nullptr, 0, 900000), 1); // would otherwise clear
    EXPECT_EQ(ring.startFrame(), 5000);
    EXPECT_EQ(ring.endFrame(), 5256);
    EXPECT_EQ(ring.fetchData(nullptr, 0, 5256), 0.0);
    EXPECT_EQ(ring.fetchData(nullptr, 0, 5000), 256.0);
    EXPECT_EQ(ring.fetchData(nullptr, 0, 4999), -1.0);
    EXPECT_EQ(fetched(ring, 256, 5000), bytesOf(framesFrom(5000, 256)));
}

TEST(MyRingBuffer, UnusableShapesLeaveNoStorage) {
    for (auto [bytes, frames] : {std::pair{0, 100}, std::pair{-8, 100}, std::pair{8, 0},
                                 std::pair{8, -1}, std::pair{65536, 65537}}) {
        MyRingBuffer ring;
        ring.AllocateBytes(bytes, frames);
        EXPECT_EQ(ring.storage(), nullptr);
        EXPECT_EQ(ring.capacityBytes(), 0u);
        std::uint32_t word = 0;
        EXPECT_EQ(ring.storeData(&word, 1, 10), 0);
        EXPECT_GT(ring.fetchData(&word, 1, 10), 0.0);
        EXPECT_LT(ring.fetchData(&word, 1, -10), 0.0);
    }
    // Frame numbers no device clock reaches are refused rather than overflowing.
    MyRingBuffer ring;
    ring.AllocateBytes(kFrameBytes, 1000);
    const auto block = framesFrom(0, 10);
    EXPECT_EQ(ring.storeData(block.data(), 10, INT64_MAX - 5), 0);
    EXPECT_EQ(ring.storeData(block.data(), 10, INT64_MIN), 0);
    EXPECT_GT(ring.fetchData(nullptr, 10, INT64_MAX - 5), 0.0);
    EXPECT_LT(ring.fetchData(nullptr, 10, INT64_MIN), 0.0);
    EXPECT_LT(ring.FrameOffset(INT64_MIN), 8000u);
}

TEST(MyRingBuffer, StreamCrossesTwoToThe31AndThe32) {
    for (const std::int64_t boundary : {std::int64_t{1} << 31, std::int64_t{1} << 32}) {
        MyRingBuffer ring;
        ring.AllocateBytes(kFrameBytes, 88200);
        const std::int64_t first = boundary - 200 * 512 + 17;
        for (std::int64_t t = first; t < boundary + 200 * 512; t += 512) {
            ASSERT_EQ(ring.storeData(framesFrom(t, 512).data(), 512, t), 1);
            const std::int64_t behind = t + 512 - 1200;
            if (behind >= first) {
                double result = 0;
                ASSERT_EQ(fetched(ring, 512, behind, &result), bytesOf(framesFrom(behind, 512)))
                    << behind;
                ASSERT_EQ(result, 688.0);
            }
        }
        EXPECT_GT(ring.startFrame(), boundary);
        EXPECT_EQ(ring.endFrame() - ring.startFrame(), 88200);
    }
}
