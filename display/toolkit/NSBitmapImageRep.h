#pragma once

#include "RgbPicture.h"

#include <cstdint>
#include <memory>

inline constexpr const char* NSCalibratedRGBColorSpace = "NSCalibratedRGBColorSpace";

// The off-screen bitmap: an RGB store the bitmap allocates and owns, 8 bits per sample,
// 3 samples per pixel, no alpha, interleaved, rows of W × 3 bytes, row 0 at the top.
class NSBitmapImageRep {
public:
    // Only that layout is offered: planes null, 8 bits, 3 samples, no alpha, not planar,
    // bytes per row and bits per pixel 0 (derived) or exactly W × 3 and 24. Anything
    // else, a size below 1 × 1, or a store that cannot be allocated gives null.
    static std::unique_ptr<NSBitmapImageRep>
    initWithBitmapDataPlanes(unsigned char** planes, int pixelsWide, int pixelsHigh,
                             int bitsPerSample, int samplesPerPixel, bool hasAlpha,
                             bool isPlanar, const char* colorSpaceName, int bytesPerRow,
                             int bitsPerPixel);

    std::uint8_t* bitmapData() { return mStore.data(); }
    int pixelsWide() const { return mStore.width(); }
    int pixelsHigh() const { return mStore.height(); }
    const RgbPicture& picture() const { return mStore; }

private:
    explicit NSBitmapImageRep(int width, int height) : mStore(width, height) {}
    RgbPicture mStore;
};
