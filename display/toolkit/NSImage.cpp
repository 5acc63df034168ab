#include "NSImage.h"

#include "NSBitmapImageRep.h"
#include "NSView.h"
#include "SaturatingCast.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <unistd.h>

#ifndef TUNER_INSTALLED_RESOURCE_DIR
#define TUNER_INSTALLED_RESOURCE_DIR ""
#endif
#ifndef TUNER_SOURCE_RESOURCE_DIR
#define TUNER_SOURCE_RESOURCE_DIR ""
#endif

std::unique_ptr<NSImage> NSImage::initWithContentsOfFile(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
        return nullptr;
    }
    // A damaged or hostile header may claim any size up to libpng's limits (terabytes of
    // pixels); such a file is refused before its pixels are allocated.
    if (static_cast<unsigned long long>(png.width) * png.height > kMaximumImagePixels) {
        png_image_free(&png);
        return nullptr;
    }
    png.format = PNG_FORMAT_RGBA;
    std::unique_ptr<NSImage> image(new NSImage());
    try {
        image->mRgba.resize(PNG_IMAGE_SIZE(png));
    } catch (const std::bad_alloc&) {
        png_image_free(&png);
        return nullptr;
    }
    if (png_image_finish_read(&png, nullptr, image->mRgba.data(), 0, nullptr) == 0) {
        png_image_free(&png);
        return nullptr;
    }
    image->mWidth = static_cast<int>(png.width);
    image->mHeight = static_cast<int>(png.height);
    image->mSize = NSMakeSize(static_cast<float>(png.width), static_cast<float>(png.height));
    return image;
}

std::unique_ptr<NSImage> NSImage::initWithSize(NSSize size) {
    std::unique_ptr<NSImage> image(new NSImage());
    image->mSize = size;
    image->mWidth = std::max(toInt32(size.width), 0);
    image->mHeight = std::max(toInt32(size.height), 0);
    return image;
}

namespace {

std::uint8_t blendChannel(std::uint8_t source, std::uint8_t destination, float alpha) {
    const float value =
        static_cast<float>(source) * alpha + static_cast<float>(destination) * (1.0f - alpha);
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

} // namespace

void NSImage::drawAtPoint(NSPoint point, NSRect fromRect, NSCompositingOperation operation,
                          float fraction) const {
    NSView* const view = NSView::focusView();
    if (view == nullptr) {
        return;
    }
    RgbPicture& target = view->focusedPicture();
    const RgbPicture* bitmap = mRepresentation != nullptr ? &mRepresentation->picture() : nullptr;
    const long long width = bitmap != nullptr ? bitmap->width() : mWidth;
    const long long height = bitmap != nullptr ? bitmap->height() : mHeight;
    if (bitmap == nullptr && mRgba.empty()) {
        return;
    }
    // Source columns and rows (y up from the image's bottom), kept inside the image.
    const long long sx0 = std::clamp<long long>(toInt32(fromRect.origin.x), 0, width);
    const long long sy0 = std::clamp<long long>(toInt32(fromRect.origin.y), 0, height);
    const long long sx1 = std::clamp<long long>(
        toInt32(fromRect.origin.x) + static_cast<long long>(toInt32(fromRect.size.width)), 0,
        width);
    const long long sy1 = std::clamp<long long>(
        toInt32(fromRect.origin.y) + static_cast<long long>(toInt32(fromRect.size.height)), 0,
        height);
    const long long px = toInt32(point.x);
    const long long py = toInt32(point.y);
    const long long targetWidth = target.width();
    const long long targetHeight = target.height();
    const float opacity = std::isnan(fraction) ? 0.0f : std::clamp(fraction, 0.0f, 1.0f);

    // Source columns whose target column lies inside the picture.
    const long long cx0 = std::max(sx0, sx0 - px);
    const long long cx1 = std::min(sx1, sx0 - px + targetWidth);
    if (cx0 >= cx1) {
        return;
    }
    for (long long sy = sy0; sy < sy1; ++sy) {
        const long long row = targetHeight - 1 - (py + (sy - sy0));
        if (row < 0 || row >= targetHeight) {
            continue;
        }
        const long long sourceRow = height - 1 - sy;
        std::uint8_t* out = target.data() + (row * targetWidth + px + (cx0 - sx0)) * 3;
        if (bitmap != nullptr && operation == NSCompositeCopy) {
            // The bitmap's rows are packed RGB like the view's: one copy a row.
            std::memcpy(out, bitmap->pixel(static_cast<int>(cx0), static_cast<int>(sourceRow)),
                        static_cast<std::size_t>(cx1 - cx0) * 3);
            continue;
        }
        for (long long sx = cx0; sx < cx1; ++sx, out += 3) {
            const std::uint8_t* in =
                bitmap != nullptr ? bitmap->pixel(static_cast<int>(sx), static_cast<int>(sourceRow))
                                  : mRgba.data() + (sourceRow * width + sx) * 4;
            if (operation == NSCompositeCopy) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
                continue;
            }
            const float sourceAlpha = bitmap != nullptr ? 1.0f : static_cast<float>(in[3]) / 255.0f;
            const float alpha = sourceAlpha * opacity;
            for (int c = 0; c < 3; ++c) {
                out[c] = blendChannel(in[c], out[c], alpha);
            }
        }
    }
}

namespace {

std::filesystem::path programDirectory() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

bool hasImages(const std::filesystem::path& directory) {
    std::error_code error;
    return !directory.empty() && std::filesystem::exists(directory / "n0.png", error);
}

} // namespace

NSBundle::NSBundle() {
    if (const char* overridden = std::getenv("TUNER_RESOURCE_DIR"); overridden && *overridden) {
        mResourcePath = overridden;
        return;
    }
    const std::filesystem::path program = programDirectory();
    const std::filesystem::path candidates[] = {
        program / "resources",
        program.empty() ? std::filesystem::path()
                        : program.parent_path() / TUNER_INSTALLED_RESOURCE_DIR,
        std::filesystem::path(TUNER_SOURCE_RESOURCE_DIR),
    };
    for (const auto& candidate : candidates) {
        if (hasImages(candidate)) {
            mResourcePath = candidate.string();
            return;
        }
    }
}

NSBundle& NSBundle::mainBundle() {
    static NSBundle bundle;
    return bundle;
}

std::string NSBundle::pathForResource(const std::string& name, const std::string& type) const {
    if (mResourcePath.empty()) {
        return {};
    }
    const std::filesystem::path path = std::filesystem::path(mResourcePath) / (name + "." + type);
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) ? path.string() : std::string();
}
