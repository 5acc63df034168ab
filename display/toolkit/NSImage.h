#pragma once

#include "NSGeometry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class NSBitmapImageRep;

enum NSCompositingOperation : int {
    NSCompositeCopy = 1,       // the image's colours replace the destination's
    NSCompositeSourceAtop = 5, // Porter-Duff source-atop, the source alpha scaled by the fraction
};

// An image: either decoded from a PNG file (8-bit RGBA, not premultiplied) or an empty
// image of a given size that shows an attached bitmap. A decoded image is as many points
// as its file has pixels; beside NAME.png, files NAME@2x.png and NAME@3x.png of exactly
// twice and three times its size hold it drawn finer, and a view of that backing scale
// is drawn those pixels (one of another scale, the file's own, each pixel enlarged).
// An attached bitmap of s times the image's size in pixels is drawn at s pixels a point.
class NSImage {
public:
    // The largest image decoded, in pixels (64 MiB of RGBA).
    static constexpr unsigned long long kMaximumImagePixels = 1ULL << 24;

    // Decodes a PNG file, with its finer versions where they are there and of their size;
    // null when the file is missing, is not a readable PNG, or is larger than
    // kMaximumImagePixels.
    static std::unique_ptr<NSImage> initWithContentsOfFile(const std::string& path);
    // An empty image of the given size in points, to carry a bitmap.
    static std::unique_ptr<NSImage> initWithSize(NSSize size);

    // Attaches a bitmap (not owned) as the image's representation.
    void addRepresentation(NSBitmapImageRep* representation) { mRepresentation = representation; }

    // Width and height in points.
    NSSize size() const { return mSize; }
    int pixelsWide() const { return mWidth; }
    int pixelsHigh() const { return mHeight; }
    // Decoded pixels, RGBA rows top first, one a point; empty for a bitmap-carrying image.
    const std::vector<std::uint8_t>& rgba() const { return mRgba[0]; }
    // Whether the image was decoded with pixels drawn for a backing scale (1, 2 or 3).
    bool hasPixelsAtScale(int scale) const;

    // Draws the part fromRect (image coordinates in points, y up) with its lower-left
    // corner at point (view coordinates, y up) onto the focused view's picture; outside
    // pixels are dropped. Copy takes the colours as they are; source-atop blends with
    // alpha × fraction. Does nothing when no view has focus.
    void drawAtPoint(NSPoint point, NSRect fromRect, NSCompositingOperation operation,
                     float fraction) const;

private:
    NSImage() = default;
    NSSize mSize;
    int mWidth = 0;
    int mHeight = 0;
    // At 1, 2 and 3 pixels a point.
    std::vector<std::uint8_t> mRgba[3];
    NSBitmapImageRep* mRepresentation = nullptr;
};

// Where the program's resources are: the directory named by TUNER_RESOURCE_DIR if set,
// else resources/ beside the program, else the installed share directory, else the
// source tree's resources/ (for a program run from its build tree).
class NSBundle {
public:
    static NSBundle& mainBundle();
    // The path of name.type among the resources, or an empty string when there is none.
    std::string pathForResource(const std::string& name, const std::string& type) const;
    const std::string& resourcePath() const { return mResourcePath; }

private:
    NSBundle();
    std::string mResourcePath;
};
