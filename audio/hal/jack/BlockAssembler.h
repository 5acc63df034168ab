#pragma once

// The JACK backend's block assembly: the server's periods (any length, any rate) in, the
// engine's blocks out, kBlockFrames mono frames at the engine's rate each, with their sample
// times on a clock that counts every frame at that rate, lost ones included.
//
// The server's rate is converted by libsamplerate (src_process allocates nothing); at the
// engine's own rate the samples are copied as they are. Frames the server counted but never
// handed over (an xrun, a cycle this client missed) are a gap: skip() ends the block being
// filled with zeros and moves the clock on past the rest, so the rings see the loss where it
// happened and the blocks after it keep their true times.
//
// Real-time safe after prepare(): push, skip and reset allocate nothing, lock nothing and
// make no system call. One thread at a time: the control thread while the cycle does not
// run, the process cycle while it does.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <samplerate.h>

class BlockAssembler {
public:
    static constexpr std::uint32_t kBlockFrames = 512;

    explicit BlockAssembler(double engineRate) : mEngineRate(engineRate) {}
    ~BlockAssembler();
    BlockAssembler(const BlockAssembler&) = delete;
    BlockAssembler& operator=(const BlockAssembler&) = delete;

    // Sets up the conversion from `serverRate`; allocates. False when libsamplerate cannot
    // convert that rate to the engine's.
    bool prepare(double serverRate);
    double serverRate() const { return mServerRate; }

    // Starts again from sample time 0, with nothing half filled.
    void reset();

    // Takes `frames` samples at the server's rate; calls onBlock(const float* block,
    // double sampleTime) for every block they complete.
    template <class OnBlock>
    void push(const float* samples, std::uint32_t frames, OnBlock&& onBlock);

    // Counts `serverFrames` frames that never arrived: zeros to the end of the block being
    // filled (calling onBlock if that completes it), the rest a jump of the clock.
    template <class OnBlock> void skip(std::uint64_t serverFrames, OnBlock&& onBlock);

    // The sample time the next frame converted will have, unless frames are lost meanwhile.
    double sampleTime() const { return static_cast<double>(mBlockStart + mFilled); }

private:
    // Converts as much of the input as fits in the block being filled; the frames taken.
    std::uint32_t convert(const float* samples, std::uint32_t frames);
    // Converts what the converter still holds, as far as the block being filled has room;
    // false when nothing was left.
    bool drain();
    template <class OnBlock> void deliverIfFull(OnBlock& onBlock);

    double mEngineRate;
    double mServerRate = 0.0;
    double mRatio = 1.0;
    SRC_STATE* mResampler = nullptr; // null at the engine's own rate
    float mBlock[kBlockFrames] = {};
    std::uint32_t mFilled = 0;
    std::int64_t mBlockStart = 0;
    std::int64_t mServerFrames = 0; // pushed or skipped since the start
};

template <class OnBlock> void BlockAssembler::deliverIfFull(OnBlock& onBlock) {
    if (mFilled == kBlockFrames) {
        onBlock(static_cast<const float*>(mBlock), static_cast<double>(mBlockStart));
        mBlockStart += kBlockFrames;
        mFilled = 0;
    }
}

template <class OnBlock>
void BlockAssembler::push(const float* samples, std::uint32_t frames, OnBlock&& onBlock) {
    mServerFrames += frames;
    for (;;) {
        const std::uint32_t filledBefore = mFilled;
        const std::uint32_t taken = convert(samples, frames);
        samples += taken;
        frames -= taken;
        const bool full = mFilled == kBlockFrames;
        deliverIfFull(onBlock);
        // A full block may leave converted frames waiting inside the resampler: go round
        // again, with or without input, until a pass neither fills a block nor takes any.
        if (!full && (frames == 0 || (taken == 0 && mFilled == filledBefore))) {
            return;
        }
    }
}

template <class OnBlock> void BlockAssembler::skip(std::uint64_t serverFrames, OnBlock&& onBlock) {
    if (serverFrames == 0) {
        return;
    }
    // What the converter holds came before the gap: out with it, then start its filter
    // afresh.
    if (mResampler != nullptr) {
        while (drain()) {
            deliverIfFull(onBlock);
        }
        src_reset(mResampler);
    }
    // The frames after the gap start where the server's clock puts them, reckoned from the
    // start, so that the converter's fractions of a frame never add up across gaps.
    mServerFrames += static_cast<std::int64_t>(serverFrames);
    const auto resumes =
        static_cast<std::int64_t>(std::llround(static_cast<double>(mServerFrames) * mRatio));
    std::int64_t gap = std::max<std::int64_t>(resumes - (mBlockStart + mFilled), 0);
    if (mFilled != 0) {
        const auto zeros =
            static_cast<std::uint32_t>(std::min<std::int64_t>(gap, kBlockFrames - mFilled));
        for (std::uint32_t i = 0; i < zeros; ++i) {
            mBlock[mFilled + i] = 0.0f;
        }
        mFilled += zeros;
        gap -= zeros;
        deliverIfFull(onBlock);
    }
    mBlockStart += gap;
}
