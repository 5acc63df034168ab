// Frames composed from chosen tuner states: the background, the wave and its fade, the
// two period marks, the glide, and frames whose state or size would lead a careless
// composition outside the window or the store.
#include "DisplayTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace display_test;

namespace {

constexpr int kWidth = 700;
constexpr int kHeight = 300;
constexpr int kMarkRow = 50;      // a row of the measured period mark, off the wave's dots
constexpr int kSelectedRow = 210; // a row of the selected-period mark

// A 700 × 300 view with a zero window of 2800 samples (blocks of 700), as after the first
// block: mSamplesToDraw is 700, so one sample per column.
std::unique_ptr<TestView> viewWithWindow(SharedFloat*& samples) {
    auto view = makeView();
    samples = allocateWindow(*view, 2800);
    return view;
}

std::uint8_t* store(SoundView& view) {
    return view.mDestImageRep->bitmapData();
}

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

// The single column of the selected-period mark (green or red), -1 if none.
int selectedMarkColumn(const SoundView& view) {
    int found = -1;
    for (int x = 0; x < view.mDestImageRep->pixelsWide(); ++x) {
        const Rgb colour = bitmapPixel(view, x, kSelectedRow);
        if (colour == Rgb{0, 250, 0} || colour == Rgb{250, 0, 0}) {
            EXPECT_EQ(found, -1) << "two selected marks";
            found = x;
        }
    }
    return found;
}

} // namespace

TEST(SoundViewFrame, BackgroundBorderBandsAndCentreLine) {
    const auto view = makeView();
    view->drawBackground(store(*view), kWidth, kHeight, 200);
    for (int x : {0, 350, 699}) {
        EXPECT_EQ(bitmapPixel(*view, x, 0), grey(0)) << x;
        EXPECT_EQ(bitmapPixel(*view, x, 200), grey(0)) << x;
        EXPECT_EQ(bitmapPixel(*view, x, 299), grey(0)) << x;
    }
    for (int row : {1, 50, 150, 199, 201, 250, 298}) {
        EXPECT_EQ(bitmapPixel(*view, 0, row), grey(0)) << row;
        EXPECT_EQ(bitmapPixel(*view, 699, row), grey(0)) << row;
    }
    EXPECT_EQ(bitmapPixel(*view, 350, 50), grey(75));
    EXPECT_EQ(bitmapPixel(*view, 1, 1), grey(75));
    EXPECT_EQ(bitmapPixel(*view, 698, 199), grey(75));
    EXPECT_EQ(bitmapPixel(*view, 350, 250), grey(48));
    EXPECT_EQ(bitmapPixel(*view, 698, 298), grey(48));

    view->display();
    // The centre line is drawn last but one, over the border columns too.
    EXPECT_EQ(columnsOf(*view, 100, grey(48)).size(), 700u);
    // The view shows the bitmap as it is where nothing is drawn over it.
    EXPECT_EQ(pixelAt(view->picture(), 350, 50), grey(75));
    EXPECT_EQ(pixelAt(view->picture(), 650, 250), grey(48));
}

TEST(SoundViewFrame, WaveSamplesLandOnScaledRowsAndColumns) {
    SharedFloat* samples = nullptr;
    const auto view = viewWithWindow(samples);
    view->mFirstPeriod = 10;
    view->mCurrentVolume = 0.05f;
    const float values[] = {0.0f, 0.05f, -0.05f, -0.1f, 0.2f, -0.3f};
    const int rows[] = {100, 51, 149, 198, 0, 199};
    for (int k = 0; k < 6; ++k) {
        samples[10 + 100 * k] = values[k];
    }
    view->showFields();
    view->drawBackground(store(*view), kWidth, kHeight, 200);
    view->drawSyncWave(store(*view), kWidth, 200);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(bitmapPixel(*view, 100 * k, rows[k]), grey(250)) << values[k];
    }
    // The other samples are zero: a dot on the centre row in every column, the first
    // period start in column 0.
    EXPECT_EQ(columnsOf(*view, 100, grey(250)).size(), 700u - 5u);
    EXPECT_EQ(bitmapPixel(*view, 1, 100), grey(250));
    EXPECT_EQ(bitmapPixel(*view, 699, 100), grey(250));

    // Two columns a sample on a view 1400 wide showing 700 samples: the columns between
    // the dots stay empty.
    const auto wide = makeView(1400.0f, 300.0f);
    allocateWindow(*wide, 2800);
    wide->mCurrentVolume = 0.05f;
    wide->showFields();
    wide->drawBackground(store(*wide), 1400, kHeight, 200);
    wide->drawSyncWave(store(*wide), 1400, 200);
    EXPECT_EQ(bitmapPixel(*wide, 2, 100), grey(250));
    EXPECT_EQ(bitmapPixel(*wide, 3, 100), grey(75));
}

