#include "RgbPicture.h"

#include <algorithm>

RgbPicture::RgbPicture(int width, int height)
    : mWidth(std::max(width, 0)), mHeight(std::max(height, 0)),
      mPixels(static_cast<std::size_t>(mWidth) * mHeight * 3, 0) {}

void RgbPicture::assign(const RgbPicture& other) {
    mWidth = other.mWidth;
    mHeight = other.mHeight;
    mPixels.assign(other.mPixels.begin(), other.mPixels.end());
}
