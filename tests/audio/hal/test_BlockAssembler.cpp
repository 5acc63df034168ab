// The JACK backend's block assembly on a made-up server: a tone at the server's rate, in
// periods drawn at random (seeded and printed; the period changes now and then, as a
// server's buffer size does), with frames lost now and then. Every block holds 512 frames at
// 44100 Hz whose sample time places it where the tone says it belongs: the tone's phase at
// each block's time is the same all along, gaps or not, blocks follow each other without a
// frame dropped or doubled, and at 44100 Hz the samples pass bit for bit.
#include "BlockAssembler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr double kEngineRate = 44100.0;
constexpr double kTone = 329.63;
constexpr std::uint32_t kBlock = BlockAssembler::kBlockFrames;

// The tone's phase at the engine's sample time `time`: the least-squares fit of a sine and a
// cosine of the tone over one block.
double phaseAt(const float* block, double time) {
    const double step = 2.0 * M_PI * kTone / kEngineRate;
    double ss = 0.0, sc = 0.0, cc = 0.0, xs = 0.0, xc = 0.0;
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        const double s = std::sin(step * (time + i)), c = std::cos(step * (time + i));
        ss += s * s;
        sc += s * c;
        cc += c * c;
        xs += block[i] * s;
        xc += block[i] * c;
    }
    const double determinant = ss * cc - sc * sc;
    return std::atan2((ss * xc - sc * xs) / determinant, (cc * xs - sc * xc) / determinant);
}

// The tone at the server's frame `frame`, as the server hands it over.
float tone(std::int64_t frame, double rate) {
    return static_cast<float>(0.5 *
                              std::sin(2.0 * M_PI * kTone * static_cast<double>(frame) / rate));
}

} // namespace

TEST(BlockAssembler, BlocksKeepTheirPlaceAtAnyRatePeriodAndGap) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> periods(64, 2048);
    for (const double rate : {44100.0, 48000.0, 96000.0, 32000.0, 192000.0}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, seed " << seed);
        BlockAssembler assembler(kEngineRate);
        ASSERT_TRUE(assembler.prepare(rate));
        std::int64_t source = 0;                // the server's frame clock, lost frames included
        int gaps = 0, blocks = 0, settling = 4; // settling: blocks left out of the phase check
        // Phase: at the first block after the settling; the last gap, in engine frames, less a
        // frame each side.
        double nextTime = 0.0, phase = NAN, gapFrom = 0.0, gapTo = 0.0;
        auto onBlock = [&](const float* block, double time) {
            for (std::uint32_t i = 0; i < kBlock; ++i) {
                ASSERT_FALSE(time + i >= gapFrom && time + i < gapTo && block[i] != 0.0f)
                    << "a frame lost is not silent at " << time + i;
            }
            phase = settling == 0 && std::isnan(phase) ? phaseAt(block, time) : phase;
            if (settling > 0) {
                --settling;
            } else {
                // Within one frame at the tone's frequency.
                EXPECT_NEAR(std::remainder(phaseAt(block, time) - phase, 2.0 * M_PI), 0.0,
                            2.0 * M_PI * kTone / kEngineRate)
                    << "block " << blocks << " at " << time << " after " << gaps << " gaps";
            }
            if (gaps == 0) { // and at the engine's rate, bit for bit
                EXPECT_EQ(time, nextTime) << "block " << blocks;
                for (std::uint32_t i = 0; i < kBlock && rate == kEngineRate; ++i) {
                    ASSERT_EQ(block[i], tone(static_cast<std::int64_t>(time) + i, rate)) << i;
                }
            }
            nextTime = time + kBlock;
            ++blocks;
        };
        std::vector<float> period(2048);
        std::int64_t nextGap = static_cast<std::int64_t>(rate); // one a second
        int length = periods(random);
        while (source < static_cast<std::int64_t>(8.0 * rate)) {
            if (random() % 40 == 0) {
                length = periods(random);
            }
            if (source >= nextGap) {
                nextGap += static_cast<std::int64_t>(rate);
                // Frames that never arrive, up to a second: the tone goes on without them.
                const auto frames = static_cast<std::uint32_t>(random() % static_cast<int>(rate));
                // The block cut short holds zeros; the converter starts afresh after it.
                settling = 3;
                EXPECT_TRUE(gaps++ > 0 || blocks >= 64) << blocks << " blocks before the first gap";
                gapFrom = source * kEngineRate / rate + 1.0;
                gapTo = (source + frames) * kEngineRate / rate - 1.0;
                const double before = assembler.sampleTime();
                assembler.skip(frames, onBlock);
                source += frames;
                // The clock moves on by the gap, and by what the converter held before it.
                EXPECT_GE(assembler.sampleTime() - before, frames * kEngineRate / rate - 1.0);
                EXPECT_LE(assembler.sampleTime() - before, frames * kEngineRate / rate + 64.0);
            }
            for (int i = 0; i < length; ++i) {
                period[i] = tone(source + i, rate);
            }
            assembler.push(period.data(), static_cast<std::uint32_t>(length), onBlock);
            source += length;
        }
        // Every frame is in a block, jumped over or still in the converter or the block
        // being filled.
        const double engineFrames = static_cast<double>(source) * kEngineRate / rate;
        EXPECT_LE(assembler.sampleTime(), engineFrames + 1.0);
        EXPECT_GE(assembler.sampleTime(), engineFrames - 64.0);
        EXPECT_GE(gaps, 6);
    }
}