TEST(SoundViewFrame, WaveBrightWithinVolumeRangeAndFadesOverTenFrames) {
    SharedFloat* samples = nullptr;
    const auto view = viewWithWindow(samples);
    view->mHighestVolume = 1.0f;
    samples[20] = 0.5f; // row 100 - 0.5 × 98 = 51, column 20
    const auto dotAfterFrame = [&] {
        view->display();
        return bitmapPixel(*view, 20, 51);
    };

    view->mCurrentVolume = 0.5f;
    EXPECT_EQ(dotAfterFrame(), grey(250));
    view->mCurrentVolume = 1.2f;
    EXPECT_EQ(dotAfterFrame(), grey(232));
    view->mCurrentVolume = 0.5f;
    EXPECT_EQ(dotAfterFrame(), grey(250));

    view->mCurrentVolume = 0.03f;
    const int fade[] = {232, 214, 197, 179, 162, 144, 127, 109, 92, 74, 75, 75};
    for (int level : fade) {
        EXPECT_EQ(dotAfterFrame(), grey(level));
    }
    EXPECT_EQ(view->mWaveAlpha, 0.0f);
}

TEST(SoundViewFrame, MeasuredPeriodMarkColumnColourAndFade) {
    SharedFloat* samples = nullptr;
    const auto view = viewWithWindow(samples);
    view->mFrequency = 110.0f;
    view->mFrequencyStable = 1.0f;
    view->mInTune = 1.0f;
    view->display();
    EXPECT_EQ(columnsOf(*view, kMarkRow, Rgb{0, 250, 0}), std::vector<int>{400});
    EXPECT_EQ(bitmapPixel(*view, 400, 0), (Rgb{0, 250, 0}));
    EXPECT_EQ(bitmapPixel(*view, 400, 199), (Rgb{0, 250, 0}));
    EXPECT_EQ(bitmapPixel(*view, 400, 100), grey(48)) << "the centre line lies over the mark";
    EXPECT_EQ(bitmapPixel(*view, 400, 200), grey(0));

    view->mInTune = 0.0f;
    view->display();
    EXPECT_EQ(columnsOf(*view, kMarkRow, Rgb{250, 0, 0}), std::vector<int>{400});

    view->mInTune = 1.0f;
    view->display();
    view->mFrequencyStable = 0.0f;
    const Rgb fade[] = {{7, 232, 7},   {15, 214, 15}, {22, 197, 22}, {30, 179, 30},
                        {37, 162, 37}, {45, 144, 45}, {52, 127, 52}, {60, 109, 60},
                        {67, 92, 67},  {75, 74, 75},  {75, 75, 75}};
    for (const Rgb& colour : fade) {
        view->display();
        EXPECT_EQ(bitmapPixel(*view, 400, kMarkRow), colour);
    }

    // A period of 700 samples or more stands at the right edge; no period at all (-1)
    // and a period that would fall at column 0 are not drawn.
    view->mFrequencyStable = 1.0f;
    view->mFrequency = 63.0f;
    view->display();
    EXPECT_EQ(columnsOf(*view, kMarkRow, Rgb{0, 250, 0}), std::vector<int>{699});
    view->mFrequency = 0.0f;
    view->display();
    EXPECT_EQ(columnsOf(*view, kMarkRow, Rgb{0, 250, 0}), std::vector<int>{699});
    view->mFrequency = -1.0f;
    view->display();
    EXPECT_TRUE(columnsOf(*view, kMarkRow, Rgb{0, 250, 0}).empty());
    EXPECT_EQ(bitmapPixel(*view, 0, kMarkRow), grey(0));
    view->mFrequency = 1.0e9f;
    view->display();
    EXPECT_TRUE(columnsOf(*view, kMarkRow, Rgb{0, 250, 0}).empty());
}

