#pragma once

#include "NSBitmapImageRep.h"
#include "SaturatingCast.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// The off-screen store as the frame routines address it: at scale s (the view's backing
// scale factor) a frame width W points wide is W·s pixels wide, its rows W·s × 3 bytes,
// as many whole rows as the bitmap's bytes hold. Rows and columns here are the store's
// pixels. Every write goes through here and is dropped unless it lies inside the store,
// so no value of the tuner state, however odd, and no view size can make a frame write
// outside it. A pointer that is not the bitmap's own store (or no bitmap) gives an empty
// store.
class FramePixels {
public:
    FramePixels(NSBitmapImageRep* bitmap, std::uint8_t* store, std::int32_t width,
                std::int32_t scale)
        : mScale(scale) {
        if (bitmap != nullptr && store != nullptr && store == bitmap->bitmapData() && width > 0) {
            mStore = store;
            mWidth = static_cast<std::int64_t>(width) * scale;
            mRows = static_cast<std::int64_t>(bitmap->picture().byteCount()) / (3LL * mWidth);
        }
    }

    // Pixels a point.
    std::int64_t scale() const { return mScale; }
    std::int64_t rows() const { return mRows; }

    void set(std::int64_t x, std::int64_t row, std::uint8_t red, std::uint8_t green,
             std::uint8_t blue) {
        if (x < 0 || x >= mWidth || row < 0 || row >= mRows) {
            return;
        }
        std::uint8_t* const pixel = mStore + (row * mWidth + x) * 3;
        pixel[0] = red;
        pixel[1] = green;
        pixel[2] = blue;
    }

    // Rows first to last, every column, in one grey. The rows are contiguous, so the
    // whole block is one fill.
    void fillRows(std::int64_t first, std::int64_t last, std::uint8_t grey) {
        first = std::max<std::int64_t>(first, 0);
        last = std::min(last, mRows - 1);
        if (first > last) {
            return;
        }
        std::memset(mStore + first * mWidth * 3, grey,
                    static_cast<std::size_t>((last - first + 1) * mWidth * 3));
    }

    // Columns left to right, rows first to last, in one colour.
    void fillBlock(std::int64_t left, std::int64_t right, std::int64_t first, std::int64_t last,
                   std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
        left = std::max<std::int64_t>(left, 0);
        right = std::min(right, mWidth - 1);
        first = std::max<std::int64_t>(first, 0);
        last = std::min(last, mRows - 1);
        for (std::int64_t row = first; row <= last; ++row) {
            for (std::int64_t x = left; x <= right; ++x) {
                set(x, row, red, green, blue);
            }
        }
    }

    // The store's rows or columns that a row or column of the picture in points covers:
    // from scale × it to the one before the next.
    std::int64_t first(std::int64_t point) const { return point * mScale; }
    std::int64_t last(std::int64_t point) const { return point * mScale + mScale - 1; }

private:
    std::uint8_t* mStore = nullptr;
    std::int64_t mScale = 1;
    std::int64_t mWidth = 0;
    std::int64_t mRows = 0;
};

// The grey of the wave area.
inline constexpr double kWaveAreaGrey = 75.0;

// A strength laid over the wave area's grey with opacity alpha, as the fades compute it:
// 1 − alpha in single precision, the rest in double, the sum rounded to a float and
// truncated. A byte, since the fades keep alpha within −0.1 to 1.
inline std::uint8_t fadedLevel(float alpha, double strength) {
    const float level = static_cast<float>(static_cast<double>(alpha) * strength +
                                           static_cast<double>(1.0f - alpha) * kWaveAreaGrey);
    return static_cast<std::uint8_t>(std::clamp(toInt32(level), 0, 255));
}

// One fade step of an opacity: full while its condition holds, else 0.1 less a frame
// (in double precision) until it has fallen to or below 0, then 0.
inline float fadedAlpha(float alpha, bool full) {
    if (full) {
        return 1.0f;
    }
    if (alpha > 0.0f) {
        return static_cast<float>(static_cast<double>(alpha) - 0.1);
    }
    return 0.0f;
}
