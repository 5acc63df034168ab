// SoundView's sample intake: blocks of input gathered into the analysis window, the
// window's rebuild when the block length changes, and the analysis of a full window.
#include "SoundView.h"

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

void SoundView::filterInput(const float* input, float* /*output*/, std::uint32_t sampleCount,
                            std::uint32_t /*channel*/) {
    [[maybe_unused]] NSAutoreleasePool pool;

    // A device never delivers an empty block; one that does is dropped rather than
    // allowed to leave the window half-described.
    if (input == nullptr || sampleCount == 0) {
        return;
    }
    const std::int32_t steps = mStepsPerBuffer;
    if (steps < 1) {
        return;
    }
    // The window's length must fit its int32 size field; a block too long for that is
    // refused instead of wrapping the size around.
    const std::int64_t wanted = static_cast<std::int64_t>(steps) * sampleCount;
    if (wanted > std::numeric_limits<std::int32_t>::max()) {
        return;
    }
    const auto n = static_cast<std::int32_t>(sampleCount);
    const auto size = static_cast<std::int32_t>(wanted);

    if (size != mSampleBufferSize) {
        allocSampleBuffer(n);
        // Without memory for the new window the block has no slot to go to; the next
        // block tries again.
        if (size != mSampleBufferSize) {
            return;
        }
    }

    std::int32_t step = mCurrentStep;
    if (step < 0 || step >= steps) {
        step = 0;
    }
    SharedFloat* const slot = mSampleBuffer + static_cast<std::int64_t>(step) * n;
    for (std::int32_t i = 0; i < n; ++i) {
        slot[i].store(input[i], std::memory_order_relaxed);
    }

    ++step;
    if (step >= steps) {
        step = 0;
    }
    mCurrentStep = step;

    if (step == 0) {
        analyzeBuffer();
        publishAnalysis();
        setNeedsDisplay(true);
    }
}

void SoundView::allocSampleBuffer(std::int32_t n) {
    const std::int64_t wanted = static_cast<std::int64_t>(n) * mStepsPerBuffer;
    if (n < 1 || wanted > std::numeric_limits<std::int32_t>::max()) {
        return;
    }
    const auto size = static_cast<std::int32_t>(wanted);

    // Everything is allocated before anything is given up, so that a failed allocation
    // leaves the old window, its arrays and its size as they were. The published copies
    // come last: their resize cannot be undone.
    auto* const samples = new (std::nothrow) SharedFloat[size]();
    auto* const crossings = new (std::nothrow) std::int32_t[size]();
    auto* const peaks = new (std::nothrow) std::int32_t[size]();
    if (samples == nullptr || crossings == nullptr || peaks == nullptr || !mHandover.resize(size)) {
        delete[] samples;
        delete[] crossings;
        delete[] peaks;
        return;
    }

    delete[] mSampleBuffer;
    mSampleBuffer = samples;
    delete[] mPosZeroCrossings;
    mPosZeroCrossings = crossings;
    delete[] mPeaks;
    mPeaks = peaks;
    mSamplesToDraw = tuner::kSamplesPerView;
    mSampleBufferSize = size;
}

void SoundView::analyzeBuffer() {
    getVolume();
    getPeaks();
    getPosZeroCrossings();
    getFrequency();
    getAttack();
    if (!mGapInWindow) {
        mHeardVolume = mCurrentVolume;
        mNoteEnded = false;
    }
    mGapBefore = std::exchange(mGapInWindow, false);
}

void SoundView::noteGap() {
    mGapInWindow = true;
}

void SoundView::endNote() {
    // As a view that has heard no note: no first reading is taken, nothing is stable
    // against it.
    mFrequencyStable = 0.0f;
    mLastAttackFrequency = 0;
    mHitsSinceAttack = 0;
    mNoteEnded = true;
}

void SoundView::publishAnalysis() {
    PublishedAnalysis analysis;
    analysis.mFirstPeriod = mFirstPeriod;
    analysis.mSamplesToDraw = mSamplesToDraw;
    analysis.mCurrentVolume = mCurrentVolume;
    analysis.mHighestVolume = mHighestVolume;
    analysis.mFrequency = mFrequency;
    analysis.mFrequencyStable = mFrequencyStable;
    analysis.mInTune = mInTune;
    analysis.mDisplayFrequency = mDisplayFrequency;
    mHandover.publish(analysis, mSampleBuffer, mSampleBufferSize);
}