TEST(SoundViewFrame, SelectedMarkGoalsAndGlide) {
    SharedFloat* samples = nullptr;
    const auto view = viewWithWindow(samples);
    const int goals[6] = {535, 400, 300, 225, 178, 133};
    for (int string = 0; string < 6; ++string) {
        view->selectedFrequency = string;
        for (int frame = 0; frame < 40; ++frame) {
            view->display();
        }
        EXPECT_EQ(selectedMarkColumn(*view), goals[string]) << string;
        EXPECT_EQ(bitmapPixel(*view, goals[string], 200), (Rgb{250, 0, 0}));
        EXPECT_EQ(bitmapPixel(*view, goals[string], 215), (Rgb{250, 0, 0}));
        EXPECT_EQ(bitmapPixel(*view, goals[string], 216), grey(48));
    }
    view->mInTune = 1.0f;
    view->display();
    EXPECT_EQ(bitmapPixel(*view, 133, kSelectedRow), (Rgb{0, 250, 0}));

    view->selectedFrequency = 0;
    view->selectedMarkPos = 100.0f;
    for (float expected : {209.75f, 292.0625f, 353.796875f, 400.09766f}) {
        view->display();
        EXPECT_NEAR(view->selectedMarkPos, expected, 1e-4f);
        EXPECT_EQ(selectedMarkColumn(*view), static_cast<int>(expected));
    }
    view->selectedFrequency = 1;
    view->selectedMarkPos = 535.13f;
    for (float expected : {500.3475f, 474.2606f, 454.6955f}) {
        view->display();
        EXPECT_NEAR(view->selectedMarkPos, expected, 1e-3f);
    }
    // Within one pixel of the goal only the quarter step remains.
    view->selectedMarkPos = 400.8f;
    view->display();
    EXPECT_NEAR(view->selectedMarkPos, 400.6f, 1e-4f);
}

TEST(SoundViewFrame, FrameBeforeTheFirstBlockThenGlideBackIn) {
    const auto view = makeView();
    view->mCurrentVolume = 0.05f;
    view->display();
    // No dots while mSamplesToDraw is 0; the goal saturates and the mark runs off right.
    EXPECT_EQ(columnsOf(*view, 100, grey(250)).size(), 0u);
    EXPECT_EQ(view->selectedMarkPos, 536871296.0f);
    EXPECT_EQ(selectedMarkColumn(*view), 699);

    allocateWindow(*view, 2800);
    int framesAtEdge = 0;
    int frames = 0;
    while (std::fabs(view->selectedMarkPos - 535.0f) > 1.0f && frames < 1000) {
        view->display();
        ++frames;
        framesAtEdge += selectedMarkColumn(*view) == 699 ? 1 : 0;
    }
    EXPECT_EQ(frames, 65);
    EXPECT_GE(framesAtEdge, 45);
    EXPECT_LE(framesAtEdge, 55);
}

TEST(SoundViewFrame, WaveReadsOnlyInsideAShortWindowOrWithoutAPeriodStart) {
    const auto view = makeView();
    SharedFloat* samples = allocateWindow(*view, 400); // shorter than the 700 drawn
    ASSERT_EQ(view->mSamplesToDraw, 700);
    for (int i = 0; i < 400; ++i) {
        samples[i] = 0.05f; // row 51
    }
    view->mCurrentVolume = 0.05f;

    view->mFirstPeriod = 100;
    view->display();
    std::vector<int> expected;
    for (int x = 0; x < 300; ++x) {
        expected.push_back(x);
    }
    EXPECT_EQ(columnsOf(*view, 51, grey(250)), expected) << "the wave ends with the window";

    // No period start: the window's samples from its first one, one column on.
    view->mFirstPeriod = -1;
    view->display();
    expected.clear();
    for (int x = 1; x <= 400; ++x) {
        expected.push_back(x);
    }
    EXPECT_EQ(columnsOf(*view, 51, grey(250)), expected);

    for (std::int32_t first : {400, 5000, std::numeric_limits<std::int32_t>::max(), -700,
                               std::numeric_limits<std::int32_t>::min()}) {
        view->mFirstPeriod = first;
        view->display();
        EXPECT_TRUE(columnsOf(*view, 51, grey(250)).empty()) << first;
    }
    view->mFirstPeriod = 0;
    view->mSamplesToDraw = std::numeric_limits<std::int32_t>::max();
    view->display();
    EXPECT_EQ(bitmapPixel(*view, 0, 51), grey(250));
}

