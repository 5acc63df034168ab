#include "PngFile.h"

#include <png.h>

bool writeRgbaPng(const std::string& path, int width, int height,
                  const std::vector<std::uint8_t>& rgba) {
    if (width < 1 || height < 1 ||
        rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return false;
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = PNG_FORMAT_RGBA;
    const int written = png_image_write_to_file(&png, path.c_str(), 0, rgba.data(), 0, nullptr);
    png_image_free(&png);
    return written != 0;
}
