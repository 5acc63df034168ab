// The tuner state shared between the audio thread's intake and the main thread's frames,
// and the handover of finished analyses. Run under ThreadSanitizer.
#include "AnalysisHandover.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace {

// A plucked-string-like block: a decaying fundamental with two overtones, all within ±1.
void fillBlock(std::vector<float>& block, std::int64_t& t, double frequency, double& level) {
    constexpr double kTwoPi = 6.283185307179586;
    for (float& sample : block) {
        const double phase = kTwoPi * frequency * static_cast<double>(t) / 44100.0;
        sample = static_cast<float>(level * (0.6 * std::sin(phase) + 0.25 * std::sin(2 * phase) +
                                             0.1 * std::sin(3 * phase)));
        level *= 0.99995;
        ++t;
    }
}

} // namespace

// The intake runs on one thread, changing its block length every few windows so that the
// arrays are rebuilt under a reader, while another thread acts as the main thread: it reads
// the shared fields, draws whole frames, clicks string buttons and toggles the automatic
// choice.
TEST(AnalysisConcurrency, IntakeAgainstFramesAndClicks) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    const std::uint32_t lengths[] = {512, 256, 700, 512, 64, 1024};
    std::set<std::int32_t> allowedSizes = {0};
    for (std::uint32_t n : lengths) {
        allowedSizes.insert(static_cast<std::int32_t>(4 * n));
    }

    std::atomic<bool> audioDone{false};
    std::atomic<int> analyses{0};
    std::thread audio([&] {
        std::vector<float> block;
        std::int64_t t = 0;
        double level = 0.0;
        const double notes[] = {329.63, 110.0, 196.0};
        for (int round = 0; round < 120; ++round) {
            block.resize(lengths[round % 6]);
            if (round % 5 == 0) {
                level = 0.9; // a new strike
            }
            // Blocks of this length for two windows plus one, so rebuilds also fall mid-window.
            for (int b = 0; b < 9; ++b) {
                fillBlock(block, t, notes[round % 3], level);
                view.filterInput(block.data(), nullptr, static_cast<std::uint32_t>(block.size()),
                                 0);
                if (view.mCurrentStep == 0) {
                    analyses.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
        audioDone.store(true, std::memory_order_release);
    });

    int frames = 0;
    bool flagsExact = true;
    bool indicesInRange = true;
    bool samplesInRange = true;
    bool sizesAllowed = true;
    NSControl toggle;
    const NSPoint buttons[] = {NSMakePoint(10, 10), NSMakePoint(32, 10), NSMakePoint(120, 10)};
    while (!audioDone.load(std::memory_order_acquire) || frames < 3) {
        // The scalars a frame and the readouts take.
        const float stable = view.mFrequencyStable;
        const float inTune = view.mInTune;
        flagsExact &= (stable == 0.0f || stable == 1.0f) && (inTune == 0.0f || inTune == 1.0f);
        const std::int32_t selected = view.selectedFrequency;
        indicesInRange &= selected >= 0 && selected <= 5;
        const std::int32_t step = view.mCurrentStep;
        indicesInRange &= step >= 0 && step < 4;
        const std::int32_t first = view.mFirstPeriod;
        indicesInRange &= first == -1 || first >= 0;
        const float volume = view.mCurrentVolume;
        const float highest = view.mHighestVolume;
        samplesInRange &= volume <= 1.0f && highest <= 1.0f;
        sizesAllowed &= allowedSizes.count(view.mSampleBufferSize) == 1;
        (void)view.mFrequency.load();
        (void)view.mDisplayFrequency.load();
        (void)view.mSamplesToDraw.load();
        (void)view.mSamplePeriod.load();
        (void)view.autoSelect.load();

        // What the main thread does besides: frames, clicks and the toggle.
        view.takeNeedsDisplay();
        view.display();
        view.mouseUp(NSEvent(buttons[frames % 3]));
        if (frames % 7 == 0) {
            view.toggleAutoSelect(&toggle);
        }
        ++frames;
    }
    audio.join();

    EXPECT_TRUE(flagsExact);
    EXPECT_TRUE(indicesInRange);
    EXPECT_TRUE(samplesInRange);
    EXPECT_TRUE(sizesAllowed);
    // 120 rounds of 9 blocks, each round starting at the slot the last one left: 270 windows.
    EXPECT_EQ(analyses.load(), 270);
    EXPECT_EQ(view.mSampleBufferSize, 4 * 1024);
    // Every window a frame took was still alive; the last ones are freed with the view,
    // which AddressSanitizer and LeakSanitizer check.
}

namespace {

// A publication whose every value and sample is tag, with a window of size samples.
PublishedAnalysis tagged(std::vector<SharedFloat>& window, float tag) {
    for (SharedFloat& sample : window) {
        sample.store(tag, std::memory_order_relaxed);
    }
    PublishedAnalysis values;
    values.mFirstPeriod = static_cast<std::int32_t>(tag);
    values.mCurrentVolume = tag;
    values.mFrequency = tag;
    values.mDisplayFrequency = tag;
    return values;
}

// Every value of a publication and every sample of its window carry the same tag.
bool whole(const PublishedAnalysis& shown) {
    const float tag = shown.mCurrentVolume;
    bool same = static_cast<float>(shown.mFirstPeriod) == tag && shown.mFrequency == tag &&
                shown.mDisplayFrequency == tag;
    for (std::int32_t i = 0; i < shown.size; ++i) {
        same &= shown.samples[i] == tag;
    }
    return same;
}

} // namespace

// The reader keeps what it took while the writer publishes and resizes; it moves to the
// latest publication, and to new slots only once they hold one; replaced slots are freed
// once the reader has left them.
TEST(AnalysisHandover, LatestWholeAndHeldSlotsOutliveResizes) {
    AnalysisHandover handover;
    EXPECT_EQ(handover.takeLatest().samples, nullptr);
    std::vector<SharedFloat> window(8);
    handover.publish(tagged(window, 1.0f), window.data(), 8); // no window size yet
    EXPECT_EQ(handover.takeLatest().size, 0);
    EXPECT_EQ(handover.shown().mCurrentVolume, 1.0f);

    ASSERT_TRUE(handover.resize(8));
    handover.publish(tagged(window, 2.0f), window.data(), 8);
    handover.publish(tagged(window, 3.0f), window.data(), 8);
    const PublishedAnalysis& three = handover.takeLatest();
    EXPECT_EQ(three.size, 8);
    EXPECT_TRUE(whole(three));
    EXPECT_EQ(three.mCurrentVolume, 3.0f);

    // Resized twice and published into without the reader: it keeps showing 3 from the
    // old slots, which a further resize must not free.
    ASSERT_TRUE(handover.resize(4));
    EXPECT_EQ(handover.takeLatest().mCurrentVolume, 3.0f) << "new slots without a publication";
    std::vector<SharedFloat> shorter(4);
    handover.publish(tagged(shorter, 4.0f), shorter.data(), 4);
    ASSERT_TRUE(handover.resize(6));
    EXPECT_EQ(handover.retiredCount(), 1);
    EXPECT_TRUE(whole(handover.shown()));
    EXPECT_EQ(handover.shown().mCurrentVolume, 3.0f);

    EXPECT_EQ(handover.takeLatest().mCurrentVolume, 4.0f);
    EXPECT_EQ(handover.shown().size, 4);
    ASSERT_TRUE(handover.resize(6));
    EXPECT_EQ(handover.retiredCount(), 0);
    EXPECT_EQ(handover.shown().mCurrentVolume, 4.0f);
    EXPECT_TRUE(whole(handover.shown()));
}
