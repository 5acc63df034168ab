// Reads a screenshot of the tuner's window and says what a user would see in it.
//
//   check-tuner-screenshot --view-only SHOT.png
//       whether the view is there: 700 × 300 pixels between black border rows, with the
//       black row that parts the wave from the band below
//   check-tuner-screenshot SHOT.png RESOURCES READOUT[,READOUT...] SELECTED_TEXT STRING
//       and that it shows the wave, the measured period mark and the selected string's
//       mark, one of the READOUT texts as the frequency readout, SELECTED_TEXT as the
//       selected string's readout, and the button of string STRING (0-5) selected
//
// Exit status 0 when everything is there, 1 when not, 2 on bad arguments.
#include "NSImage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 700;
constexpr int kHeight = 300;

struct Shot {
    std::unique_ptr<NSImage> image;
    int x0 = 0;
    int y0 = 0;

    // Row 0 is the view's top row.
    const std::uint8_t* at(int x, int row) const {
        return image->rgba().data() + ((y0 + row) * image->pixelsWide() + x0 + x) * 4;
    }
    double luminance(int x, int row) const {
        const std::uint8_t* p = at(x, row);
        return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    }
    // The wave and the selected string's mark may cover a pixel or two of a black row.
    bool blackRow(int row) const {
        int lit = 0;
        for (int x = 0; x < kWidth && lit <= 3; ++x) {
            lit += at(x, row)[0] != 0 || at(x, row)[1] != 0 || at(x, row)[2] != 0 ? 1 : 0;
        }
        return lit <= 3;
    }
    bool findView() {
        for (y0 = 0; y0 + kHeight <= image->pixelsHigh(); ++y0) {
            for (x0 = 0; x0 + kWidth <= image->pixelsWide(); ++x0) {
                if (blackRow(0) && blackRow(200) && blackRow(kHeight - 1)) {
                    return true;
                }
            }
        }
        return false;
    }
};

