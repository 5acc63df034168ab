// The channel choice's share of an output block: noting every channel of one 512-frame
// interleaved block of hum and hiss, and on every fourth block the end of an analysis
// window, for 2 and 32 channels. Goal: a small share of the 11.6 ms block period, and
// nothing the output procedure's own cost for two channels would show.
#include "InputChannelChoice.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr std::uint32_t kFrames = 512;

void BM_ChannelChoicePerBlock(benchmark::State& state) {
    const auto channels = static_cast<std::uint32_t>(state.range(0));
    std::vector<float> block(static_cast<std::size_t>(kFrames) * channels);
    std::mt19937 random(1);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = 0.05f * std::sin(static_cast<float>(i / channels) * 0.007f) + noise(random);
    }
    InputChannelChoice choice;
    choice.reset(channels);
    std::uint32_t step = 0;
    for (auto _ : state) {
        if (step++ % 4 == 0) {
            benchmark::DoNotOptimize(choice.endWindow());
        }
        // Two channels are noted from the left and right buffers the output procedure splits
        // them into; more as they are interleaved.
        if (channels == 2) {
            choice.notePair(block.data(), block.data() + kFrames, kFrames);
        } else {
            choice.noteInterleaved(block.data(), kFrames);
        }
        choice.endBlock(kFrames);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ChannelChoicePerBlock)->Arg(2)->Arg(32);

} // namespace
