// Frames from chosen tuner states, for what the golden frames do not show: the wave's
// fade, marks out of the usual range, the glide, and small views.
#include "DisplayTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace display_test;

namespace {

// The columns of a bitmap row that hold the given colour.
std::vector<int> columnsOf(const SoundView& view, int row, Rgb colour) {
    std::vector<int> columns;
    for (int x = 0; x < view.mDestImageRep->pixelsWide(); ++x) {
        if (bitmapPixel(view, x, row) == colour) {
            columns.push_back(x);
        }
    }
    return columns;
}

} // namespace

// Bright while the volume lies between 0.04 and 1.1 times the highest, else fading out
// over ten frames (the period mark fades alike); samples beyond the highest stay in the
// wave area.
TEST(SoundViewFrame, WaveFadesOutsideTheVolumeRangeAndStaysInItsArea) {
    const auto view = makeView();
    SharedFloat* samples = allocateWindow(*view, 2800);
    samples[20] = 0.25f; // row 100 - 0.25 × 196 = 51
    samples[30] = 1.0f;
    samples[40] = -1.0f;
    view->mHighestVolume = 0.5f;
    const std::pair<float, int> frames[] = {
        {0.25f, 250},  {0.5525f, 232}, {0.25f, 250},  {0.0201f, 250}, {0.015f, 232},
        {0.015f, 214}, {0.015f, 197},  {0.015f, 179}, {0.015f, 162},  {0.015f, 144},
        {0.015f, 127}, {0.015f, 109},  {0.015f, 92},  {0.015f, 74},   {0.015f, 75}};
    for (auto [volume, level] : frames) {
        view->mCurrentVolume = volume;
        view->display();
        EXPECT_EQ((std::vector{bitmapPixel(*view, 20, 51), bitmapPixel(*view, 30, 0),
                               bitmapPixel(*view, 40, 199)}),
                  std::vector<Rgb>(3, grey(level)))
            << volume;
    }
}

// The measured period mark (row 50 shown): a period of 700 samples or more stands at the
// right edge; no period, or one at column 0, draws no mark.
TEST(SoundViewFrame, MeasuredPeriodMarkOutOfRange) {
    const auto view = makeView();
    allocateWindow(*view, 2800);
    view->mFrequencyStable = 1.0f;
    view->mInTune = 1.0f;
    const std::pair<float, std::vector<int>> cases[] = {
        {63.0f, {699}}, {0.0f, {699}}, {-1.0f, {}}, {1.0e9f, {}}};
    for (const auto& [frequency, mark] : cases) {
        view->mFrequency = frequency;
        view->display();
        EXPECT_EQ(columnsOf(*view, 50, Rgb{0, 250, 0}), mark) << frequency;
    }
}

// The selected mark starts one E2 period in and glides a quarter of the way to its goal
// a frame, plus a pixel while more than one away.
TEST(SoundViewFrame, SelectedMarkGlide) {
    const auto view = makeView();
    allocateWindow(*view, 2800);
    const struct {
        int string; // goal: E2 535, A2 400
        float from; // NaN: where the last frame left it
        float position;
    } frames[] = {{1, NAN, 500.3475f},  {1, NAN, 474.2606f}, {1, NAN, 454.6955f},
                  {0, 100.0f, 209.75f}, {0, NAN, 292.0625f}, {0, NAN, 353.796875f},
                  {0, NAN, 400.09766f}, {1, 400.8f, 400.6f}};
    for (const auto& frame : frames) {
        view->selectedFrequency = frame.string;
        view->selectedMarkPos = std::isnan(frame.from) ? view->selectedMarkPos.load() : frame.from;
        view->display();
        EXPECT_NEAR(view->selectedMarkPos, frame.position, 1e-3f) << frame.position;
    }
}

// Views smaller than the layout, or too small for a bitmap, still draw their frames; no
// write leaves the store (which AddressSanitizer watches).
TEST(SoundViewFrame, SmallViewsAreDrawn) {
    for (const NSSize size : {NSSize{700, 150}, NSSize{1, 300}, NSSize{0, 0}, NSSize{700, 0}}) {
        const auto view = makeView(size.width, size.height);
        allocateWindow(*view, 2800)[0] = 0.05f;
        view->mCurrentVolume = 0.05f;
        view->mFrequencyStable = 1.0f;
        view->display();
        EXPECT_EQ(view->mDestImageRep != nullptr, size.width > 0 && size.height > 0) << size.width;
        EXPECT_EQ(view->mPeriodMarkAlpha, 1.0f) << "no frame without a bitmap";
    }
}
