// Frames from chosen tuner states, for what the golden frames do not show: the wave's
// fade and bounds, marks out of the usual range, the glide, odd states and sizes; and the
// switch of automatic string selection.
#include "DisplayTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
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
        int string;
        float from; // NaN: where the last frame left it
        std::vector<float> positions;
    } glides[] = {{1, NAN, {500.3475f, 474.2606f, 454.6955f}},                // down to 400
                  {0, 100.0f, {209.75f, 292.0625f, 353.796875f, 400.09766f}}, // up to 535
                  {1, 400.8f, {400.6f}}};
    for (const auto& glide : glides) {
        view->selectedFrequency = glide.string;
        view->selectedMarkPos = std::isnan(glide.from) ? view->selectedMarkPos.load() : glide.from;
        for (float expected : glide.positions) {
            view->display();
            EXPECT_NEAR(view->selectedMarkPos, expected, 1e-3f) << glide.from;
        }
    }
}

// Only samples inside the window are drawn, whatever the period start and the count to
// draw: a window of 400 samples at 0.05 (row 51) lit over `columns` from column `from`.
// Views smaller than the layout, or too small for a bitmap, are drawn too. No read leaves
// the window, nor any write the store (which AddressSanitizer watches).
TEST(SoundViewFrame, WaveReadsOnlyInsideTheWindowAndSmallViewsAreDrawn) {
    const struct {
        std::int32_t first, samplesToDraw;
        std::size_t columns;
        int from;
    } cases[] = {{100, 700, 300, 0},    {-1, 700, 400, 1},     {400, 700, 0, -1},
                 {5000, 700, 0, -1},    {INT_MAX, 700, 0, -1}, {-700, 700, 0, -1},
                 {INT_MIN, 700, 0, -1}, {0, INT_MAX, 1, 0},    {0, 0, 0, -1},
                 {0, INT_MIN, 0, -1}};
    for (const auto& c : cases) {
        const auto view = makeView();
        SharedFloat* samples = allocateWindow(*view, 400);
        for (int i = 0; i < 400; ++i) {
            samples[i] = 0.05f;
        }
        view->mCurrentVolume = 0.05f;
        view->mFirstPeriod = c.first;
        view->mSamplesToDraw = c.samplesToDraw;
        view->display();
        const std::vector<int> lit = columnsOf(*view, 51, grey(250));
        EXPECT_EQ(std::pair(lit.size(), lit.empty() ? -1 : lit.front()),
                  std::pair(c.columns, c.from))
            << c.first << " " << c.samplesToDraw;
    }
    for (const NSSize size : {NSSize{700, 150}, NSSize{1, 300}, NSSize{3, 3}, NSSize{0, 0},
                              NSSize{700, 0}, NSSize{-5, 300}}) {
        const auto view = makeView(size.width, size.height);
        allocateWindow(*view, 2800)[0] = 0.05f;
        view->mCurrentVolume = 0.05f;
        view->mFrequencyStable = 1.0f;
        view->display();
        EXPECT_EQ(view->mDestImageRep != nullptr, size.width > 0 && size.height > 0) << size.width;
        EXPECT_EQ(view->mPeriodMarkAlpha, 1.0f) << "no frame without a bitmap";
    }
}
