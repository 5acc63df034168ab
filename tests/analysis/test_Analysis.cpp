// The analysis step by step from chosen windows and states: the exact published values,
// odd samples and blocks, and the intake across changes of block length. What holds over
// whole recordings is the replay corpus test's.
#include "SaturatingCast.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <tuple>
#include <vector>

namespace {

const NSRect kFrame = NSMakeRect(0, 0, 700, 300);
constexpr std::int32_t kTop = INT_MAX;

// Puts a whole window in place (a multiple of four samples) and runs the level steps.
void analyzeLevels(SoundView& view, const std::vector<float>& samples) {
    view.allocSampleBuffer(static_cast<std::int32_t>(samples.size()) / 4);
    std::ranges::copy(samples, view.mSampleBuffer);
    view.getVolume();
    view.getPeaks();
    view.getPosZeroCrossings();
}

std::array<std::int32_t, 4> periodStarts(const SoundView& view) {
    return {view.mFirstPeriod, view.mSecondPeriod, view.mLastPeriod, view.mPeriodCount};
}

} // namespace

TEST(SaturatingCast, TruncatesSaturatesAndMapsNaN) {
    EXPECT_EQ(
        (std::vector{toInt32(2.9), toInt32(-2.9), toInt32(3.0e9), toInt32(-3.0e9),
                     toInt32(HUGE_VAL), toInt32(-HUGE_VAL), toInt32(NAN), toInt32(2147483648.0f)}),
        (std::vector{2, -2, INT_MAX, INT_MIN, INT_MAX, INT_MIN, INT_MIN, INT_MAX}));
}

