// What the user sees below the wave and what a click does: the pen, the two readouts at
// their places, the six buttons and their opacities, the strict hit test, the switch.
#include "DisplayTestSupport.h"

#include "NSObject.h"

#include <gtest/gtest.h>

#include <limits>

using namespace display_test;

namespace {

// The bitmap row of a view row y (up from the bottom) on a 300-high view.
int rowOf(int y) {
    return 300 - 1 - y;
}

// Replaces the six button images by solid white squares of the given size.
void installSolidButtons(SoundView& view, int width, int height) {
    NSImage** const fields[6] = {&view.e2, &view.a2, &view.d3, &view.g3, &view.b3, &view.e4};
    for (int i = 0; i < 6; ++i) {
        delete *fields[i];
        *fields[i] = solidImage(width, height, grey(255), 255).release();
        view.buttonPicts[i] = *fields[i];
    }
}

std::string glyphsDrawnFor(float value, int& firstX) {
    const auto view = makeView();
    installCodedGlyphs(*view);
    view->drawing = [value](TestView& self) {
        self.moveToX(10, 100);
        self.setAlpha(1.0f);
        self.drawFloat(value);
    };
    view->display();
    return readCodedGlyphs(view->picture(), rowOf(100), 0, firstX);
}

} // namespace

TEST(SoundViewControls, DrawFloatGlyphs) {
    const struct {
        float value;
        const char* glyphs;
    } cases[] = {{82.41f, "82.4"},   {110.0f, "110.0"},   {146.83f, "146.8"},   {196.0f, "196.0"},
                 {246.94f, "246.9"}, {329.63f, "329.6"},  {5.5f, "5.5"},        {0.0f, "0.0"},
                 {82.49f, "82.4"},   {1005.3f, "1005.3"}, {12345.6f, "2345.6"}, {-5.5f, "."},
                 {-105.0f, "0.0"}};
    for (const auto& c : cases) {
        int firstX = -1;
        EXPECT_EQ(glyphsDrawnFor(c.value, firstX), c.glyphs) << c.value;
    }
    // Values no readout should meet still draw only glyphs the table has.
    for (float odd :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity(), 3.0e38f}) {
        int firstX = -1;
        const std::string glyphs = glyphsDrawnFor(odd, firstX);
        EXPECT_NE(glyphs.find('.'), std::string::npos) << odd;
        EXPECT_LE(glyphs.size(), 6u) << odd;
    }
}

TEST(SoundViewControls, PenMovesByImageWidthPlusOne) {
    const auto view = makeView();
    const auto twelve = solidImage(12, 5, grey(255), 255);
    view->moveToX(10, 38);
    view->drawImage(twelve.get());
    EXPECT_EQ(view->mDrawX, 23);
    EXPECT_EQ(view->mDrawY, 38);
    view->drawImage(nullptr); // an image that failed to load
    EXPECT_EQ(view->mDrawX, 24);
    for (unsigned char c : {',', '/', 'A', ' ', '-'}) {
        view->drawLetter(c);
        EXPECT_EQ(view->mDrawX, 24) << c;
    }
    view->drawLetter('7');
    EXPECT_EQ(view->mDrawX, 24 + static_cast<int>(view->n7->size().width) + 1);

    // Saturated far right, the gap does not wrap the pen to the left.
    view->moveToX(std::numeric_limits<std::int32_t>::max(), 0);
    view->drawImage(twelve.get());
    EXPECT_EQ(view->mDrawX, std::numeric_limits<std::int32_t>::max());
}

