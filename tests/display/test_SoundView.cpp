// Frames from chosen tuner states, for what the golden frames do not show: the wave's
// fade, marks out of the usual range, the glide, a click between analyses, and small views.
#include "DisplayTestSupport.h"

#include "NSImage.h"
#include "SaturatingCast.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <numbers>
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

// Whether the images, drawn one after another from (x, y) in view coordinates with the
// pen's one-pixel gap, stand in the view's picture at full opacity: every opaque pixel of
// each as it is in the image.
bool showsAtFullOpacity(const SoundView& view, int x, int y,
                        std::initializer_list<const NSImage*> images) {
    const RgbPicture& picture = view.picture();
    for (const NSImage* image : images) {
        const int width = image->pixelsWide();
        const int height = image->pixelsHigh();
        const std::vector<std::uint8_t>& rgba = image->rgba();
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                const std::uint8_t* in = &rgba[(row * width + column) * 4];
                const std::uint8_t* out =
                    picture.pixel(x + column, picture.height() - y - height + row);
                if (in[3] == 255 && (in[0] != out[0] || in[1] != out[1] || in[2] != out[2])) {
                    return false;
                }
            }
        }
        x += width + 1;
    }
    return true;
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

// A click between two analyses shows in the very next frame: the clicked button lit, its
// frequency in the target readout, the target mark on its way there. The next note's
// automatic choice then replaces the click in the frame after that analysis.
TEST(SoundViewFrame, ClickShowsInTheNextFrameAndTheNextNoteChoosesAgain) {
    SoundView view(NSMakeRect(0.0f, 0.0f, 700.0f, 300.0f));
    std::vector<float> block(512);
    std::int64_t t = 0;
    // Blocks of a note until windows analyses have run, each followed by its frame.
    const auto play = [&](double frequency, double level, int windows) {
        while (windows > 0) {
            for (float& sample : block) {
                sample = static_cast<float>(
                    level * std::sin(2.0 * std::numbers::pi * frequency * t++ / 44100.0));
            }
            view.filterInput(block.data(), nullptr, 512, 0);
            if (view.takeNeedsDisplay()) {
                view.display();
                --windows;
            }
        }
    };
    // The target readout, its first glyph four pixels right of the mark.
    const auto targetReadoutShows = [&](std::initializer_list<const NSImage*> glyphs) {
        return showsAtFullOpacity(view, toInt32(view.selectedMarkPos + 4.0f), 38, glyphs);
    };

    // A frame between the first block and the first analysis (an expose) already spreads
    // 700 samples across the width: the target mark stays at E2's column.
    view.filterInput(block.data(), nullptr, 512, 0);
    view.display();
    EXPECT_NEAR(view.selectedMarkPos, 535.0f, 1.0f);

    play(146.83, 0.5, 40); // D3, chosen automatically; its mark settles at column 300
    ASSERT_TRUE(showsAtFullOpacity(view, 48, 4, {view.d3}));
    const float settled = view.selectedMarkPos;

    view.mouseUp(NSEvent(NSMakePoint(36.0f, 14.0f))); // A2, goal column 400
    view.display();
    EXPECT_TRUE(showsAtFullOpacity(view, 26, 4, {view.a2}));
    EXPECT_FALSE(showsAtFullOpacity(view, 48, 4, {view.d3}));
    EXPECT_TRUE(targetReadoutShows({view.n1, view.n1, view.n0, view.dot, view.n0}));
    EXPECT_GT(view.selectedMarkPos, settled + 20.0f);
    EXPECT_LT(view.selectedMarkPos, 400.0f);
    EXPECT_EQ(columnsOf(view, 208, Rgb{0, 250, 0}),
              std::vector{static_cast<int>(view.selectedMarkPos)});

    // A louder G3 is a new note: the analysis after its attack takes its first reading.
    play(196.0, 0.8, 2);
    EXPECT_TRUE(showsAtFullOpacity(view, 70, 4, {view.g3}));
    EXPECT_FALSE(showsAtFullOpacity(view, 26, 4, {view.a2}));
    EXPECT_TRUE(targetReadoutShows({view.n1, view.n9, view.n6, view.dot, view.n0}));
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
