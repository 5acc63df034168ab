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
#include <memory>
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
    ASSERT_NE(golden, nullptr) << "missing golden frame " << path;
    EXPECT_TRUE(rgba == golden->rgba()) << name << " differs from the golden frame";
}

// A SoundView whose every frame first publishes the fields a test set, as the intake does
// after an analysis.
class TestView : public SoundView {
public:
    using SoundView::SoundView;
    void drawRect(NSRect rect) override {
        publishAnalysis();
        SoundView::drawRect(rect);
    }
};

inline std::unique_ptr<TestView> makeView(float width = 700.0f, float height = 300.0f) {
    return std::make_unique<TestView>(NSMakeRect(0.0f, 0.0f, width, height));
}

// A zero window of size samples, as the intake's first block leaves it (mSamplesToDraw
// becomes 700); returns the samples to fill.
inline SharedFloat* allocateWindow(SoundView& view, std::int32_t size) {
    view.allocSampleBuffer(size / view.mStepsPerBuffer);
    return view.mSampleBuffer;
}

} // namespace display_test
