#pragma once

// Helpers of the display's tests: a view whose frames draw the fields a test sets, pixel
// reading, and the golden frames.

#include "NSBitmapImageRep.h"
#include "NSImage.h"
#include "PngFile.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <vector>

namespace display_test {

using Rgb = std::array<int, 3>;

// Pixel (x, row) of the off-screen bitmap (the wave picture alone), row 0 at the top.
inline Rgb bitmapPixel(const SoundView& view, int x, int row) {
    const std::uint8_t* p = view.mDestImageRep->picture().pixel(x, row);
    return Rgb{p[0], p[1], p[2]};
}

// Compares a frame byte for byte with golden/NAME. After a deliberate change of the picture
// or of resources/, rerun with TUNER_UPDATE_GOLDEN=1 to rewrite the golden frames, and look at
// them before committing.
inline void expectMatchesGolden(const RgbPicture& picture, const std::string& name) {
    const std::string path = TUNER_SOURCE_DIR "/tests/display/golden/" + name;
    std::vector<std::uint8_t> rgba;
    for (const std::uint8_t* p = picture.data(); p < picture.data() + picture.byteCount(); p += 3) {
        rgba.insert(rgba.end(), {p[0], p[1], p[2], 255});
    }
    if (const char* update = std::getenv("TUNER_UPDATE_GOLDEN"); update && *update == '1') {
        ASSERT_TRUE(writeRgbaPng(path, picture.width(), picture.height(), rgba)) << path;
    }
    const auto golden = NSImage::initWithContentsOfFile(path);
    EXPECT_TRUE(golden != nullptr && rgba == golden->rgba())
        << path << " is missing, or the frame differs from it";
}

// A SoundView whose every frame first publishes the fields a test set, as the intake does
// after an analysis; 700 × 300 at (0, 0) unless said.
class TestView : public SoundView {
public:
    using SoundView::SoundView;
    explicit TestView(float width = 700.0f, float height = 300.0f)
        : SoundView(NSMakeRect(0.0f, 0.0f, width, height)) {}
    void drawRect(NSRect rect) override {
        publishAnalysis();
        SoundView::drawRect(rect);
    }
};

} // namespace display_test