// Non-finite and extreme values in every field the frame turns into pixels: the frame
// is still the defined picture and writes only inside the store (AddressSanitizer
// watches the writes in that build).
TEST(SoundViewFrame, NonFiniteStateKeepsEveryWriteInsideTheStore) {
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::max(),
                         -std::numeric_limits<float>::max(),
                         0.0f,
                         -1.0f,
                         1.0e-30f};
    for (float value : odd) {
        SharedFloat* samples = nullptr;
        const auto view = viewWithWindow(samples);
        for (int i = 0; i < 2800; ++i) {
            samples[i] = value;
        }
        view->mHighestVolume = value;
        view->mCurrentVolume = value;
        view->mFrequency = value;
        view->mDisplayFrequency = value;
        view->mFrequencyStable = value;
        view->mInTune = value;
        view->selectedMarkPos = value;
        for (int frame = 0; frame < 3; ++frame) {
            view->display();
        }
        EXPECT_EQ(bitmapPixel(*view, 0, 150), grey(0)) << value;
        EXPECT_EQ(bitmapPixel(*view, 699, 250), grey(0)) << value;
        EXPECT_EQ(bitmapPixel(*view, 350, 299), grey(0)) << value;
        EXPECT_EQ(bitmapPixel(*view, 300, 250), grey(48)) << value;
    }
    for (std::int32_t samplesToDraw : {-1, -700, std::numeric_limits<std::int32_t>::min()}) {
        const auto view = makeView();
        allocateWindow(*view, 2800);
        view->mSamplesToDraw = samplesToDraw;
        view->mCurrentVolume = 0.05f;
        view->display();
        EXPECT_EQ(columnsOf(*view, 100, grey(250)).size(), 0u) << samplesToDraw;
    }
}

TEST(SoundViewFrame, ViewsSmallerThanTheLayoutStayInsideTheStore) {
    const NSSize sizes[] = {{700, 216}, {700, 150}, {700, 1}, {1, 300}, {3, 3}, {1, 1}};
    for (const NSSize size : sizes) {
        const auto view = makeView(size.width, size.height);
        ASSERT_NE(view->mDestImageRep, nullptr);
        SharedFloat* samples = allocateWindow(*view, 2800);
        samples[0] = 0.05f;
        view->mCurrentVolume = 0.05f;
        view->mFrequency = 110.0f;
        view->mDisplayFrequency = 110.0f;
        view->mFrequencyStable = 1.0f;
        for (int frame = 0; frame < 3; ++frame) {
            view->display();
        }
        const int w = static_cast<int>(size.width);
        const int h = static_cast<int>(size.height);
        EXPECT_EQ(view->mDestImageRep->picture().byteCount(), static_cast<std::size_t>(w) * h * 3);
        EXPECT_EQ(bitmapPixel(*view, w - 1, h - 1), grey(0));
        EXPECT_EQ(bitmapPixel(*view, 0, 0), grey(0));
    }
    // Too small for a bitmap: no wave picture, but the fades and glide still run.
    for (const NSSize size : {NSSize{0, 0}, NSSize{700, 0}, NSSize{-5, 300}}) {
        const auto view = makeView(size.width, size.height);
        EXPECT_EQ(view->mDestImageRep, nullptr);
        view->mFrequencyStable = 1.0f;
        view->display();
        EXPECT_EQ(view->mPeriodMarkAlpha, 1.0f);
    }
    // A rectangle larger than the view is drawn at the bitmap's size.
    const auto view = makeView(100.0f, 250.0f);
    view->drawing = [](TestView& self) { self.SoundView::drawRect(NSMakeRect(0, 0, 5000, 5000)); };
    view->display();
    EXPECT_EQ(bitmapPixel(*view, 99, 249), grey(0));
    EXPECT_EQ(bitmapPixel(*view, 50, 220), grey(48));
}

TEST(SoundViewFrame, RoutinesWriteNothingIntoAForeignBuffer) {
    SharedFloat* samples = nullptr;
    const auto view = viewWithWindow(samples);
    view->mFrequency = 110.0f;
    view->mCurrentVolume = 0.05f;
    view->showFields();
    std::vector<std::uint8_t> foreign(kWidth * kHeight * 3, 7);
    view->drawBackground(foreign.data(), kWidth, kHeight, 200);
    view->drawSyncWave(foreign.data(), kWidth, 200);
    view->drawPeriodMark(foreign.data(), kWidth, 200);
    view->drawForeground(foreign.data(), kWidth, kHeight, 200);
    view->drawSelectedPeriodMark(foreign.data(), kWidth, 200);
    EXPECT_EQ(foreign, std::vector<std::uint8_t>(kWidth * kHeight * 3, 7));
}
