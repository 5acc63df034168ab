#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

// Which channel of the input the tuner analyses: the one the guitar is played on.
//
// The rule. Each channel's level is taken over each analysis window, from its sound alone:
// the largest RMS, around the mean, of the window's slices of kSliceFrames frames, a slice
// whose peak stands out of its RMS as a click's does (kCrest) counting as silent. Around the
// mean, so a DC offset is no sound; clicks and crackle from a bad cable are none either; the
// largest, so a note struck late in a window shows in that window, as the analysis hears it. A
// channel is taken when a note is struck on it: between two windows, its level in the window just
// done has risen to more than kRise times its own least level over the kHistoryWindows windows
// before (a steady sound, however loud, never rises), is above kAudible, and is more than kTake
// times the largest RMS of any slice of the channel analysed, clicks and onsets included, in that
// window and the one before (a microphone that hears the string 6-20 dB down and a few
// milliseconds late never outdoes the instrument's own channel, not even where a sound
// starts or ends; a channel never outdoes its own copy). Of several, the loudest. A ringing
// note thus keeps its channel to its end; a strike on another channel, louder than what the
// analysed one carries then, takes it; channels that carry the same sound, or sound on the
// first only, never change it. Nothing changes before every channel has kHistoryWindows
// windows of history (a stream just started, or input missing or muted until then).
//
// Threads: reset on the control thread while no procedure runs; heard() on any thread; the
// rest on the output procedure's thread, real-time: no allocation, no lock.
class InputChannelChoice {
public:
    static constexpr std::uint32_t kMaxChannels = 32;
    static constexpr std::uint32_t kSliceFrames = 256;
    static constexpr std::uint32_t kMaxSlices = 64; // of one window; more are folded in
    static constexpr std::uint32_t kHistoryWindows = 12;
    static constexpr float kRise = 2.0f;
    static constexpr float kTake = 1.41f;
    static constexpr float kAudible = 1e-4f;
    // A slice whose peak stands further than this many times its RMS from its mean is a
    // click or a crackle (one click alone in a slice stands at 16), not sound.
    static constexpr float kCrest = 5.0f;

    // For a stream of `channels` channels (1 to kMaxChannels) from the device `device` names
    // (any value that tells the devices apart): histories start afresh; the channel analysed
    // is the one last analysed on that device with that count (a guitarist who goes from one
    // interface to another and back, or whose interface comes back, finds the guitar where it
    // was), else the first. The last kRemembered devices are kept.
    void reset(std::uint32_t channels, std::uint64_t device = 0);
    static constexpr std::uint32_t kRemembered = 8;

    // Takes one block's frames, `channels` floats a frame (interleaved), or one channel's
    // samples `stride` floats apart.
    void noteInterleaved(const float* frames, std::uint32_t count);
    void noteChannel(std::uint32_t channel, const float* samples, std::uint32_t count,
                     std::uint32_t stride);
    // The two channels of a two-channel stream, each contiguous.
    void notePair(const float* first, const float* second, std::uint32_t count);
    // Ends the block noted (every channel of it must have been).
    void endBlock(std::uint32_t count);

    // At the end of a window: applies the rule to the window just noted and starts the
    // next. True when it took another channel.
    bool endWindow();
    // A block the view hears as silence in place of input that is missing or muted: the
    // histories start afresh, as on a new stream, and the channel stays. The window it falls
    // in is not whole (a steady sound measured over part of one seems to rise after it), and
    // a note heard again from its middle was not struck then.
    void noteGap();

    std::uint32_t channel() const { return mChannel; }
    std::uint32_t channels() const { return mChannels; }
    // The channel analysed and the channel count, as one value for other threads: channel
    // in the low half, count in the high half.
    std::uint64_t heard() const { return mHeard.load(std::memory_order_relaxed); }
    // The largest sample of the analysed channel in the window just ended, as the
    // analysis takes a window's volume.
    float windowPeak() const { return mPeakBefore; }

private:
    struct Slice {
        float shift = 0.0f; // the slice's first sample
        float sum = 0.0f;   // of the samples less shift
        float squares = 0.0f;
        float low = std::numeric_limits<float>::infinity();
        float high = -std::numeric_limits<float>::infinity();
    };

    float windowLevel(std::uint32_t channel) const;
    void startWindow();
    void startHistories();
    void separateTwins();
    void publish();

    struct Remembered {
        std::uint64_t device = 0;
        std::uint32_t channels = 0; // 0: none
        std::uint32_t channel = 0;
    };

    std::uint32_t mChannels = 1;
    std::uint32_t mChannel = 0;
    std::uint64_t mDevice = 0;
    Remembered mRemembered[kRemembered]; // the most recent first
    std::uint32_t mSliceFill = 0;        // frames in the open slice
    std::uint32_t mSlices = 0;           // closed slices of the window
    std::uint32_t mWindows = 0;          // windows of history
    bool mStarted = false;               // the first window, maybe partial, has passed
    bool mTwins = false; // two channels noted as one: the same samples since the window began
    Slice mOpen[kMaxChannels];
    float mRms[kMaxChannels][kMaxSlices] = {};
    float mPeak[kMaxChannels] = {};
    float mLoudest[kMaxChannels] = {}; // the largest RMS of a slice, clicks not left out
    float mHistory[kMaxChannels][kHistoryWindows] = {};
    float mPeakBefore = 0.0f;
    float mAnalysedBefore = 0.0f; // the analysed channel's level in the window before
    std::atomic<std::uint64_t> mHeard{0};
};
