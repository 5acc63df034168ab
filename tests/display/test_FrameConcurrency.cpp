// Frames drawn on one thread while the intake, on another, fills and analyses window after
// window, each of its own level, and rebuilds the window as the block length changes:
// every frame's wave must be one window's, whole, and no frame may read a freed window or
// race with the analysis (run under ThreadSanitizer).
#include "SoundView.h"

#include "RgbPicture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

TEST(FrameConcurrency, EveryFrameShowsOneWindowWhole) {
    SoundView view(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f));
    // Every level below stays within the volume range that keeps the wave bright.
    view.mHighestVolume = 0.5f;

    std::atomic<bool> done{false};
    std::thread audio([&] {
        const std::uint32_t lengths[] = {512, 256, 1024, 128};
        std::vector<float> block(1024);
        int windows = 0;
        for (int round = 0; round < 12000; ++round) {
            // A window of one level, 0.05 to 0.4: its dots all lie on one row, 10 or more
            // rows from any other level's. Lengths change every 7 blocks, so rebuilds also
            // fall inside windows, whose earlier slots then read as zero (under the centre
            // line).
            const float level = 0.05f * static_cast<float>(1 + windows % 8);
            const std::uint32_t n = lengths[(round / 7) % 4];
            std::fill(block.begin(), block.begin() + n, level);
            view.filterInput(block.data(), nullptr, n, 0);
            if (view.mCurrentStep == 0) {
                ++windows;
            }
        }
        done.store(true, std::memory_order_release);
    });

    int frames = 0;
    int framesWithWave = 0;
    int tornFrames = 0;
    while (!done.load(std::memory_order_acquire) || frames < 50) {
        view.display();
        ++frames;
        std::set<int> waveRows;
        for (int row = 1; row < 200; ++row) {
            for (int x = 1; x < 699; ++x) {
                const std::uint8_t* pixel = view.picture().pixel(x, row);
                if (pixel[0] == 250 && pixel[1] == 250 && pixel[2] == 250) {
                    waveRows.insert(row);
                    break;
                }
            }
        }
        framesWithWave += waveRows.size() == 1 ? 1 : 0;
        tornFrames += waveRows.size() > 1 ? 1 : 0;
    }
    audio.join();
    EXPECT_EQ(tornFrames, 0) << "of " << frames << " frames";
    EXPECT_GT(framesWithWave, frames / 2);
}
