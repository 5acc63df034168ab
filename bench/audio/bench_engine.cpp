// One IO procedure call each, on a started sound port whose procedures the benchmark calls
// itself: the output call for 512 frames with the intake and, every fourth call, the
// analysis; the input call storing one block. Goals: output under 1 % of the 11.6 ms
// buffer period (averaged over four calls), input under 0.1 %.
#include "Diagnostics.h"
#include "MySoundPort.h"
#include "SoundView.h"
#include "TunerConstants.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr std::uint32_t kFrames = 512;

// One interleaved stereo block of a 329.63 Hz tone from frame `first` on.
struct Block {
    std::vector<float> samples = std::vector<float>(2 * kFrames);
    AudioBufferList list;
    explicit Block(std::int64_t first = -1) {
        for (std::uint32_t i = 0; first >= 0 && i < kFrames; ++i) {
            const double t = static_cast<double>(first + i) / tuner::kSampleRate;
            samples[2 * i] = samples[2 * i + 1] =
                0.5f * static_cast<float>(std::sin(2.0 * M_PI * 329.63 * t));
        }
        list.mNumberBuffers = 1;
        list.mBuffers[0] = {2, static_cast<std::uint32_t>(samples.size() * 4), samples.data()};
    }
};

void callInput(MySoundPort& port, double time, const Block& block) {
    AudioTimeStamp stamp;
    stamp.mSampleTime = time;
    InputIOProc(1, &stamp, &block.list, &stamp, nullptr, nullptr, &port);
}

void callOutput(MySoundPort& port, double time, Block& block) {
    AudioTimeStamp stamp;
    stamp.mSampleTime = time;
    OutputIOProc(2, &stamp, nullptr, nullptr, &block.list, &stamp, &port);
}

// A port past its handshake, reading 2 s of stored tone.
struct StartedPort {
    SoundView view{NSMakeRect(0, 0, 700, 300)};
    MySoundPort port;

    StartedPort() {
        port.setSoundView(&view);
        // The device reports are not what is measured.
        std::FILE* reports = std::fopen("/dev/null", "w");
        captureDiagnostics(reports);
        port.setup();
        port.start();
        captureDiagnostics(nullptr);
        if (reports != nullptr) {
            std::fclose(reports);
        }
        Block out;
        for (double time = kFrames; time <= 2 * tuner::kSampleRate; time += kFrames) {
            callInput(port, time, Block(static_cast<std::int64_t>(time)));
            callOutput(port, time, out);
        }
    }
};

// Four output calls per iteration: three intakes and one that completes the window and
// analyses it. Every fetch hits the tone stored beforehand.
void BM_OutputProcFourCalls(benchmark::State& state) {
    StartedPort started;
    // The last 24 blocks before the stored tone's end, read over and over: close enough
    // behind the input that the output never measures its offset again.
    const double first = 2 * tuner::kSampleRate - 24.0 * kFrames;
    Block out;
    std::int64_t call = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i, ++call) {
            callOutput(started.port, first + kFrames * static_cast<double>(call % 24), out);
        }
        benchmark::DoNotOptimize(out.samples.data());
    }
    state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_OutputProcFourCalls)->Unit(benchmark::kMicrosecond);

void BM_InputProc(benchmark::State& state) {
    StartedPort started;
    const Block block(0);
    double time = 4 * tuner::kSampleRate;
    for (auto _ : state) {
        callInput(started.port, time, block);
        time += kFrames;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InputProc)->Unit(benchmark::kMicrosecond);

} // namespace
