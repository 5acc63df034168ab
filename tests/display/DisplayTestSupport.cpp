#include "DisplayTestSupport.h"

#include "PngFile.h"

#include <atomic>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace display_test {

std::ostream& operator<<(std::ostream& out, const Rgb& colour) {
    return out << "(" << colour.red << ", " << colour.green << ", " << colour.blue << ")";
}

Rgb pixelAt(const RgbPicture& picture, int x, int row) {
    const std::uint8_t* p = picture.pixel(x, row);
    return Rgb{p[0], p[1], p[2]};
}

Rgb bitmapPixel(const SoundView& view, int x, int row) {
    return pixelAt(view.mDestImageRep->picture(), x, row);
}

std::unique_ptr<TestView> makeView(float width, float height) {
    return std::make_unique<TestView>(NSMakeRect(0.0f, 0.0f, width, height));
}

SharedFloat* allocateWindow(SoundView& view, std::int32_t size) {
    view.allocSampleBuffer(size / view.mStepsPerBuffer);
    return view.mSampleBuffer;
}

std::string scratchPath(const std::string& name) {
    static std::atomic<int> counter{0};
    const auto directory =
        std::filesystem::temp_directory_path() / ("tuner-display-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    return (directory / (std::to_string(counter++) + "-" + name)).string();
}

std::vector<std::uint8_t> readPngRgb(const std::string& path, int& width, int& height) {
    const auto image = NSImage::initWithContentsOfFile(path);
    if (!image) {
        return {};
    }
    width = image->pixelsWide();
    height = image->pixelsHigh();
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(width) * height * 3);
    const std::vector<std::uint8_t>& rgba = image->rgba();
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    }
    return rgb;
}

std::unique_ptr<NSImage> solidImage(int width, int height, Rgb colour, int alpha) {
    std::vector<std::uint8_t> rgba;
    for (int i = 0; i < width * height; ++i) {
        rgba.insert(rgba.end(),
                    {static_cast<std::uint8_t>(colour.red), static_cast<std::uint8_t>(colour.green),
                     static_cast<std::uint8_t>(colour.blue), static_cast<std::uint8_t>(alpha)});
    }
    const std::string path = scratchPath("solid.png");
    if (!writeRgbaPng(path, width, height, rgba)) {
        return nullptr;
    }
    auto image = NSImage::initWithContentsOfFile(path);
    std::filesystem::remove(path);
    return image;
}

void installCodedGlyphs(SoundView& view) {
    NSImage** const digits[10] = {&view.n0, &view.n1, &view.n2, &view.n3, &view.n4,
                                  &view.n5, &view.n6, &view.n7, &view.n8, &view.n9};
    for (int d = 0; d < 10; ++d) {
        delete *digits[d];
        *digits[d] = solidImage(kCodedGlyphWidth, kCodedGlyphHeight, Rgb{10 + 20 * d, 0, 200}, 255)
                         .release();
    }
    delete view.dot;
    view.dot = solidImage(kCodedGlyphWidth, kCodedGlyphHeight, Rgb{230, 0, 200}, 255).release();
}

std::string readCodedGlyphs(const RgbPicture& picture, int row, int x, int& firstX) {
    std::string text;
    firstX = -1;
    while (x < picture.width()) {
        const Rgb colour = pixelAt(picture, x, row);
        if (colour.blue != 200 || colour.green != 0) {
            ++x;
            continue;
        }
        if (firstX < 0) {
            firstX = x;
        }
        text += colour.red == 230 ? '.' : static_cast<char>('0' + (colour.red - 10) / 20);
        x += kCodedGlyphWidth;
    }
    return text;
}

} // namespace display_test
