// Frames from chosen tuner states: whole frames against the golden ones, the wave's fade, marks
// out of the usual range, the glide, a click between analyses, and small views.
#include "DisplayTestSupport.h"

#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

using namespace display_test;

// Whole frames from fixed tuner states, with the committed images, compared byte for byte
// with golden/: the start, an in-tune E4 at 1, 2 and 3 pixels a point, a flat A2 fading out.
// At s = 2 and 3 pixels a point the frame is the 1x frame drawn finer. Before taking a changed
// one, check what made these right: averaged over s × s blocks it is the 1x frame, within 1
// level where the 1x frame shows its layout alone (border, bands, separator and centre line
// keep their width in points), and within (s - 1) / s of 250 within a point of the dots, marks
// and glyphs, which the finer scale places to its own pixel: a dot or a glyph's edge may move
// that share of itself into the next point (also from under the centre line, which covers it
// at 1x, into the rows beside it), a mark, one pixel wide, keeps 1 / s of itself, and 250 is
// the most that any of them differs from what it lies on (a mark over the black border). And
// the detail 1x cannot show: dots starting on odd rows, both marks one pixel wide on the
// period's own pixel (s × 44100 / 329.8 truncated), the buttons drawn from their images for
// the scale (NAME@2x.png, NAME@3x.png).
TEST(GoldenFrames, StartInTuneE4AtEachScaleAndFlatA2FadingOut) {
    TestView start;
    start.display();
    expectMatchesGolden(start.picture(), "start.png");
    // The frames of a stable note, faded for some frames: a wave of two harmonics from its
    // first period start, the marks and readouts at their places (the selected mark settled).
    // Frequency, readout, string, in tune, volume, frames faded, scale, golden frame.
    const std::tuple<float, float, int, float, float, int, int, const char*> notes[] = {
        {329.8f, 329.7f, 5, 1.0f, 0.06f, 0, 1, "in-tune-E4.png"},
        {329.8f, 329.7f, 5, 1.0f, 0.06f, 0, 2, "in-tune-E4-scale2.png"},
        {329.8f, 329.7f, 5, 1.0f, 0.06f, 0, 3, "in-tune-E4-scale3.png"},
        {106.0f, 106.2f, 1, 0.0f, 0.09f, 4, 1, "flat-A2-fading.png"}};
    for (const auto& [frequency, shown, string, inTune, volume, faded, scale, golden] : notes) {
        TestView view;
        view.setBackingScaleFactor(scale);
        view.allocSampleBuffer(512); // a window of 2048 samples
        for (int i = 0; i < 2048; ++i) {
            const double phase = 2.0 * std::numbers::pi * i / (44100.0 / frequency);
            view.mSampleBuffer[i] =
                static_cast<float>(volume * (0.8 * std::sin(phase) + 0.2 * std::sin(2.0 * phase)));
        }
        view.mCurrentVolume = volume;
        view.mFrequency = frequency;
        view.mDisplayFrequency = shown;
        view.selectedFrequency = string;
        view.mInTune = inTune;
        for (int frame = 0; frame < 60 + faded; ++frame) {
            view.mFrequencyStable = frame < 60 ? 1.0f : 0.0f;
            view.display();
        }
        expectMatchesGolden(view.picture(), golden);
    }
}

// Bright while the volume lies between 0.04 and 1.1 times the highest, else fading out
// over ten frames (the period mark fades alike); samples beyond the highest stay in the
// wave area.
TEST(SoundViewFrame, WaveFadesOutsideTheVolumeRangeAndStaysInItsArea) {
    TestView view;
    view.allocSampleBuffer(700);    // a zero window of 2800 samples: mSamplesToDraw becomes 700
    view.mSampleBuffer[20] = 0.25f; // row 100 - 0.25 × 196 = 51
    view.mSampleBuffer[30] = 1.0f;
    view.mSampleBuffer[40] = -1.0f;
    view.mHighestVolume = 0.5f;
    const std::pair<float, int> frames[] = {
        {0.25f, 250},  {0.5525f, 232}, {0.25f, 250},  {0.0201f, 250}, {0.015f, 232},
        {0.015f, 214}, {0.015f, 197},  {0.015f, 179}, {0.015f, 162},  {0.015f, 144},
        {0.015f, 127}, {0.015f, 109},  {0.015f, 92},  {0.015f, 74},   {0.015f, 75}};
    for (auto [volume, level] : frames) {
        view.mCurrentVolume = volume;
        view.display();
        EXPECT_EQ((std::vector{bitmapPixel(view, 20, 51), bitmapPixel(view, 30, 0),
                               bitmapPixel(view, 40, 199)}),
                  std::vector(3, Rgb{level, level, level}))
            << volume;
    }
}

