// One whole frame at the layout's size: background, wave of 700 dots, both marks, the
// centre line, the copy onto the view, both readouts and the six buttons; at 1, 2 and 3
// pixels a point (the argument). Goal: under 0.5 ms at 1, well under 1 ms at 2.
#include "SoundView.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

static void BM_WholeFrame(benchmark::State& state) {
    // The committed images, also when run from outside the source tree.
    setenv("TUNER_RESOURCE_DIR", TUNER_SOURCE_DIR "/resources", 0);
    SoundView view(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f));
    view.setBackingScaleFactor(static_cast<int>(state.range(0)));
    view.allocSampleBuffer(512);
    for (int i = 0; i < 2048; ++i) {
        view.mSampleBuffer[i] = 0.08f * std::sin(2.0f * 3.14159265f * i / 133.8f);
    }
    view.mFirstPeriod = 0;
    view.mCurrentVolume = 0.08f;
    view.mFrequency = 329.8f;
    view.mDisplayFrequency = 329.7f;
    view.mFrequencyStable = 1.0f;
    view.mInTune = 1.0f;
    view.selectedFrequency = 5;
    for (auto _ : state) {
        view.display();
        benchmark::DoNotOptimize(view.picture().data());
    }
}
BENCHMARK(BM_WholeFrame)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
