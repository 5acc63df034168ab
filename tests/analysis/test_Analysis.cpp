#include "SaturatingCast.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// Puts a whole window of samples in place without running the analysis.
void setWindow(SoundView& view, const std::vector<float>& samples) {
    view.allocSampleBuffer(static_cast<std::int32_t>(samples.size()) / view.mStepsPerBuffer);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        view.mSampleBuffer[i].store(samples[i], std::memory_order_relaxed);
    }
}

SoundView makeView() {
    return SoundView(NSMakeRect(0, 0, 700, 300));
}

} // namespace

TEST(SaturatingCast, TruncatesSaturatesAndMapsNaN) {
    EXPECT_EQ(toInt32(2.9), 2);
    EXPECT_EQ(toInt32(-2.9), -2);
    EXPECT_EQ(toInt32(3.0e9), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(toInt32(-3.0e9), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(toInt32(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(toInt32(-std::numeric_limits<double>::infinity()), -2147483647 - 1);
    EXPECT_EQ(toInt32(std::nan("")), -2147483647 - 1);
    EXPECT_EQ(toInt32(2147483648.0f), 2147483647);
}

TEST(Levels, RepeatingWaveHasFourPeriodStarts) {
    SoundView view = makeView();
    std::vector<float> samples;
    for (int i = 0; i < 4; ++i) {
        for (float s : {-1.0f, 0.5f, 1.0f, 0.5f, -1.0f}) {
            samples.push_back(s);
        }
    }
    setWindow(view, samples);
    view.getVolume();
    view.getPeaks();
    view.getPosZeroCrossings();
    EXPECT_FLOAT_EQ(view.mCurrentVolume, 1.0f);
    for (int i = 0; i < 20; ++i) {
        const bool peak = i == 3 || i == 8 || i == 13 || i == 18;
        EXPECT_EQ(view.mPeaks[i], peak ? 1 : 0) << i;
    }
    EXPECT_EQ(view.mPosZeroCrossings[1], 3);
    EXPECT_EQ(view.mPosZeroCrossings[6], 4);
    EXPECT_EQ(view.mPosZeroCrossings[11], 2);
    EXPECT_EQ(view.mPosZeroCrossings[16], 5);
    EXPECT_EQ(view.mFirstPeriod, 1);
    EXPECT_EQ(view.mSecondPeriod, 6);
    EXPECT_EQ(view.mLastPeriod, 16);
    EXPECT_EQ(view.mPeriodCount, 4);
}

TEST(Levels, SilentWindowPublishesMinusOne) {
    SoundView view = makeView();
    setWindow(view, std::vector<float>(20, 0.0f));
    view.getVolume();
    view.getPeaks();
    view.getPosZeroCrossings();
    EXPECT_EQ(view.mCurrentVolume, 0.0f);
    EXPECT_EQ(view.mFirstPeriod, -1);
    EXPECT_EQ(view.mPeriodCount, -1);
    EXPECT_EQ(view.mPosZeroCrossings[0], 5);
    // A volume of exactly the highest, or of 10 or more, leaves the highest alone.
    EXPECT_FLOAT_EQ(view.mHighestVolume, 0.1f);
    setWindow(view, std::vector<float>(20, 12.0f));
    view.getVolume();
    EXPECT_FLOAT_EQ(view.mHighestVolume, 0.1f);
}

TEST(Frequency, PeriodFromStartsAndValidity) {
    SoundView view = makeView();
    view.mFirstPeriod = 1;
    view.mLastPeriod = 16;
    view.mPeriodCount = 4;
    view.getFrequency();
    EXPECT_FLOAT_EQ(view.mSamplePeriod, 5.0f);
    EXPECT_FLOAT_EQ(view.mCurrentFrequency, 8820.0f);

    EXPECT_FALSE(view.validFrequency(8.0f));
    EXPECT_FALSE(view.validFrequency(10000.0f));
    EXPECT_TRUE(view.validFrequency(8.001f));
    EXPECT_TRUE(view.validFrequency(9999.0f));

    view.mPeriodCount = -1;
    const std::int32_t hits = view.mHitsSinceAttack;
    view.getFrequency();
    EXPECT_EQ(view.mFrequency, -1.0f);
    EXPECT_EQ(view.mHitsSinceAttack, hits);
}

TEST(Frequency, StabilityBandAndStableRule) {
    SoundView view = makeView();
    view.mLastAttackFrequency = 100;
    for (float f : {90.0f, 120.0f}) {
        view.mCurrentFrequency = f;
        view.mHitsSinceAttack = 0;
        view.checkStable();
        EXPECT_EQ(view.mHitsSinceAttack, 1) << f;
    }
    for (float f : {89.99f, 120.01f}) {
        view.mCurrentFrequency = f;
        view.mStrikesSinceAttack = 0;
        view.checkStable();
        EXPECT_EQ(view.mStrikesSinceAttack, 1) << f;
    }
    view.mCurrentFrequency = 100.0f;
    view.mFrequencyStable = 0.0f;
    view.mHitsSinceAttack = 0;
    view.mStrikesSinceAttack = 0;
    view.checkStable();
    EXPECT_EQ(view.mFrequencyStable, 0.0f); // one hit is not stable
    view.mStrikesSinceAttack = 1;
    view.checkStable();
    EXPECT_EQ(view.mFrequencyStable, 1.0f); // two hits against one strike
    view.mHitsSinceAttack = 20;
    view.mStrikesSinceAttack = 9;
    view.checkStable();
    EXPECT_EQ(view.mFrequencyStable, 0.0f); // nine strikes clear it
}

TEST(Frequency, InTuneUsesWholeHertzOfTheReadout) {
    SoundView view = makeView();
    auto judge = [&](int target, float readout) {
        view.selectedFrequency = target;
        view.mLastAttackFrequency = static_cast<std::int32_t>(readout);
        view.mDisplayFrequency = readout;
        view.mCurrentFrequency = readout;
        view.mHitsSinceAttack = 5;
        view.mStrikesSinceAttack = 0;
        view.checkStable();
        return view.mInTune.load();
    };
    EXPECT_EQ(judge(1, 110.99f), 1.0f);
    EXPECT_EQ(judge(1, 111.0f), 0.0f);
    EXPECT_EQ(judge(4, 248.9f), 1.0f);
    EXPECT_EQ(judge(4, 248.94f), 0.0f);
}

TEST(Attack, RiseOverLastAndFifthOfHighest) {
    SoundView view = makeView();
    auto attack = [&](float last, float current) {
        view.mHighestVolume = 1.0f;
        view.mLastVolume = last;
        view.mCurrentVolume = current;
        view.mSinceAttack = 7;
        view.mInTune = 1.0f;
        view.getAttack();
        return view.mSinceAttack == 0;
    };
    EXPECT_TRUE(attack(0.4f, 0.5f));
    EXPECT_EQ(view.mLastAttackFrequency, -1);
    EXPECT_EQ(view.mInTune, 1.0f); // an attack leaves the verdict
    EXPECT_FALSE(attack(0.4f, 0.42f));
    EXPECT_EQ(view.mSinceAttack, 8);
    EXPECT_FALSE(attack(0.1f, 0.15f));
    EXPECT_FALSE(attack(0.5f, 0.5f));
}

TEST(StringSelection, NearestInWholeHertzLowerWinsTies) {
    SoundView view = makeView();
    const std::pair<float, int> cases[] = {{96.2f, 0},  {128.4f, 1}, {171.5f, 2},
                                           {221.0f, 3}, {288.3f, 4}, {171.0f, 2},
                                           {300.0f, 5}, {9.0f, 0},   {5000.0f, 5}};
    for (auto [frequency, index] : cases) {
        view.mCurrentFrequency = frequency;
        view.selectNearestString();
        EXPECT_EQ(view.selectedFrequency, index) << frequency;
    }
}

TEST(Intake, FirstBlockRebuildsAndFourthAnalyses) {
    SoundView view = makeView();
    EXPECT_EQ(view.mSamplesToDraw, 0);
    std::vector<float> block(512, 0.25f);
    std::vector<float> output(512, 7.0f);
    view.filterInput(block.data(), output.data(), 512, 3);
    EXPECT_EQ(view.mSampleBufferSize, 2048);
    EXPECT_EQ(view.mCurrentStep, 1);
    EXPECT_EQ(view.mSamplesToDraw, 700);
    EXPECT_FALSE(view.takeNeedsDisplay());
    for (int i = 0; i < 3; ++i) {
        view.filterInput(block.data(), output.data(), 512, 0);
    }
    EXPECT_EQ(view.mCurrentStep, 0);
    EXPECT_TRUE(view.takeNeedsDisplay());
    EXPECT_FLOAT_EQ(view.mCurrentVolume, 0.25f);
    for (float v : output) {
        EXPECT_EQ(v, 7.0f);
    }
    // A new block length rebuilds in the slot that was due.
    view.filterInput(block.data(), output.data(), 512, 0);
    view.filterInput(block.data(), output.data(), 512, 0);
    std::vector<float> longer(600, 0.5f);
    view.filterInput(longer.data(), output.data(), 600, 0);
    EXPECT_EQ(view.mSampleBufferSize, 2400);
    EXPECT_EQ(view.mCurrentStep, 3);
    EXPECT_EQ(view.mSampleBuffer[0].load(), 0.0f);
    EXPECT_EQ(view.mSampleBuffer[1200].load(), 0.5f);
}

TEST(Intake, HostileSamplesNeverCrash) {
    SoundView view = makeView();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> block(512);
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 512; ++i) {
            const float values[] = {std::nanf(""), inf, -inf, 1e-40f, 1e30f, -1e30f, 0.0f};
            block[i] = values[(i + round) % 7];
        }
        view.filterInput(block.data(), block.data(), 512, 0);
    }
    const float f = view.mFrequency;
    EXPECT_TRUE(f == -1.0f || (f > 8.0f && f < 10000.0f) || f == 0.0f);
    EXPECT_GE(view.selectedFrequency, 0);
    EXPECT_LE(view.selectedFrequency, 5);
}