// The measured period mark (row 50 shown): a period of 700 samples or more stands at the
// right edge; no period, or one at column 0, draws no mark.
TEST(SoundViewFrame, MeasuredPeriodMarkOutOfRange) {
    TestView view;
    view.allocSampleBuffer(700);
    view.mFrequencyStable = 1.0f;
    view.mInTune = 1.0f;
    const std::pair<float, std::vector<int>> cases[] = {
        {63.0f, {699}}, {0.0f, {699}}, {-1.0f, {}}, {1.0e9f, {}}};
    for (const auto& [frequency, mark] : cases) {
        view.mFrequency = frequency;
        view.display();
        std::vector<int> columns; // of the marks' green
        for (int x = 0; x < 700; ++x) {
            columns.insert(columns.end(), bitmapPixel(view, x, 50) == Rgb{0, 250, 0} ? 1 : 0, x);
        }
        EXPECT_EQ(columns, mark) << frequency;
    }
}

// The selected mark starts one E2 period in and glides a quarter of the way to its goal
// a frame, plus a pixel while more than one away.
TEST(SoundViewFrame, SelectedMarkGlide) {
    TestView view;
    view.allocSampleBuffer(700);
    // The string (goal: E2 535, A2 400), where the mark starts (NaN: where the last frame left
    // it), and where the frame leaves it.
    const std::tuple<int, float, float> frames[] = {
        {1, NAN, 500.3475f}, {1, NAN, 474.2606f},   {1, NAN, 454.6955f},  {0, 100.0f, 209.75f},
        {0, NAN, 292.0625f}, {0, NAN, 353.796875f}, {0, NAN, 400.09766f}, {1, 400.8f, 400.6f}};
    for (const auto& [string, from, position] : frames) {
        view.selectedFrequency = string;
        view.selectedMarkPos = std::isnan(from) ? view.selectedMarkPos.load() : from;
        view.display();
        EXPECT_NEAR(view.selectedMarkPos, position, 1e-3f) << position;
    }
}

// A click between two analyses shows in the very next frame (golden/click-A2.png): the
// clicked button lit and D3's faded, A2's 110.0 in the target readout four pixels right of the
// target mark, the mark on its way from D3's column 300 to A2's 400. The next note's automatic
// choice then replaces the click in the frame after that analysis (golden/next-note-G3.png:
// G3 lit, its 196.0 in the target readout).
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

    // A frame between the first block and the first analysis (an expose) already spreads
    // 700 samples across the width: the target mark stays at E2's column.
    view.filterInput(block.data(), nullptr, 512, 0);
    view.display();
    EXPECT_NEAR(view.selectedMarkPos, 535.0f, 1.0f);

    play(146.83, 0.5, 40); // D3, chosen automatically; its mark settles
    ASSERT_EQ(view.selectedFrequency, 2);
    const float settled = view.selectedMarkPos;
    view.mouseUp(NSEvent(NSMakePoint(36.0f, 14.0f))); // A2
    view.display();
    expectMatchesGolden(view.picture(), "click-A2.png");
    EXPECT_TRUE(view.selectedMarkPos > settled + 20.0f && view.selectedMarkPos < 400.0f)
        << view.selectedMarkPos;

    // A louder G3 is a new note: the analysis after its attack takes its first reading.
    play(196.0, 0.8, 2);
    expectMatchesGolden(view.picture(), "next-note-G3.png");
}

// Views smaller than the layout, or too small for a bitmap, still draw their frames; no
// write leaves the store (which AddressSanitizer watches).
TEST(SoundViewFrame, SmallViewsAreDrawn) {
    for (const NSSize size : {NSSize{700, 150}, NSSize{1, 300}, NSSize{0, 0}, NSSize{700, 0}}) {
        TestView view(size.width, size.height);
        view.allocSampleBuffer(700);
        view.mSampleBuffer[0] = 0.05f;
        view.mCurrentVolume = 0.05f;
        view.mFrequencyStable = 1.0f;
        view.display();
        EXPECT_EQ(view.mDestImageRep != nullptr, size.width > 0 && size.height > 0) << size.width;
        EXPECT_EQ(view.mPeriodMarkAlpha, 1.0f) << "no frame without a bitmap";
    }
}