// Four periods: a plain one, a flat top (a peak at its last sample), a peak just over 0.8
// of the volume, a plain one. Peaks are flagged one after the top; period starts coded
// 3 (first), 4 (second), 2, 5 (last).
TEST(Levels, PeaksCrossingsPeriodStartsAndHighest) {
    SoundView view(kFrame);
    analyzeLevels(view, {-1, 0.5f, 1,      0.5f, -1, -1, 1,    1, 0.5f, -1,
                         -1, 0.5f, 0.805f, 0.5f, -1, -1, 0.5f, 1, 0.5f, -1});
    EXPECT_TRUE(view.mCurrentVolume == 1.0f && view.mHighestVolume == 1.0f);
    EXPECT_EQ(std::vector<int>(view.mPeaks, view.mPeaks + 20),
              (std::vector<int>{0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(std::vector<int>(view.mPosZeroCrossings, view.mPosZeroCrossings + 20),
              (std::vector<int>{0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 2, 0, 0, 0, 0, 5, 0, 0, 0}));
    EXPECT_EQ(periodStarts(view), (std::array<std::int32_t, 4>{1, 6, 16, 4}));

    // No period: all -1. The highest volume takes no volume of 10 or more.
    for (float level : {0.0f, 10.0f, 10.05f}) {
        analyzeLevels(view, std::vector<float>(20, level));
        EXPECT_EQ(view.mPosZeroCrossings[0], 5);
        EXPECT_EQ(periodStarts(view), (std::array<std::int32_t, 4>{-1, -1, -1, -1}));
        EXPECT_EQ(view.mHighestVolume, 1.0f) << level;
    }
}

// One analysis against the first reading of the note (`base` Hz, also the readout): within
// 90 % to 120 % of it a hit, which moves the readout 0.045 of the way to the frequency,
// else a strike; stable from two hits more than the strikes, until a ninth strike;
// counters stop at the top. Stable, the note is in tune when the whole hertz of the
// readout's deviation lie below 0.5 % of the selected string; a selection outside the six
// strings gives no verdict.
TEST(Frequency, StabilityReadoutGlideAndInTune) {
    // Before: base, current, hits, strikes, stable, string, in tune; after: hits, strikes,
    // stable, readout, in tune. All held as doubles, which keep the counters' top exact.
    const std::array<double, 12> cases[] = {{100, 90.0, 0, 0, 0, 0, 0, 1, 0, 0, 99.55, 0},
                                            {100, 120.0, 0, 0, 0, 0, 0, 1, 0, 0, 100.9, 0},
                                            {100, 110.0, 1, 1, 0, 0, 0, 2, 1, 1, 100.45, 0},
                                            {100, 89.99, 0, 0, 0, 0, 0, 0, 1, 0, 100, 0},
                                            {100, 120.01, 0, 0, 0, 0, 0, 0, 1, 0, 100, 0},
                                            {100, 100, 1, 2, 0, 0, 0, 2, 2, 0, 100, 0},
                                            {100, 100, 0, 0, 1, 0, 0, 1, 0, 1, 100, 0},
                                            {100, 100, 20, 8, 1, 0, 0, 21, 8, 1, 100, 0},
                                            {100, 100, 20, 9, 1, 0, 0, 21, 9, 0, 100, 0},
                                            {100, 100, kTop, 0, 0, 0, 0, kTop, 0, 1, 100, 0},
                                            {100, 150, 0, kTop, 0, 0, 0, 0, kTop, 0, 100, 0},
                                            {110.99, 110.99, 5, 0, 0, 1, 0, 6, 0, 1, 110.99, 1},
                                            {111, 111, 5, 0, 0, 1, 1, 6, 0, 1, 111, 0},
                                            {248.9, 248.9, 5, 0, 0, 4, 0, 6, 0, 1, 248.9, 1},
                                            {248.94, 248.94, 5, 0, 0, 4, 1, 6, 0, 1, 248.94, 0},
                                            {82, 82, 5, 0, 0, 0, 0, 6, 0, 1, 82, 1},
                                            {110, 110, 5, 0, 0, 6, 1, 6, 0, 1, 110, 1},
                                            {110, 110, 5, 0, 0, -1, 0, 6, 0, 1, 110, 0}};
    for (const auto& [base, current, hits, strikes, stable, selected, inTune, hitsAfter,
                      strikesAfter, stableAfter, display, inTuneAfter] : cases) {
        SoundView view(kFrame);
        view.mLastAttackFrequency = static_cast<std::int32_t>(base);
        view.mDisplayFrequency = base;
        view.mCurrentFrequency = current;
        view.mHitsSinceAttack = hits;
        view.mStrikesSinceAttack = strikes;
        view.mFrequencyStable = stable;
        view.selectedFrequency = selected;
        view.mInTune = inTune;
        view.checkStable();
        EXPECT_EQ(std::tuple(view.mHitsSinceAttack.load(), view.mStrikesSinceAttack.load(),
                             view.mFrequencyStable.load(), view.mInTune.load(),
                             view.mDisplayFrequency.load()),
                  std::tuple(hitsAfter, strikesAfter, stableAfter, inTuneAfter,
                             static_cast<float>(display)))
            << current << " Hz, " << hits << " hits, string " << selected;
    }
}

// An attack: a rise over 1.1 times the last volume (after a window that held a gap, the
// last one heard whole) to more than a fifth of the highest. It restarts the note and leaves the
// verdict; otherwise the count goes on, stopping at the top. The note's first reading is taken
// within four analyses of its attack, or never.
TEST(Attack, RiseOverLastAndFifthOfHighestThenTheFirstReading) {
    // The last volume, the current one; the analyses since the attack before and after; the
    // volume heard whole before a gap (none: no gap).
    const std::tuple<float, float, std::int32_t, std::int32_t, float> cases[] = {
        {0.4f, 0.5f, 7, 0, 0},        {0.4f, 0.442f, 7, 0, 0},   {0.4f, 0.43f, 7, 8, 0},
        {0.1f, 0.201f, 7, 0, 0},      {0.1f, 0.15f, 7, 8, 0},    {0.5f, 0.5f, 7, 8, 0},
        {0.1f, 0.15f, kTop, kTop, 0}, {0.0f, 0.5f, 7, 8, 0.46f}, {0.0f, 0.5f, 7, 0, 0.4f}};
    for (const auto& [last, current, since, sinceAfter, heard] : cases) {
        SoundView view(kFrame);
        view.mGapBefore = heard > 0.0f;
        view.mHeardVolume = heard;
        view.mHighestVolume = 1.0f;
        view.mLastVolume = last;
        view.mCurrentVolume = current;
        view.mSinceAttack = since;
        view.mHitsSinceAttack = 3;
        view.mInTune = 1.0f;
        view.getAttack();
        const bool attack = sinceAfter == 0;
        EXPECT_EQ(std::tuple(view.mSinceAttack.load(), view.mHitsSinceAttack.load(),
                             view.mLastAttackFrequency.load(), view.mInTune.load()),
                  std::tuple(sinceAfter, attack ? 0 : 3, attack ? -1 : 0, 1.0f))
            << last << " " << current;
    }
    for (const std::int32_t since : {3, 4}) {
        SoundView view(kFrame);
        view.mPeriodCount = 2;
        view.mLastPeriod = 134; // 329.1 Hz
        view.mLastAttackFrequency = -1;
        view.mSinceAttack = since;
        view.autoSelect = 1;
        view.getFrequency();
        EXPECT_EQ(std::tuple(view.mLastAttackFrequency.load(), view.selectedFrequency.load()),
                  since == 3 ? std::tuple(329, 5) : std::tuple(-1, 0))
            << since;
    }
}

// The nearest string in whole hertz to a valid frequency (above 8 and below 10000 Hz).
TEST(StringSelection, NearestInWholeHertzLowerWinsTies) {
    SoundView view(kFrame);
    EXPECT_FALSE(view.validFrequency(8.0f) || view.validFrequency(10000.0f));
    EXPECT_TRUE(view.validFrequency(8.001f) && view.validFrequency(9999.0f));
    const std::pair<float, int> cases[] = {{96.2f, 0},  {128.4f, 1}, {171.5f, 2},
                                           {221.0f, 3}, {288.3f, 4}, {171.0f, 2},
                                           {300.0f, 5}, {9.0f, 0},   {5000.0f, 5}};
    for (auto [frequency, index] : cases) {
        view.mCurrentFrequency = frequency;
        view.selectNearestString();
        EXPECT_EQ(view.selectedFrequency, index) << frequency;
    }
}

TEST(Intake, FourBlocksAWindowNewLengthsAndOddBlocks) {
    SoundView view(kFrame);
    std::vector<float> block(512, 0.25f), output(512, 7.0f);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(view.takeNeedsDisplay()) << "a redraw before the window was full";
        view.filterInput(block.data(), output.data(), 512, i);
    }
    EXPECT_EQ(std::tuple(view.mSampleBufferSize.load(), view.mSamplesToDraw.load(),
                         view.mCurrentStep.load(), view.mCurrentVolume.load()),
              std::tuple(2048, 700, 0, 0.25f));
    EXPECT_TRUE(view.takeNeedsDisplay());
    EXPECT_EQ(output, std::vector<float>(512, 7.0f));

    // A new block length rebuilds the window, zeroed, and fills the slot that was due;
    // blocks that cannot be taken change nothing.
    view.filterInput(block.data(), output.data(), 512, 0);
    view.filterInput(block.data(), output.data(), 512, 0);
    std::vector<float> longer(600, 0.5f);
    view.filterInput(longer.data(), output.data(), 600, 0);
    view.filterInput(nullptr, nullptr, 600, 0);
    view.filterInput(longer.data(), nullptr, 0, 0);
    view.filterInput(longer.data(), nullptr, 0x20000000u, 0);
    EXPECT_EQ(std::tuple(view.mSampleBufferSize.load(), view.mCurrentStep.load(),
                         view.mSampleBuffer[1199].load(), view.mSampleBuffer[1200].load()),
              std::tuple(2400, 3, 0.0f, 0.5f));

    // Samples no device should send give no reading outside the valid range.
    const float hostile[] = {NAN, INFINITY, -INFINITY, 1e-40f, 1e30f, -1e30f, 0.0f};
    std::generate(longer.begin(), longer.end(), [&, i = 0]() mutable { return hostile[i++ % 7]; });
    for (int i = 0; i < 8; ++i) {
        view.filterInput(longer.data(), nullptr, 600, 0);
    }
    const float f = view.mFrequency;
    EXPECT_TRUE(f == -1.0f || (f > 8.0f && f < 10000.0f) || f == 0.0f) << f;
    EXPECT_TRUE(view.selectedFrequency >= 0 && view.selectedFrequency <= 5);
    // The shortest block a device can send is taken too.
    view.filterInput(block.data(), nullptr, 1, 0);
    EXPECT_EQ(view.mSampleBufferSize.load(), 4);
}
