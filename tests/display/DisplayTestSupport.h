#pragma once

// Helpers of the display's tests: a view that runs any drawing inside display() (so the
// pen's images land on its picture), pixel reading, and images made for the tests.

#include "NSBitmapImageRep.h"
#include "NSImage.h"
#include "RgbPicture.h"
#include "SoundView.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace display_test {

struct Rgb {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& colour);

inline Rgb grey(int level) {
    return Rgb{level, level, level};
}

// Pixel (x, row) of a picture, row 0 at the top.
Rgb pixelAt(const RgbPicture& picture, int x, int row);
// The same, of the off-screen bitmap (the wave picture alone).
Rgb bitmapPixel(const SoundView& view, int x, int row);

// A SoundView whose drawRect: runs a test's drawing instead, when one is set; display()
// gives it focus first, as for a real frame. The fields a test sets stand for a finished
// analysis: every frame publishes them first, as the intake does after an analysis.
class TestView : public SoundView {
public:
    explicit TestView(NSRect frame) : SoundView(frame) {}
    std::function<void(TestView&)> drawing;

    // For drawing routines called outside a frame.
    void showFields() {
        publishAnalysis();
        mHandover.takeLatest();
    }

    void drawRect(NSRect rect) override {
        showFields();
        if (drawing) {
            drawing(*this);
        } else {
            SoundView::drawRect(rect);
        }
    }
};

// The standard 700 × 300 view.
std::unique_ptr<TestView> makeView(float width = 700.0f, float height = 300.0f);

// A window of size samples, all zero, as the intake's first block leaves it
// (mSamplesToDraw becomes 700); returns the samples to fill.
SharedFloat* allocateWindow(SoundView& view, std::int32_t size);

// An image decoded from a PNG written for the test: width × height of one RGBA colour.
std::unique_ptr<NSImage> solidImage(int width, int height, Rgb colour, int alpha);
// Reads a PNG as RGB; empty when unreadable.
std::vector<std::uint8_t> readPngRgb(const std::string& path, int& width, int& height);

// Replaces the view's digit and point images by opaque 3 × 5 blocks whose red channel
// codes the character: 10 + 20 × digit, and 230 for the point (blue 200 marks them).
void installCodedGlyphs(SoundView& view);
inline constexpr int kCodedGlyphWidth = 3;
inline constexpr int kCodedGlyphHeight = 5;

// The coded glyphs found on a picture row from x on, left to right, as characters;
// firstX receives the first glyph's left column (-1 if none).
std::string readCodedGlyphs(const RgbPicture& picture, int row, int x, int& firstX);

// A unique scratch path for a test file.
std::string scratchPath(const std::string& name);

} // namespace display_test
