#include "InputChannelChoice.h"

#include <algorithm>
#include <cmath>
#include <limits>

void InputChannelChoice::reset(std::uint32_t channels) {
    channels = std::clamp<std::uint32_t>(channels, 1, kMaxChannels);
    const std::uint32_t channel = channels == mChannels ? mChannel : 0;
    mChannels = channels;
    mChannel = channel;
    mSliceFill = 0;
    mSlices = 0;
    mWindows = 0;
    mStarted = false;
    for (Slice& slice : mOpen) {
        slice = Slice{};
    }
    mPeakBefore = 0.0f;
    mAnalysedBefore = 0.0f;
    publish();
}

void InputChannelChoice::noteInterleaved(const float* frames, std::uint32_t count) {
    for (std::uint32_t c = 0; c < mChannels && mChannels > 1; ++c) {
        noteChannel(c, frames + c, count, mChannels);
    }
}

void InputChannelChoice::noteChannel(std::uint32_t channel, const float* samples,
                                     std::uint32_t count, std::uint32_t stride) {
    if (mChannels < 2 || channel >= mChannels) {
        return;
    }
    // The slices of this block: the open one filled up first, then whole ones.
    Slice open = mOpen[channel];
    float peak = mPeak[channel];
    float low = open.low;
    float high = open.high;
    std::uint32_t fill = mSliceFill;
    std::uint32_t slices = mSlices;
    for (std::uint32_t i = 0; i < count; ++i) {
        const float x = samples[static_cast<std::size_t>(i) * stride];
        peak = x > peak ? x : peak;
        low = x < low ? x : low;
        high = x > high ? x : high;
        const double v = x;
        open.sum += v;
        open.squares += v * v;
        if (++fill == kSliceFrames) {
            const double mean = open.sum / kSliceFrames;
            const double rms = std::sqrt(std::max(open.squares / kSliceFrames - mean * mean, 0.0));
            const double crest = std::max(high - mean, mean - low);
            const auto level = static_cast<float>(crest > kCrest * rms ? 0.0 : rms);
            // Past kMaxSlices, the last one keeps the largest: a window this long is rare.
            const std::uint32_t at = std::min(slices, kMaxSlices - 1);
            mRms[channel][at] = slices < kMaxSlices ? level : std::max(level, mRms[channel][at]);
            mLoudest[channel] = std::max(mLoudest[channel], static_cast<float>(rms));
            ++slices;
            fill = 0;
            open = Slice{};
            low = std::numeric_limits<float>::infinity();
            high = -std::numeric_limits<float>::infinity();
        }
    }
    open.low = low;
    open.high = high;
    mOpen[channel] = open;
    mPeak[channel] = peak;
}

void InputChannelChoice::endBlock(std::uint32_t count) {
    if (mChannels < 2) {
        return;
    }
    const std::uint32_t total = mSliceFill + count;
    mSlices += total / kSliceFrames;
    mSliceFill = total % kSliceFrames;
}

float InputChannelChoice::windowLevel(std::uint32_t channel) const {
    const std::uint32_t slices = std::min(mSlices, kMaxSlices);
    const float* const rms = mRms[channel];
    return slices == 0 ? 0.0f : *std::max_element(rms, rms + slices);
}

void InputChannelChoice::startWindow() {
    mSlices = 0;
    for (std::uint32_t c = 0; c < kMaxChannels; ++c) {
        mPeak[c] = -std::numeric_limits<float>::infinity();
        mLoudest[c] = 0.0f;
    }
}

bool InputChannelChoice::endWindow() {
    if (mChannels < 2 || mSlices == 0) {
        return false;
    }
    // The first window after a start may have begun in its middle: too short to say how
    // loud a steady sound is.
    if (!mStarted) {
        mStarted = true;
        startWindow();
        return false;
    }
    float levels[kMaxChannels];
    for (std::uint32_t c = 0; c < mChannels; ++c) {
        levels[c] = windowLevel(c);
    }
    std::uint32_t taken = mChannel;
    if (mWindows >= kHistoryWindows) {
        // What the analysed channel carried in this window or the one before, clicks and
        // onsets included: a sound that ends on it goes on a few milliseconds longer on a
        // microphone that hears it late, and one that starts there starts later.
        const float analysed = std::max(mLoudest[mChannel], mAnalysedBefore);
        for (std::uint32_t c = 0; c < mChannels; ++c) {
            const float* const history = mHistory[c];
            const float floor = *std::min_element(history, history + kHistoryWindows);
            if (c != mChannel && levels[c] > kAudible && levels[c] > kRise * floor &&
                levels[c] > kTake * analysed && levels[c] > levels[taken]) {
                taken = c;
            }
        }
    }
    mPeakBefore = mPeak[taken];
    mAnalysedBefore = mLoudest[taken];
    for (std::uint32_t c = 0; c < mChannels; ++c) {
        mHistory[c][mWindows % kHistoryWindows] = levels[c];
    }
    mWindows = mWindows < std::numeric_limits<std::uint32_t>::max() ? mWindows + 1 : mWindows;
    startWindow();
    const bool changed = taken != mChannel;
    mChannel = taken;
    publish();
    return changed;
}

void InputChannelChoice::publish() {
    mHeard.store(static_cast<std::uint64_t>(mChannels) << 32 | mChannel, std::memory_order_relaxed);
}
