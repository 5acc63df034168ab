#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// The readings of one analysis, taken right after it ran.
struct ReplayReading {
    double time = 0.0; // seconds of recording up to the end of the analysed window
    float mCurrentVolume = 0.0f;
    float mSamplePeriod = 0.0f;
    float mCurrentFrequency = 0.0f;
    float mFrequency = 0.0f;
    float mDisplayFrequency = 0.0f;
    float mFrequencyStable = 0.0f;
    float mInTune = 0.0f;
    std::int32_t selectedFrequency = 0;
    std::int32_t mSinceAttack = 0;
};

class SoundView;
// The readings of the view's latest analysis, at `time`.
ReplayReading readingOf(const SoundView& view, double time);

// Longest block the replay accepts, in frames (about 24 seconds).
inline constexpr std::uint32_t kReplayMaxBlock = 1u << 20;

// Feeds the first channel of a WAV or FLAC recording, in blocks of blockLength frames,
// through a fresh SoundView's intake, as a device would: whole blocks only, so a final
// shorter block is not fed. onReading receives every analysis in order.
//
// Returns an empty string on success, else a one-line reason (missing or unreadable
// file, a rate other than 44100, no channel, a read error, a bad block length).
std::string replayRecording(const std::string& path, std::uint32_t blockLength,
                            const std::function<void(const ReplayReading&)>& onReading);

// The first channel of a WAV or FLAC recording, whole, into samples. Returns an empty
// string on success, else a one-line reason, as replayRecording does.
std::string readRecording(const std::string& path, std::vector<float>& samples);

// Feeds silence frames of zeros and then the samples through a fresh SoundView's intake in
// blocks of blockLength frames (1 to kReplayMaxBlock), whole blocks only.
void replaySamples(std::span<const float> samples, std::uint32_t silence, std::uint32_t blockLength,
                   const std::function<void(const ReplayReading&)>& onReading);

// The lowest and highest mDisplayFrequency of a stable analysis (one whose readout a frame
// draws at full strength), and of one that also finds the string in tune, when the samples
// are fed after 0, 1, ... frames of silence up to one analysis window less one: at every
// alignment of the window with the recording. Both are -1 when there is none.
struct ReplayRange {
    float lowest = -1.0f;
    float highest = -1.0f;
};
struct ReplayRanges {
    ReplayRange shown;
    ReplayRange inTune;
};
ReplayRanges replayShownRanges(std::span<const float> samples, std::uint32_t blockLength);
