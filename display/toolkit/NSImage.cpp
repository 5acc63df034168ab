#include "NSImage.h"

#include "NSBitmapImageRep.h"
#include "NSView.h"
#include "SaturatingCast.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <unistd.h>

#ifndef TUNER_INSTALLED_RESOURCE_DIR
#define TUNER_INSTALLED_RESOURCE_DIR ""
#endif
#ifndef TUNER_SOURCE_RESOURCE_DIR
#define TUNER_SOURCE_RESOURCE_DIR ""
#endif

namespace {

static_assert(NSView::kMaximumBackingScaleFactor == 3, "an image holds pixels for scales 1 to 3");

// The RGBA pixels of a PNG file and its size; false when it cannot be read or is too large.
bool readPng(const std::string& path, int& width, int& height, std::vector<std::uint8_t>& rgba) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
        return false;
    }
    // A damaged or hostile header may claim any size up to libpng's limits (terabytes of
    // pixels); such a file is refused before its pixels are allocated.
    if (static_cast<unsigned long long>(png.width) * png.height > NSImage::kMaximumImagePixels) {
        png_image_free(&png);
        return false;
    }
    png.format = PNG_FORMAT_RGBA;
    try {
        rgba.resize(PNG_IMAGE_SIZE(png));
    } catch (const std::bad_alloc&) {
        png_image_free(&png);
        return false;
    }
    if (png_image_finish_read(&png, nullptr, rgba.data(), 0, nullptr) == 0) {
        png_image_free(&png);
        rgba.clear();
        return false;
    }
    width = static_cast<int>(png.width);
    height = static_cast<int>(png.height);
    return true;
}

// As readPng, each file read once while it stays as it is: every view loads the same
// fifty-four images, and tools make thousands of views.
bool decodePng(const std::string& path, int& width, int& height, std::vector<std::uint8_t>& rgba) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        rgba.clear();
        return false;
    }
    struct Decoded {
        timespec modified;
        off_t size;
        bool read;
        int width, height;
        std::vector<std::uint8_t> rgba;
    };
    static std::mutex lock;
    static std::map<std::string, Decoded> decoded;
    const std::lock_guard<std::mutex> guard(lock);
    auto found = decoded.find(path);
    if (found == decoded.end() || found->second.modified.tv_sec != status.st_mtim.tv_sec ||
        found->second.modified.tv_nsec != status.st_mtim.tv_nsec ||
        found->second.size != status.st_size) {
        Decoded fresh{status.st_mtim, status.st_size, false, 0, 0, {}};
        fresh.read = readPng(path, fresh.width, fresh.height, fresh.rgba);
        found = decoded.insert_or_assign(path, std::move(fresh)).first;
    }
    width = found->second.width;
    height = found->second.height;
    rgba = found->second.rgba;
    return found->second.read;
}

} // namespace

std::unique_ptr<NSImage> NSImage::initWithContentsOfFile(const std::string& path) {
    std::unique_ptr<NSImage> image(new NSImage());
    if (!decodePng(path, image->mWidth, image->mHeight, image->mRgba[0])) {
        return nullptr;
    }
    image->mSize =
        NSMakeSize(static_cast<float>(image->mWidth), static_cast<float>(image->mHeight));
    const std::filesystem::path file(path);
    for (int scale = 2; scale <= NSView::kMaximumBackingScaleFactor; ++scale) {
        const std::filesystem::path finer =
            file.parent_path() /
            (file.stem().string() + "@" + std::to_string(scale) + "x" + file.extension().string());
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t>& rgba = image->mRgba[scale - 1];
        // Pixels of another size would not cover the image's points: drawn from the file's.
        if (decodePng(finer.string(), width, height, rgba) &&
            (width != image->mWidth * scale || height != image->mHeight * scale)) {
            rgba.clear();
        }
    }
    return image;
}

bool NSImage::hasPixelsAtScale(int scale) const {
    return scale >= 1 && scale <= NSView::kMaximumBackingScaleFactor && !mRgba[scale - 1].empty();
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
    // Rounded half away from zero as lround rounds, without a call a channel: the value is
    // never negative, and its fraction is exact.
    const long whole = static_cast<long>(value);
    const long rounded = whole + (value - static_cast<float>(whole) >= 0.5f ? 1 : 0);
    return static_cast<std::uint8_t>(std::clamp(rounded, 0L, 255L));
}

} // namespace

