#pragma once

// Helpers of the display's tests: a view whose frames draw the fields a test sets, and
// pixel reading.

#include "NSBitmapImageRep.h"
#include "SoundView.h"

#include <array>
#include <memory>

namespace display_test {

using Rgb = std::array<int, 3>;

inline Rgb grey(int level) {
    return Rgb{level, level, level};
}

// Pixel (x, row) of the off-screen bitmap (the wave picture alone), row 0 at the top.
inline Rgb bitmapPixel(const SoundView& view, int x, int row) {
    const std::uint8_t* p = view.mDestImageRep->picture().pixel(x, row);
    return Rgb{p[0], p[1], p[2]};
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