// The best correlation of the text, as the pen sets it (glyphs side by side with a
// one-pixel gap, bottoms on one line), with the view along the bottom line y (y up).
double findText(const Shot& shot, const std::string& resources, const std::string& text, int y) {
    std::vector<std::unique_ptr<NSImage>> glyphs;
    int width = 0;
    int height = 0;
    for (const char c : text) {
        glyphs.push_back(NSImage::initWithContentsOfFile(
            resources + (c == '.' ? std::string("/dot") : "/n" + std::string(1, c)) + ".png"));
        if (!glyphs.back()) {
            return -1.0;
        }
        width += glyphs.back()->pixelsWide() + 1;
        height = std::max(height, glyphs.back()->pixelsHigh());
    }
    std::vector<double> mask(static_cast<std::size_t>(width * height));
    for (int x = 0; const auto& glyph : glyphs) {
        const int w = glyph->pixelsWide();
        for (int j = 0; j < glyph->pixelsHigh(); ++j) {
            for (int i = 0; i < w; ++i) {
                mask[(height - glyph->pixelsHigh() + j) * width + x + i] =
                    glyph->rgba()[(j * w + i) * 4 + 3];
            }
        }
        x += w + 1;
    }
    const int top = kHeight - y - height;
    const double n = static_cast<double>(mask.size());
    double best = -1.0;
    for (int x = 0; x + width <= kWidth && top >= 0; ++x) {
        double m = 0, s = 0, ms = 0, mm = 0, ss = 0;
        for (int j = 0; j < height; ++j) {
            for (int i = 0; i < width; ++i) {
                const double a = mask[j * width + i];
                const double b = shot.luminance(x + i, top + j);
                m += a, s += b, ms += a * b, mm += a * a, ss += b * b;
            }
        }
        const double spread = (mm - m * m / n) * (ss - s * s / n);
        best = spread > 0 ? std::max(best, (ms - m * s / n) / std::sqrt(spread)) : best;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const bool viewOnly = argc == 3 && std::string(argv[1]) == "--view-only";
    if (!viewOnly && argc != 6) {
        std::fprintf(stderr,
                     "usage: %s [--view-only] SHOT.png [RESOURCES READOUT[,...] "
                     "SELECTED_TEXT STRING]\n",
                     argv[0]);
        return 2;
    }
    Shot shot{NSImage::initWithContentsOfFile(argv[viewOnly ? 2 : 1])};
    if (!shot.image) {
        std::fprintf(stderr, "cannot read %s\n", argv[viewOnly ? 2 : 1]);
        return 2;
    }
    if (!shot.findView()) {
        std::printf("view: not found\n");
        return 1;
    }
    std::printf("view: at (%d, %d)\n", shot.x0, shot.y0);
    if (viewOnly) {
        return 0;
    }

    // Grey dots of the wave; columns of green or red above row 200 (the measured period's
    // mark) and below it (the selected string's).
    const auto stands = [](int a, int b, int c) { return a > b + 60 && a > c + 60; };
    int waveDots = 0;
    int mark = -1;
    int tick = -1;
    for (int x = 1; x < kWidth - 1; ++x) {
        int above = 0;
        int below = 0;
        for (int row = 1; row <= 215; ++row) {
            const std::uint8_t* p = shot.at(x, row);
            const bool coloured = stands(p[1], p[0], p[2]) || stands(p[0], p[1], p[2]);
            waveDots += row < 200 && p[0] == p[1] && p[1] == p[2] && p[0] > 120 ? 1 : 0;
            (row < 200 ? above : below) += row != 200 && coloured ? 1 : 0;
        }
        mark = mark < 0 && above > 150 ? x : mark;
        tick = tick < 0 && below >= 12 ? x : tick;
    }
    std::printf("wave: %d bright dots; period mark at %d; selected-period mark at %d\n", waveDots,
                mark, tick);
    bool ok = waveDots >= 300 && mark >= 0 && tick >= 0;

    const std::string resources = argv[2];
    std::stringstream readouts(argv[3]);
    double best = -1.0;
    for (std::string text; std::getline(readouts, text, ',');) {
        best = std::max(best, findText(shot, resources, text, 59));
    }
    const double selected = findText(shot, resources, argv[4], 38);
    std::printf("frequency readout: match %.3f; selected-string readout: match %.3f\n", best,
                selected);
    ok = ok && best > 0.8 && selected > 0.8;

    // The selected button is drawn at full strength, the others faded over the band (48).
    static const char* names[] = {"E2", "A2", "D3", "G3", "B3", "E4"};
    std::vector<double> brightness;
    for (int i = 0; i < 6; ++i) {
        const auto button = NSImage::initWithContentsOfFile(resources + "/" + names[i] + ".png");
        double sum = 0.0;
        int count = 0;
        for (int j = 0; button && j < button->pixelsHigh(); ++j) {
            for (int k = 0; k < button->pixelsWide(); ++k) {
                if (button->rgba()[(j * button->pixelsWide() + k) * 4 + 3] > 200) {
                    sum += shot.luminance(4 + 22 * i + k, kHeight - 4 - button->pixelsHigh() + j);
                    ++count;
                }
            }
        }
        brightness.push_back(count > 0 ? sum / count - 48.0 : 0.0);
    }
    const auto brightest = std::max_element(brightness.begin(), brightness.end());
    const double top = *brightest;
    *brightest = 0.0;
    const int string = static_cast<int>(brightest - brightness.begin());
    std::printf("selected button: %s (%.1f above the band, the others at most %.1f)\n",
                names[string], top, *std::max_element(brightness.begin(), brightness.end()));
    ok = ok && string == std::atoi(argv[5]) &&
         top > 1.3 * *std::max_element(brightness.begin(), brightness.end());
    std::printf("%s\n", ok ? "all seen" : "NOT all seen");
    return ok ? 0 : 1;
}
