#include "InputChannelChoice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

void InputChannelChoice::reset(std::uint32_t channels, std::uint64_t device) {
    channels = std::clamp<std::uint32_t>(channels, 1, kMaxChannels);
    // The stream that ends goes first in the list; the one that starts takes its channel
    // from its own entry.
    Remembered ended{mDevice, mChannels, mChannel};
    for (Remembered& entry : mRemembered) {
        std::swap(entry, ended);
        if (ended.device == mDevice && ended.channels == mChannels) {
            break; // the ended stream's older entry: dropped
        }
    }
    mChannels = channels;
    mChannel = 0;
    mDevice = device;
    for (const Remembered& entry : mRemembered) {
        if (entry.channels == channels && entry.device == device) {
            mChannel = entry.channel;
            break;
        }
    }
    startHistories();
    publish();
}

void InputChannelChoice::startHistories() {
    mSliceFill = 0;
    mSlices = 0;
    mWindows = 0;
    mStarted = false;
    for (Slice& slice : mOpen) {
        slice = Slice{};
    }
    mPeakBefore = 0.0f;
    mAnalysedBefore = 0.0f;
}

void InputChannelChoice::noteInterleaved(const float* frames, std::uint32_t count) {
    for (std::uint32_t c = 0; c < mChannels && mChannels > 1; ++c) {
        noteChannel(c, frames + c, count, mChannels);
    }
}

namespace {

// Adds count samples, stride floats apart, to a slice's lanes (sum, squares, least and
// largest sample): the sum and squares taken from the slice's first sample, so that an
// offset costs no precision in single floats. Contiguous samples go eight at a time through
// vector registers (the compiler's vector extension, on every target).
using Float4 = float __attribute__((vector_size(16)));

void accumulate(float* lanes, const float* samples, std::uint32_t count, std::uint32_t stride,
                float shift) {
    std::uint32_t i = 0;
    if (stride == 1 && count >= 8) {
        // Two sets of lanes (a, b), so that each sum waits on its own last step only.
        const Float4 shifts = {shift, shift, shift, shift};
        Float4 sumA = {}, sumB = {}, squaresA = {}, squaresB = {};
        Float4 lowA = {lanes[2], lanes[2], lanes[2], lanes[2]}, lowB = lowA;
        Float4 highA = {lanes[3], lanes[3], lanes[3], lanes[3]}, highB = highA;
        for (; i + 8 <= count; i += 8) {
            Float4 a, b;
            std::memcpy(&a, samples + i, sizeof a);
            std::memcpy(&b, samples + i + 4, sizeof b);
            const Float4 da = a - shifts, db = b - shifts;
            sumA += da;
            sumB += db;
            squaresA += da * da;
            squaresB += db * db;
            lowA = a < lowA ? a : lowA;
            lowB = b < lowB ? b : lowB;
            highA = a > highA ? a : highA;
            highB = b > highB ? b : highB;
        }
        for (int k = 0; k < 4; ++k) {
            lanes[0] += sumA[k] + sumB[k];
            lanes[1] += squaresA[k] + squaresB[k];
            lanes[2] = std::min({lanes[2], lowA[k], lowB[k]});
            lanes[3] = std::max({lanes[3], highA[k], highB[k]});
        }
    }
    for (; i < count; ++i) {
        const float x = samples[static_cast<std::size_t>(i) * stride];
        const float d = x - shift;
        lanes[0] += d;
        lanes[1] += d * d;
        lanes[2] = std::min(lanes[2], x);
        lanes[3] = std::max(lanes[3], x);
    }
}

} // namespace

void InputChannelChoice::noteChannel(std::uint32_t channel, const float* samples,
                                     std::uint32_t count, std::uint32_t stride) {
    if (mChannels < 2 || channel >= mChannels) {
        return;
    }
    // The slices of this block: the open one filled up first, then whole ones.
    Slice open = mOpen[channel];
    std::uint32_t fill = mSliceFill;
    std::uint32_t slices = mSlices;
    for (std::uint32_t i = 0; i < count;) {
        const std::uint32_t taken = std::min(count - i, kSliceFrames - fill);
        const float* const first = samples + static_cast<std::size_t>(i) * stride;
        if (fill == 0) {
            open.shift = *first;
        }
        float lanes[4] = {open.sum, open.squares, open.low, open.high};
        accumulate(lanes, first, taken, stride, open.shift);
        open = {open.shift, lanes[0], lanes[1], lanes[2], lanes[3]};
        mPeak[channel] = std::max(mPeak[channel], open.high);
        i += taken;
        fill += taken;
        if (fill == kSliceFrames) {
            const float mean = open.sum / kSliceFrames;
            const float rms = std::sqrt(std::max(open.squares / kSliceFrames - mean * mean, 0.0f));
            const float centre = open.shift + mean;
            const float crest = std::max(open.high - centre, centre - open.low);
            const float level = crest > kCrest * rms ? 0.0f : rms;
            // Past kMaxSlices, the last one keeps the largest: a window this long is rare.
            const std::uint32_t at = std::min(slices, kMaxSlices - 1);
            mRms[channel][at] = slices < kMaxSlices ? level : std::max(level, mRms[channel][at]);
            mLoudest[channel] = std::max(mLoudest[channel], rms);
            ++slices;
            fill = 0;
            open = Slice{};
        }
    }
    mOpen[channel] = open;
}

void InputChannelChoice::notePair(const float* first, const float* second, std::uint32_t count) {
    // Two channels that carry the same samples (a mono source spread over both, JACK's one
    // port) are noted once: the second is the first's twin until they differ.
    if (mTwins &&
        std::memcmp(first, second, static_cast<std::size_t>(count) * sizeof(float)) == 0) {
        noteChannel(0, first, count, 1);
        return;
    }
    separateTwins();
    noteChannel(0, first, count, 1);
    noteChannel(1, second, count, 1);
}

void InputChannelChoice::separateTwins() {
    if (!mTwins) {
        return;
    }
    mTwins = false;
    mOpen[1] = mOpen[0];
    std::copy_n(mRms[0], std::min(mSlices, kMaxSlices), mRms[1]);
    mPeak[1] = mPeak[0];
    mLoudest[1] = mLoudest[0];
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
    mTwins = mChannels == 2 && mSliceFill == 0;
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
    separateTwins();
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

void InputChannelChoice::noteGap() {
    startHistories();
}

void InputChannelChoice::publish() {
    mHeard.store(static_cast<std::uint64_t>(mChannels) << 32 | mChannel, std::memory_order_relaxed);
}
