// The view as construction leaves it: bitmap size and layout, starting values, the
// eighteen images, and the size of the committed images against the layout's band.
#include "DisplayTestSupport.h"

#include "NSBitmapImageRep.h"
#include "NSImage.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace display_test;

TEST(SoundViewConstruction, FractionalFrameGivesTruncatedBitmapAndStartingValues) {
    const auto view = makeView(700.9f, 300.5f);
    ASSERT_NE(view->mDestImageRep, nullptr);
    EXPECT_EQ(view->mDestImageRep->pixelsWide(), 700);
    EXPECT_EQ(view->mDestImageRep->pixelsHigh(), 300);
    EXPECT_EQ(view->mDestImageRep->picture().byteCount(), 630000u);
    EXPECT_EQ(view->mDestImageRep->picture().stride(), 2100u);
    ASSERT_NE(view->mDestImage, nullptr);
    EXPECT_EQ(view->mDestImage->size().width, 700.0f);
    EXPECT_EQ(view->mDestImage->size().height, 300.0f);

    EXPECT_NEAR(view->selectedMarkPos, 535.13f, 0.005f);
    EXPECT_EQ(view->selectedFrequency, 0);
    EXPECT_EQ(view->autoSelect, 1);
    EXPECT_EQ(view->mStepsPerBuffer, 4);
    EXPECT_EQ(view->mSamplesToDraw, 0);
    EXPECT_EQ(view->mHighestVolume, 0.1f);
    EXPECT_EQ(view->mDrawX, 0);
    EXPECT_EQ(view->mDrawY, 0);
    EXPECT_EQ(view->mDrawAlpha, 0.0f);
    EXPECT_EQ(view->mSampleBuffer, nullptr);

    const float strings[6] = {82.41f, 110.0f, 146.83f, 196.0f, 246.94f, 329.63f};
    const float buttonX[6] = {4, 26, 48, 70, 92, 114};
    NSImage* const buttons[6] = {view->e2, view->a2, view->d3, view->g3, view->b3, view->e4};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(view->frequencyList[i], strings[i]) << i;
        EXPECT_EQ(view->buttonLocs[i].x, buttonX[i]) << i;
        EXPECT_EQ(view->buttonLocs[i].y, 4.0f) << i;
        EXPECT_EQ(view->buttonPicts[i], buttons[i]) << i;
    }
}

TEST(SoundViewConstruction, LoadsAllEighteenImagesSizedForTheLowerBand) {
    const auto view = makeView();
    const NSImage* const glyphs[11] = {view->n0, view->n1, view->n2, view->n3, view->n4, view->n5,
                                       view->n6, view->n7, view->n8, view->n9, view->dot};
    for (const NSImage* glyph : glyphs) {
        ASSERT_NE(glyph, nullptr);
        EXPECT_GT(glyph->size().width, 0.0f);
        // A readout's bottom line is at most 59 pixels up; its glyphs must end below row
        // 215 of the picture (the selected-period mark), i.e. under 300 - 216 - 59 = 25.
        EXPECT_LE(glyph->size().height, 25.0f);
        // One bottom line: every glyph as tall as the digits.
        EXPECT_EQ(glyph->size().height, view->n0->size().height);
    }
    ASSERT_NE(view->imageTooLow, nullptr);
    for (int i = 0; i < 6; ++i) {
        const NSImage* button = view->buttonPicts[i];
        ASSERT_NE(button, nullptr) << i;
        // Buttons stand 22 pixels apart and must not overlap their neighbours, nor reach
        // the readout at y = 38.
        EXPECT_LE(button->size().width, 21.0f) << i;
        EXPECT_LE(4.0f + button->size().height, 38.0f) << i;
        EXPECT_GT(button->size().height, 0.0f) << i;
    }
}
