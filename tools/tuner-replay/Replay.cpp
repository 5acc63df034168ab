// A recording through SoundView's intake, block by block.
#include "Replay.h"

#include "SoundView.h"
#include "TunerConstants.h"

#include <sndfile.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// libsndfile's messages sometimes end in a newline or a period-space; one line is wanted.
std::string oneLine(const char* text) {
    std::string line = text != nullptr ? text : "unknown error";
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '.')) {
        line.pop_back();
    }
    return line;
}

ReplayReading readingOf(const SoundView& view, double time) {
    ReplayReading reading;
    reading.time = time;
    reading.mCurrentVolume = view.mCurrentVolume;
    reading.mSamplePeriod = view.mSamplePeriod;
    reading.mCurrentFrequency = view.mCurrentFrequency;
    reading.mFrequency = view.mFrequency;
    reading.mDisplayFrequency = view.mDisplayFrequency;
    reading.mFrequencyStable = view.mFrequencyStable;
    reading.mInTune = view.mInTune;
    reading.selectedFrequency = view.selectedFrequency;
    reading.mSinceAttack = view.mSinceAttack;
    return reading;
}

} // namespace

std::string replayRecording(const std::string& path, std::uint32_t blockLength,
                            const std::function<void(const ReplayReading&)>& onReading) {
    if (blockLength < 1 || blockLength > kReplayMaxBlock) {
        return "block length must be 1 to " + std::to_string(kReplayMaxBlock) + " frames";
    }

    // libsndfile opens a directory and then finds no format in it.
    std::error_code ignored;
    if (path != "-" && std::filesystem::is_directory(path, ignored)) {
        return "cannot read " + path + ": is a directory";
    }
    SF_INFO info{};
    SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        return "cannot read " + path + ": " + oneLine(sf_strerror(nullptr));
    }
    if (info.channels < 1) {
        return path + " has no channel";
    }
    if (info.samplerate != static_cast<int>(tuner::kSampleRate)) {
        return path + " is sampled at " + std::to_string(info.samplerate) +
               " Hz; only 44100 Hz is analysed";
    }

    auto view = std::make_unique<SoundView>(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f));

    // Large reads keep the decoder busy; the block is gathered from the first channel.
    constexpr sf_count_t kChunkFrames = 1 << 16;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
    std::vector<float> block(blockLength);
    std::size_t filled = 0;
    std::int64_t framesFed = 0;
    std::int64_t framesRead = 0;

    sf_count_t got = 0;
    while ((got = sf_readf_float(file.get(), chunk.data(), kChunkFrames)) > 0) {
        framesRead += got;
        const float* frame = chunk.data();
        for (sf_count_t f = 0; f < got; ++f, frame += channels) {
            block[filled++] = *frame;
            if (filled < blockLength) {
                continue;
            }
            filled = 0;
            view->filterInput(block.data(), nullptr, blockLength, 0);
            framesFed += blockLength;
            // The redraw request marks the end of an analysis.
            if (view->takeNeedsDisplay()) {
                onReading(readingOf(*view, static_cast<double>(framesFed) / tuner::kSampleRate));
            }
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        return "cannot read " + path + ": " + oneLine(sf_strerror(file.get()));
    }
    // A damaged or cut-off FLAC stream just stops decoding, without an error; a recording
    // that ends before the length its header gives was not read whole.
    if (info.frames > 0 && info.frames != SF_COUNT_MAX && framesRead < info.frames) {
        return "cannot read " + path + ": damaged after " + std::to_string(framesRead) + " of " +
               std::to_string(info.frames) + " frames";
    }
    return {};
}
