// The audio thread's intake against the main thread's frames, and the handover of finished
// analyses between them. Run under ThreadSanitizer.
#include "AnalysisHandover.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

// The intake fills and analyses window after window, rebuilding the window as the block
// length changes (also in the middle of a window, whose earlier slots then read as zero,
// under the centre line), while the main thread draws frames, clicks string buttons and
// toggles the automatic choice. Every window is a square wave of one level, so a frame
// that mixes two windows shows the wave on rows that are not one mirrored pair.
TEST(AnalysisConcurrency, IntakeAgainstFramesShowsEveryWindowWhole) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    view.mHighestVolume = 0.5f; // every level below then keeps the wave bright
    std::atomic<bool> done{false};
    std::thread audio([&] {
        const std::uint32_t lengths[] = {512, 256, 1024, 128};
        std::vector<float> block(1024);
        std::int64_t t = 0;
        int windows = 0;
        for (int round = 0; round < 12000; ++round) {
            // Levels 0.4 down to 0.05: rows 9 or more apart, and only the step back up is
            // an attack, so the note (134 samples a period, E4) becomes stable in between.
            const float level = 0.05f * static_cast<float>(8 - windows % 8);
            const std::uint32_t n = lengths[(round / 7) % 4];
            for (std::uint32_t i = 0; i < n; ++i, ++t) {
                block[i] = t % 134 < 67 ? level : -level;
            }
            view.filterInput(block.data(), nullptr, n, 0);
            windows += view.mCurrentStep == 0 ? 1 : 0;
        }
        done.store(true, std::memory_order_release);
    });

    int frames = 0, framesWithWave = 0, tornFrames = 0;
    NSControl toggle;
    while (!done.load(std::memory_order_acquire) || frames < 50) {
        view.display();
        std::set<int> rows; // of the lit wave: one mirrored pair about the centre line
        for (int i = 199 * 698 - 1; i >= 0; --i) {
            const std::uint8_t* pixel = view.picture().pixel(1 + i % 698, 1 + i / 698);
            if (pixel[0] == 250 && pixel[1] == 250 && pixel[2] == 250) {
                rows.insert(1 + i / 698);
            }
        }
        const int mirror = rows.empty() ? 0 : *rows.begin() + *rows.rbegin();
        framesWithWave += rows.empty() ? 0 : 1;
        tornFrames += rows.size() > 2 || (rows.size() == 2 && (mirror < 199 || mirror > 200));
        view.mouseUp(NSEvent(NSMakePoint(10.0f + 22.0f * static_cast<float>(frames % 6), 10.0f)));
        view.toggleAutoSelect(&toggle);
        ++frames;
    }
    audio.join();
    EXPECT_EQ(tornFrames, 0) << "of " << frames << " frames";
    EXPECT_GE(framesWithWave, 10) << "too few frames showed a wave to tell torn ones";
}

// The reader keeps what it took while the writer publishes and resizes; it moves to the
// latest publication, and to new slots only once they hold one; replaced slots are freed
// once the reader has left them.
TEST(AnalysisHandover, LatestWholeAndHeldSlotsOutliveResizes) {
    AnalysisHandover handover;
    std::vector<SharedFloat> window(8);
    // Publishes size samples and values, all of one tag.
    const auto publish = [&](float tag, std::int32_t size) {
        std::ranges::for_each(window, [tag](SharedFloat& sample) { sample.store(tag); });
        handover.publish(PublishedAnalysis{.mCurrentVolume = tag}, window.data(), size);
    };
    // The tag of the publication taken, and its window's size; -1 unless it is whole.
    const auto taken = [&](const PublishedAnalysis& shown) {
        const bool whole =
            &shown == &handover.shown() &&
            std::all_of(shown.samples, shown.samples + shown.size,
                        [&](float sample) { return sample == shown.mCurrentVolume; });
        return std::pair(whole ? shown.mCurrentVolume : -1.0f, shown.size);
    };
    ASSERT_TRUE(handover.resize(8));
    publish(2.0f, 8);
    publish(3.0f, 8);
    EXPECT_EQ(taken(handover.takeLatest()), std::pair(3.0f, 8));

    // Resized twice without the reader: it keeps showing 3 from the old slots, which the
    // second resize must not free.
    ASSERT_TRUE(handover.resize(4));
    EXPECT_EQ(taken(handover.takeLatest()), std::pair(3.0f, 8)) << "new slots, no publication";
    publish(4.0f, 4);
    ASSERT_TRUE(handover.resize(6));
    EXPECT_EQ(handover.retiredCount(), 1);
    EXPECT_EQ(taken(handover.shown()), std::pair(3.0f, 8));
    EXPECT_EQ(taken(handover.takeLatest()), std::pair(4.0f, 4));
    ASSERT_TRUE(handover.resize(6));
    EXPECT_EQ(handover.retiredCount(), 0);
    EXPECT_EQ(taken(handover.shown()), std::pair(4.0f, 4));
}