TEST(SoundViewControls, ImagesBlendSourceAtopWithThePensOpacity) {
    const auto view = makeView();
    const auto white = solidImage(2, 2, grey(255), 255);
    const auto halfWhite = solidImage(2, 2, grey(255), 128);
    view->drawing = [&](TestView& self) {
        self.SoundView::drawRect(NSMakeRect(0, 0, 700, 300));
        self.moveToX(300, 30);
        self.setAlpha(1.0f);
        self.drawImage(white.get());
        self.setAlpha(0.0f);
        self.drawImage(white.get()); // at x = 303
        self.setAlpha(0.5f);
        self.drawImage(white.get()); // at x = 306
        self.setAlpha(1.0f);
        self.drawImage(halfWhite.get()); // at x = 309
        self.moveToX(-1, -1);
        self.drawImage(white.get()); // only its top-right pixel shows
    };
    view->display();
    const RgbPicture& picture = view->picture();
    EXPECT_EQ(pixelAt(picture, 300, rowOf(30)), grey(255));
    EXPECT_EQ(pixelAt(picture, 301, rowOf(31)), grey(255));
    EXPECT_EQ(pixelAt(picture, 302, rowOf(30)), grey(48));
    EXPECT_EQ(pixelAt(picture, 300, rowOf(32)), grey(48));
    EXPECT_EQ(pixelAt(picture, 303, rowOf(30)), grey(48));
    const int half = 48 + (255 - 48) / 2; // 151.5 either way
    EXPECT_NEAR(pixelAt(picture, 306, rowOf(30)).red, half, 1);
    EXPECT_NEAR(pixelAt(picture, 309, rowOf(30)).red, half, 1);
    EXPECT_EQ(pixelAt(picture, 0, 299), grey(255));
    // The pen draws over the view, never into the bitmap.
    EXPECT_EQ(bitmapPixel(*view, 300, rowOf(30)), grey(48));
}

TEST(SoundViewControls, ReadoutsAtTheirPlacesWithTheirGlyphs) {
    const auto view = makeView();
    allocateWindow(*view, 2800);
    installCodedGlyphs(*view);
    view->mFrequency = 110.0f;
    view->mDisplayFrequency = 110.0f;
    view->mFrequencyStable = 1.0f;
    view->selectedMarkPos = 535.13f;
    view->display();
    int firstX = -1;
    // Glyph rows: the bottom line is the glyphs' last row.
    EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(59), 0, firstX), "110.0");
    EXPECT_EQ(firstX, 404);
    EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(59) - kCodedGlyphHeight + 1, 0, firstX),
              "110.0");
    EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(59) + 1, 0, firstX), "");
    EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(38), 0, firstX), "82.4");
    EXPECT_EQ(firstX, 539);

    // The frequency readout takes the period mark's opacity: invisible once faded.
    view->mFrequencyStable = 0.0f;
    for (int frame = 0; frame < 11; ++frame) {
        view->display();
    }
    EXPECT_EQ(view->mPeriodMarkAlpha, 0.0f);
    EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(59), 0, firstX), "");
    EXPECT_EQ(pixelAt(view->picture(), 404, rowOf(59)), grey(48));

    // Out of sight: a period of 700 samples or more, no period, and no frequency yet.
    view->mFrequencyStable = 1.0f;
    for (float frequency : {63.0f, -1.0f, 0.0f}) {
        view->mFrequency = frequency;
        view->display();
        EXPECT_EQ(readCodedGlyphs(view->picture(), rowOf(59), 0, firstX), "") << frequency;
    }
    const auto fresh = makeView();
    installCodedGlyphs(*fresh);
    fresh->mFrequencyStable = 1.0f;
    fresh->mFrequency = 110.0f; // mSamplesToDraw still 0
    fresh->display();
    EXPECT_EQ(readCodedGlyphs(fresh->picture(), rowOf(59), 0, firstX), "");
}

