#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A W × H picture of 8-bit red, green, blue, no alpha; row 0 at the top, rows packed
// with a stride of W × 3 bytes. The view's frame and the off-screen bitmap are both one.
class RgbPicture {
public:
    RgbPicture() = default;
    RgbPicture(int width, int height);

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    std::size_t stride() const { return static_cast<std::size_t>(mWidth) * 3; }
    std::uint8_t* data() { return mPixels.data(); }
    const std::uint8_t* data() const { return mPixels.data(); }
    std::size_t byteCount() const { return mPixels.size(); }

    // Pixel (x, row) with row 0 at the top; the caller keeps inside the picture.
    const std::uint8_t* pixel(int x, int row) const {
        return mPixels.data() + (static_cast<std::size_t>(row) * mWidth + x) * 3;
    }

    // Becomes a copy of another picture of the same size (no allocation then).
    void assign(const RgbPicture& other);

private:
    int mWidth = 0;
    int mHeight = 0;
    std::vector<std::uint8_t> mPixels;
};
