// Frames drawn on one thread while the intake, on another, takes blocks whose length
// keeps changing (each change rebuilds the window): no frame may read a freed window or
// race with the analysis (run under ThreadSanitizer).
#include "DisplayTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

using namespace display_test;

TEST(FrameConcurrency, FramesWhileTheIntakeRebuildsTheWindow) {
    const auto view = makeView();
    std::atomic<bool> done{false};
    std::thread audio([&] {
        std::vector<float> block(1024);
        std::vector<float> output(1024);
        for (int i = 0; i < 1024; ++i) {
            block[i] = 0.08f * std::sin(2.0f * 3.14159265f * static_cast<float>(i) / 133.8f);
        }
        const std::uint32_t lengths[] = {512, 256, 1024, 128};
        for (int round = 0; round < 400; ++round) {
            const std::uint32_t n = lengths[(round / 8) % 4];
            view->filterInput(block.data(), output.data(), n, 0);
        }
        done = true;
    });
    int frames = 0;
    while (!done || frames < 50) {
        view->display();
        ++frames;
    }
    audio.join();
    EXPECT_GT(view->mSampleBufferSize, 0);
    EXPECT_EQ(bitmapPixel(*view, 0, 0), grey(0));
}