void NSImage::drawAtPoint(NSPoint point, NSRect fromRect, NSCompositingOperation operation,
                          float fraction) const {
    NSView* const view = NSView::focusView();
    if (view == nullptr) {
        return;
    }
    RgbPicture& target = view->focusedPicture();
    const long long scale = view->backingScaleFactor();
    const RgbPicture* bitmap = mRepresentation != nullptr ? &mRepresentation->picture() : nullptr;
    // The source's pixels a point: a bitmap's own; the decoded pixels of the view's scale,
    // else the file's, each then enlarged to scale × scale.
    long long sourceScale = 1;
    const std::uint8_t* rgba = nullptr;
    if (bitmap != nullptr) {
        sourceScale = std::max(1LL, static_cast<long long>(bitmap->width()) / std::max(mWidth, 1));
    } else if (hasPixelsAtScale(static_cast<int>(scale))) {
        sourceScale = scale;
        rgba = mRgba[scale - 1].data();
    } else if (!mRgba[0].empty()) {
        rgba = mRgba[0].data();
    } else {
        return;
    }
    // The source's size in points.
    const long long width = bitmap != nullptr ? bitmap->width() / sourceScale : mWidth;
    const long long height = bitmap != nullptr ? bitmap->height() / sourceScale : mHeight;
    // Source columns and rows in points (y up from the image's bottom), kept inside the image.
    const long long sx0 = std::clamp<long long>(toInt32(fromRect.origin.x), 0, width);
    const long long sy0 = std::clamp<long long>(toInt32(fromRect.origin.y), 0, height);
    const long long sx1 = std::clamp<long long>(
        toInt32(fromRect.origin.x) + static_cast<long long>(toInt32(fromRect.size.width)), 0,
        width);
    const long long sy1 = std::clamp<long long>(
        toInt32(fromRect.origin.y) + static_cast<long long>(toInt32(fromRect.size.height)), 0,
        height);
    // From here on in the picture's pixels.
    const long long px = scale * toInt32(point.x);
    const long long py = scale * toInt32(point.y);
    const long long targetWidth = target.width();
    const long long targetHeight = target.height();
    const float opacity = std::isnan(fraction) ? 0.0f : std::clamp(fraction, 0.0f, 1.0f);

    // Columns of the drawn part, from its left edge, that lie inside the picture.
    const long long dx0 = std::max(0LL, -px);
    const long long dx1 = std::min(scale * (sx1 - sx0), targetWidth - px);
    if (dx0 >= dx1) {
        return;
    }
    for (long long dy = 0; dy < scale * (sy1 - sy0); ++dy) {
        const long long row = targetHeight - 1 - (py + dy);
        if (row < 0 || row >= targetHeight) {
            continue;
        }
        const long long sourceRow =
            sourceScale * height - 1 - (sourceScale * sy0 + dy * sourceScale / scale);
        std::uint8_t* out = target.data() + (row * targetWidth + px + dx0) * 3;
        if (bitmap != nullptr && operation == NSCompositeCopy && sourceScale == scale) {
            // The bitmap's rows are packed RGB like the view's: one copy a row.
            std::memcpy(out,
                        bitmap->pixel(static_cast<int>(sourceScale * sx0 + dx0),
                                      static_cast<int>(sourceRow)),
                        static_cast<std::size_t>(dx1 - dx0) * 3);
            continue;
        }
        for (long long dx = dx0; dx < dx1; ++dx, out += 3) {
            const long long sourceColumn = sourceScale * sx0 + dx * sourceScale / scale;
            const std::uint8_t* in =
                bitmap != nullptr
                    ? bitmap->pixel(static_cast<int>(sourceColumn), static_cast<int>(sourceRow))
                    : rgba + (sourceRow * sourceScale * width + sourceColumn) * 4;
            if (operation == NSCompositeCopy) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
                continue;
            }
            const float sourceAlpha = bitmap != nullptr ? 1.0f : static_cast<float>(in[3]) / 255.0f;
            const float alpha = sourceAlpha * opacity;
            // The blend's two ends, as the blend gives them.
            if (alpha == 0.0f) {
                continue;
            }
            if (alpha == 1.0f) {
                std::memcpy(out, in, 3);
                continue;
            }
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
