// The analysis' cost on the audio thread, and the replay tool's speed over a long recording.
#include "SoundView.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kBlock = 512;

// A plucked string at 196 Hz: a fundamental and inharmonic overtones, slowly decaying.
std::vector<float> guitarLike(std::size_t frames) {
    constexpr double kTwoPi = 6.283185307179586;
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / 44100.0;
        const double p = kTwoPi * 196.0 * t;
        samples[i] = static_cast<float>(
            std::exp(-0.8 * t) * (0.5 * std::sin(p) + 0.3 * std::sin(2.003 * p + 0.4) +
                                  0.15 * std::sin(3.008 * p + 1.1) + 0.05 * std::sin(4.01 * p)));
    }
    return samples;
}

// One analysis of a full window of 4 × 512 samples.
void BM_AnalyzeBuffer(benchmark::State& state) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    const std::vector<float> signal = guitarLike(4 * kBlock);
    // Three blocks fill the window without analysing it; the fourth slot is filled by hand.
    for (int b = 0; b < 3; ++b) {
        view.filterInput(signal.data() + b * kBlock, nullptr, kBlock, 0);
    }
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        view.mSampleBuffer[3 * kBlock + i].store(signal[3 * kBlock + i], std::memory_order_relaxed);
    }
    for (auto _ : state) {
        view.analyzeBuffer();
        benchmark::DoNotOptimize(view.mCurrentFrequency.load());
    }
    state.counters["frequency"] = view.mCurrentFrequency.load();
}
BENCHMARK(BM_AnalyzeBuffer);

// The intake of one 512-frame block, averaged over the cycle of four: three copies and one
// copy with an analysis.
void BM_IntakeBlock(benchmark::State& state) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    const std::vector<float> signal = guitarLike(64 * kBlock);
    std::size_t block = 0;
    for (auto _ : state) {
        view.filterInput(signal.data() + block * kBlock, nullptr, kBlock, 0);
        block = (block + 1) % 64;
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_IntakeBlock);

// The public corpus joined over and over into one recording of at least ten minutes.
fs::path tenMinuteRecording(double& seconds) {
    const fs::path out = fs::temp_directory_path() / "tuner-bench-ten-minutes.wav";
    const fs::path corpus = fs::path(TUNER_CORPUS_DIR) / "public";
    std::vector<float> joined;
    if (!fs::is_directory(corpus)) {
        return {};
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.path().extension() == ".flac") {
            files.push_back(entry.path());
        }
    }
    if (files.empty()) {
        return {};
    }
    std::vector<float> once;
    for (const fs::path& file : files) {
        SF_INFO info{};
        SNDFILE* in = sf_open(file.c_str(), SFM_READ, &info);
        if (in == nullptr) {
            continue;
        }
        std::vector<float> frames(static_cast<std::size_t>(info.frames) * info.channels);
        const sf_count_t got = sf_readf_float(in, frames.data(), info.frames);
        sf_close(in);
        for (sf_count_t f = 0; f < got; ++f) {
            once.push_back(frames[static_cast<std::size_t>(f) * info.channels]);
        }
    }
    while (joined.size() < 600u * 44100u) {
        joined.insert(joined.end(), once.begin(), once.end());
    }
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(out.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return {};
    }
    sf_writef_float(file, joined.data(), static_cast<sf_count_t>(joined.size()));
    sf_close(file);
    seconds = static_cast<double>(joined.size()) / 44100.0;
    return out;
}

// tuner-replay as a whole process (start, decoding, analysis, printing) on a ten-minute WAV.
void BM_ReplayTenMinutes(benchmark::State& state) {
    double seconds = 0.0;
    const fs::path recording = tenMinuteRecording(seconds);
    if (recording.empty()) {
        state.SkipWithError("no corpus to build the ten-minute recording from");
        return;
    }
    const std::string command =
        std::string("'") + TUNER_REPLAY_PROGRAM + "' '" + recording.string() + "' >/dev/null";
    double total = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (status != 0) {
            state.SkipWithError("tuner-replay failed");
            break;
        }
        state.SetIterationTime(took.count());
        total += took.count();
    }
    fs::remove(recording);
    if (state.iterations() > 0 && total > 0.0) {
        state.counters["recording_s"] = seconds;
        state.counters["times_real_time"] =
            seconds * static_cast<double>(state.iterations()) / total;
    }
}
BENCHMARK(BM_ReplayTenMinutes)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