TEST(SoundViewControls, SelectedButtonOpaqueOthersAtSixTenths) {
    const auto view = makeView();
    installSolidButtons(*view, 18, 14);
    view->selectedFrequency = 2;
    view->display();
    const int x[6] = {4, 26, 48, 70, 92, 114};
    for (int i = 0; i < 6; ++i) {
        // 255 × 0.6 + 48 × 0.4 = 172.2
        const Rgb expected = i == 2 ? grey(255) : grey(172);
        EXPECT_EQ(pixelAt(view->picture(), x[i], rowOf(4)), expected) << i;
        EXPECT_EQ(pixelAt(view->picture(), x[i] + 17, rowOf(17)), expected) << i;
        EXPECT_EQ(pixelAt(view->picture(), x[i] + 18, rowOf(4)), grey(48)) << i;
        EXPECT_EQ(pixelAt(view->picture(), x[i], rowOf(18)), grey(48)) << i;
        EXPECT_EQ(pixelAt(view->picture(), x[i], rowOf(3)), grey(48)) << i;
    }
    EXPECT_EQ(pixelAt(view->picture(), 3, rowOf(4)), grey(48));
    EXPECT_EQ(pixelAt(view->picture(), 0, rowOf(4)), grey(0));
}

TEST(SoundViewControls, StrictHitTestOnButtonEdges) {
    // The view sits at (10, 20) in its window; clicks come in window coordinates.
    auto view = std::make_unique<TestView>(NSMakeRect(10.0f, 20.0f, 700.0f, 300.0f));
    installSolidButtons(*view, 20, 16);
    const auto clickAt = [&](float x, float y) {
        view->mouseUp(NSEvent(NSMakePoint(x + 10.0f, y + 20.0f)));
        return static_cast<int>(view->selectedFrequency);
    };
    view->selectedFrequency = 3;
    EXPECT_EQ(clickAt(4.0f, 10.0f), 3) << "left edge";
    EXPECT_EQ(clickAt(10.0f, 4.0f), 3) << "bottom edge";
    EXPECT_EQ(clickAt(24.0f, 10.0f), 3) << "right edge";
    EXPECT_EQ(clickAt(10.0f, 20.0f), 3) << "top edge";
    EXPECT_EQ(clickAt(25.0f, 10.0f), 3) << "between buttons";
    EXPECT_EQ(clickAt(300.0f, 100.0f), 3) << "in the wave";
    EXPECT_EQ(clickAt(4.5f, 10.0f), 0);
    view->selectedFrequency = 3;
    EXPECT_EQ(clickAt(10.0f, 4.5f), 0);
    EXPECT_EQ(clickAt(23.5f, 19.5f), 0);
    EXPECT_EQ(clickAt(26.5f, 5.0f), 1);
    EXPECT_EQ(clickAt(133.9f, 19.9f), 5);
    EXPECT_EQ(clickAt(std::numeric_limits<float>::quiet_NaN(), 10.0f), 5);
    EXPECT_EQ(view->autoSelect, 1) << "a click leaves automatic selection alone";

    // Where rectangles overlap the later button wins; a button without an image has no
    // area.
    installSolidButtons(*view, 30, 16);
    EXPECT_EQ(clickAt(30.0f, 10.0f), 1);
    view->selectedFrequency = 4;
    EXPECT_EQ(clickAt(40.0f, 10.0f), 1);
    delete view->a2;
    view->a2 = nullptr;
    view->buttonPicts[1] = nullptr;
    view->selectedFrequency = 4;
    EXPECT_EQ(clickAt(40.0f, 10.0f), 4);
    EXPECT_EQ(clickAt(30.0f, 10.0f), 0);
}

TEST(SoundViewControls, ToggleAutoSelectFlipsTheFlagAndTheControl) {
    const auto view = makeView();
    NSControl control;
    control.setState(1);
    view->toggleAutoSelect(&control);
    EXPECT_EQ(view->autoSelect, 0);
    EXPECT_EQ(control.state(), 0);
    control.setState(0); // the control's own state is never read
    view->toggleAutoSelect(&control);
    EXPECT_EQ(view->autoSelect, 1);
    EXPECT_EQ(control.state(), 1);
    view->toggleAutoSelect(nullptr);
    EXPECT_EQ(view->autoSelect, 0);
}
