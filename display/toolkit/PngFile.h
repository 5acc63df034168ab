#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes width × height pixels of 8-bit red, green, blue, alpha (not premultiplied, rows
// top first, no gaps) as a PNG file; the counterpart of NSImage's PNG reader. False when
// the sizes do not match the pixels or the file cannot be written.
bool writeRgbaPng(const std::string& path, int width, int height,
                  const std::vector<std::uint8_t>& rgba);
