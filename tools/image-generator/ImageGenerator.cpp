// Draws the display's eighteen images into a directory (by default resources/ of the
// working directory): the digits "n0" to "n9" and "dot" that the readouts are set in, the
// six string buttons "E2" ... "E4", and "TOOLOW". Light glyphs with alpha, meant for the
// dark lower band of the tuner's picture. Each also as NAME@2x.png and NAME@3x.png: the
// same strokes at two and three times the size, for screens of that scale.
//
// Sizes: digits 10 x 18 pixels and the point 4 x 18, all sitting on the bottom row, so
// that a readout on a bottom line at y = 38 or y = 59 stays below the wave picture;
// buttons 21 x 20 (they stand 22 pixels apart, so 21 leaves a one-pixel gap, and their
// tops at y = 23 stay well below the selected-string readout at y = 38); "TOOLOW" 76 x 18.
#include "Canvas.h"
#include "StrokeFont.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

namespace {

constexpr int kDigitWidth = 10;
constexpr int kDigitHeight = 18;
constexpr int kDotWidth = 4;
constexpr int kButtonWidth = 21;
constexpr int kButtonHeight = 20;
constexpr std::uint8_t kGlyphGrey = 238;
constexpr std::uint8_t kButtonTextGrey = 250;

// The unit box of a readout glyph: the strokes' outer edges reach the image's bottom row.
constexpr GlyphBox kDigitBox{1.4, 1.4, kDigitWidth - 2.8, kDigitHeight - 2.8 - 0.5};
constexpr double kDigitLine = 1.8;

Canvas digit(char character, int scale) {
    Canvas canvas(kDigitWidth, kDigitHeight, scale);
    drawGlyph(canvas, character, kDigitBox, kDigitLine, kGlyphGrey);
    return canvas;
}

Canvas point(int scale) {
    Canvas canvas(kDotWidth, kDigitHeight, scale);
    canvas.disc({kDotWidth / 2.0, kDigitHeight - 1.9}, 1.5, kGlyphGrey, 1.0);
    return canvas;
}

// The closed outline of a rounded rectangle as one polyline.
std::vector<Point> roundedOutline(double left, double top, double right, double bottom,
                                  double radius) {
    const Point centres[4] = {{right - radius, top + radius},
                              {right - radius, bottom - radius},
                              {left + radius, bottom - radius},
                              {left + radius, top + radius}};
    std::vector<Point> outline;
    for (int corner = 0; corner < 4; ++corner) {
        for (int step = 0; step <= 8; ++step) {
            const double degrees = 270.0 + 90.0 * corner + 90.0 * step / 8;
            const double radians = degrees * std::numbers::pi / 180.0;
            outline.push_back({centres[corner].x + radius * std::cos(radians),
                               centres[corner].y + radius * std::sin(radians)});
        }
    }
    outline.push_back(outline.front());
    return outline;
}

// A string button: a dark rounded plate with a light rim and the string's name in bold
// strokes, so that the name reads at 0.6 opacity too.
Canvas button(const std::string& name, int scale) {
    Canvas canvas(kButtonWidth, kButtonHeight, scale);
    canvas.roundedRect(0.0, 0.0, kButtonWidth, kButtonHeight, 4.0, 20, 0.7);
    canvas.stroke(roundedOutline(0.75, 0.75, kButtonWidth - 0.75, kButtonHeight - 0.75, 3.5), 1.5,
                  200, 1.0);
    const double glyphWidth = 6.0;
    const double gap = 2.0;
    double left = (kButtonWidth - 2 * glyphWidth - gap) / 2.0;
    for (char character : name) {
        drawGlyph(canvas, character, GlyphBox{left, 4.5, glyphWidth, 11.0}, 1.6, kButtonTextGrey);
        left += glyphWidth + gap;
    }
    return canvas;
}

Canvas tooLow(int scale) {
    const std::string text = "TOO LOW";
    Canvas canvas(static_cast<int>(text.size()) * (kDigitWidth + 1) - 1, kDigitHeight, scale);
    for (std::size_t i = 0; i < text.size(); ++i) {
        GlyphBox box = kDigitBox;
        box.left += static_cast<double>(i) * (kDigitWidth + 1);
        drawGlyph(canvas, text[i], box, kDigitLine, kGlyphGrey);
    }
    return canvas;
}

} // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : "resources";
    bool ok = true;
    for (int scale = 1; scale <= 3; ++scale) {
        const std::string suffix = scale == 1 ? "" : "@" + std::to_string(scale) + "x";
        const auto write = [&](const Canvas& canvas, const std::string& name) {
            const std::string path = directory + "/" + name + suffix + ".png";
            if (!canvas.writePng(path)) {
                std::fprintf(stderr, "tuner-image-generator: cannot write %s\n", path.c_str());
                ok = false;
            }
        };
        write(tooLow(scale), "TOOLOW");
        for (char d = '0'; d <= '9'; ++d) {
            write(digit(d, scale), std::string("n") + d);
        }
        write(point(scale), "dot");
        for (const char* name : {"E2", "A2", "D3", "G3", "B3", "E4"}) {
            write(button(name, scale), name);
        }
    }
    return ok ? 0 : 1;
}
