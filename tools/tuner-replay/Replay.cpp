// A recording through SoundView's intake, block by block.
#include "Replay.h"

#include "SoundView.h"
#include "TunerConstants.h"

#include <sndfile.h>

#include <algorithm>
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

// A fresh view's intake, fed whole blocks as a device delivers them.
class BlockFeeder {
public:
    BlockFeeder(std::uint32_t blockLength,
                const std::function<void(const ReplayReading&)>& onReading)
        : mView(std::make_unique<SoundView>(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f))),
          mBlock(blockLength), mOnReading(onReading) {}

    void feed(std::span<const float> samples) {
        for (const float sample : samples) {
            mBlock[mFilled++] = sample;
            if (mFilled < mBlock.size()) {
                continue;
            }
            mFilled = 0;
            const auto length = static_cast<std::uint32_t>(mBlock.size());
            mView->filterInput(mBlock.data(), nullptr, length, 0);
            mFramesFed += length;
            // The redraw request marks the end of an analysis.
            if (mView->takeNeedsDisplay()) {
                mOnReading(readingOf(*mView, static_cast<double>(mFramesFed) / tuner::kSampleRate));
            }
        }
    }

    void feedSilence(std::uint32_t frames) {
        const std::vector<float> zeros(frames, 0.0f);
        feed(zeros);
    }

private:
    std::unique_ptr<SoundView> mView;
    std::vector<float> mBlock;
    std::size_t mFilled = 0;
    std::int64_t mFramesFed = 0;
    const std::function<void(const ReplayReading&)>& mOnReading;
};

// Decodes the recording's first channel and hands it on in large pieces.
std::string decodeRecording(const std::string& path,
                            const std::function<void(std::span<const float>)>& onSamples) {
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

    // Large reads keep the decoder busy.
    constexpr sf_count_t kChunkFrames = 1 << 16;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
    std::vector<float> first(static_cast<std::size_t>(kChunkFrames));
    std::int64_t framesRead = 0;

    sf_count_t got = 0;
    while ((got = sf_readf_float(file.get(), chunk.data(), kChunkFrames)) > 0) {
        framesRead += got;
        for (sf_count_t f = 0; f < got; ++f) {
            first[static_cast<std::size_t>(f)] = chunk[static_cast<std::size_t>(f) * channels];
        }
        onSamples(std::span<const float>(first.data(), static_cast<std::size_t>(got)));
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

bool validBlock(std::uint32_t blockLength) {
    return blockLength >= 1 && blockLength <= kReplayMaxBlock;
}

} // namespace

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

std::string replayRecording(const std::string& path, std::uint32_t blockLength,
                            const std::function<void(const ReplayReading&)>& onReading) {
    if (!validBlock(blockLength)) {
        return "block length must be 1 to " + std::to_string(kReplayMaxBlock) + " frames";
    }
    BlockFeeder feeder(blockLength, onReading);
    return decodeRecording(path, [&](std::span<const float> samples) { feeder.feed(samples); });
}

std::string readRecording(const std::string& path, std::vector<float>& samples) {
    samples.clear();
    return decodeRecording(path, [&](std::span<const float> piece) {
        samples.insert(samples.end(), piece.begin(), piece.end());
    });
}

void replaySamples(std::span<const float> samples, std::uint32_t silence, std::uint32_t blockLength,
                   const std::function<void(const ReplayReading&)>& onReading) {
    if (!validBlock(blockLength)) {
        return;
    }
    BlockFeeder feeder(blockLength, onReading);
    feeder.feedSilence(silence);
    feeder.feed(samples);
}

ReplayRanges replayShownRanges(std::span<const float> samples, std::uint32_t blockLength) {
    ReplayRanges ranges;
    if (!validBlock(blockLength)) {
        return ranges;
    }
    const SoundView fresh(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f));
    const std::int64_t window =
        static_cast<std::int64_t>(fresh.mStepsPerBuffer.load()) * blockLength;
    const auto widen = [](ReplayRange& range, float shown) {
        const bool found = range.lowest >= 0.0f;
        range.lowest = found ? std::min(range.lowest, shown) : shown;
        range.highest = found ? std::max(range.highest, shown) : shown;
    };
    const auto onReading = [&](const ReplayReading& reading) {
        if (reading.mFrequencyStable != 1.0f) {
            return;
        }
        widen(ranges.shown, reading.mDisplayFrequency);
        if (reading.mInTune == 1.0f) {
            widen(ranges.inTune, reading.mDisplayFrequency);
        }
    };
    for (std::int64_t silence = 0; silence < window; ++silence) {
        replaySamples(samples, static_cast<std::uint32_t>(silence), blockLength, onReading);
    }
    return ranges;
}
