// One IO procedure call each, on a sound port started on the fake boundary: the output
// call for 512 frames with the intake and, every fourth call, the analysis; the input
// call storing one block. Goals: output under 1 % of the 11.6 ms buffer period (averaged
// over four calls), input under 0.1 %.
#include "EngineTestSupport.h"
#include "SoundView.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>

namespace {

float tone(std::int64_t f) {
    return 0.5f *
           static_cast<float>(std::sin(2.0 * M_PI * 329.63 * static_cast<double>(f) / 44100.0));
}

struct StartedPort {
    SoundView view{NSMakeRect(0, 0, 700, 300)};
    std::unique_ptr<MySoundPort> port = std::make_unique<MySoundPort>();

    StartedPort() {
        fake::reset();
        fake::addDevice(stereoDevice(kInputId, true));
        fake::addDevice(stereoDevice(kOutputId, true));
        fake::setDefaultDevices(kInputId, kOutputId);
        port->setSoundView(&view);
        port->setup();
        startByHand(*port, 0.0, 0.0);
    }
    ~StartedPort() {
        destroyByHand(port);
        fake::reset();
    }
};

// Four output calls per iteration: three intakes and one that completes the window and
// analyses it. Every fetch hits the two seconds of tone stored beforehand.
void BM_OutputProcFourCalls(benchmark::State& state) {
    StartedPort started;
    double time = 512.0;
    for (int k = 0; k < 160; ++k, time += 512.0) {
        Buffers block = inputBlock(512, true, static_cast<std::int64_t>(time), tone);
        fake::callInput(kInputId, InputIOProc, time, block.list);
    }
    const double offset = started.port->mInToOutSampleOffset.load();
    const double first = 512.0 * 40 + offset;
    Buffers out(512, true);
    std::int64_t call = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i, ++call) {
            fake::callOutput(kOutputId, OutputIOProc, first + 512.0 * (call % 100), out.list);
        }
        benchmark::DoNotOptimize(out.first.data());
    }
    state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_OutputProcFourCalls)->Unit(benchmark::kMicrosecond);

void BM_InputProc(benchmark::State& state) {
    StartedPort started;
    Buffers block = inputBlock(512, true, 0, tone);
    double time = 512.0;
    for (auto _ : state) {
        fake::callInput(kInputId, InputIOProc, time, block.list);
        time += 512.0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InputProc)->Unit(benchmark::kMicrosecond);

} // namespace
